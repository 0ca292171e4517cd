#include "platform/socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "socket_test_support.h"

namespace {

using platform::SockAddrIn;
using platform::SocketErrorKind;
using platform::SocketResult;
using platform::UniqueSocket;
using platform_test::Sockets;

// The native numbers each system reports keep their number and get their meaning.
TEST(SocketErrors, NativeNumbersKeepTheirNumberAndGetTheirMeaning) {
    const struct {
        int code;
        SocketErrorKind kind;
    } kCases[] = {
#ifdef _WIN32
        {10035, SocketErrorKind::kWouldBlock},      {10054, SocketErrorKind::kConnectionReset},
        {10052, SocketErrorKind::kConnectionReset}, {10040, SocketErrorKind::kMessageTooLong},
        {10058, SocketErrorKind::kShutdown},        {11001, SocketErrorKind::kHostNotFound},
        {10093, SocketErrorKind::kNotInitialised},
#else
        {EAGAIN, SocketErrorKind::kWouldBlock},
        {EINPROGRESS, SocketErrorKind::kInProgress},
        {ECONNRESET, SocketErrorKind::kConnectionReset},
        {EPIPE, SocketErrorKind::kShutdown},
        {EMSGSIZE, SocketErrorKind::kMessageTooLong},
        {-2, SocketErrorKind::kHostNotFound},     // EAI_NONAME
        {-3, SocketErrorKind::kResolverFailure},  // EAI_AGAIN
#endif
        {987654, SocketErrorKind::kOther}  // an unknown number is still a failure
    };
    for (const auto& c : kCases) {
        const SocketResult r = SocketResult::FromNative(c.code);
        EXPECT_TRUE(r.code == c.code && r.kind == c.kind) << c.code;
    }
    EXPECT_TRUE(SocketResult::FromNative(0).ok());
}

TEST_F(Sockets, ResolvesNamesAndRefusesBadOnesLeavingTheAddressAlone) {
    SockAddrIn a;
    ASSERT_TRUE(platform::ResolveIPv4(std::wstring_view(L"localhost"), a).ok());
    EXPECT_EQ(platform::FormatEndpoint(a).substr(0, 4), "127.");
    const SockAddrIn before = a;
    // A label longer than 63 characters cannot be asked for: the resolver fails without a server.
    EXPECT_EQ(platform::ResolveIPv4(std::string(64, 'a') + ".example", a).kind,
              SocketErrorKind::kHostNotFound);
    EXPECT_EQ(platform::ResolveIPv4(std::string_view(""), a).kind, SocketErrorKind::kInvalidArgument);
    EXPECT_EQ(platform::ResolveIPv4(std::wstring_view(L"127.0.0.1\0x", 11), a).kind,
              SocketErrorKind::kInvalidArgument);
    EXPECT_EQ(a, before);
}

TEST_F(Sockets, DatagramsCarryExactBytesAndALongOneIsCutAndFlagged) {
    SockAddrIn rx_addr, tx_addr, from;
    UniqueSocket rx = BoundUdp(rx_addr);
    UniqueSocket tx = BoundUdp(tx_addr);
    const auto full = platform_test::Pattern(1472, 3);
    ASSERT_EQ(platform::SendTo(tx.Get(), full.data(), full.size(), rx_addr).bytes, full.size());
    ASSERT_TRUE(platform::SendTo(tx.Get(), full.data(), full.size(), rx_addr).ok());
    ASSERT_TRUE(platform::SendTo(tx.Get(), full.data(), 8, rx_addr).ok());
    // Whole, with a byte to spare; one byte short: cut and flagged; the next one intact.
    const struct {
        std::size_t room, bytes;
        bool truncated;
    } kReads[] = {{1473, 1472, false}, {1471, 1471, true}, {1473, 8, false}};
    for (const auto& r : kReads) {
        std::vector<std::uint8_t> buf(r.room);
        const platform::SocketIo io = platform::RecvFrom(rx.Get(), buf.data(), buf.size(), &from);
        ASSERT_TRUE(io.ok()) << io.result.code;
        EXPECT_TRUE(io.bytes == r.bytes && io.truncated == r.truncated) << io.bytes;
        EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + io.bytes, full.begin()));
        EXPECT_EQ(from, tx_addr);
    }
}

TEST_F(Sockets, OptionsReadBackAsSet) {
    UniqueSocket s = Open(platform::SocketKind::kUdp);
    bool on = false;
    ASSERT_TRUE(platform::SetBroadcast(s.Get(), true).ok());
    ASSERT_TRUE(platform::GetBroadcast(s.Get(), on).ok());
    EXPECT_TRUE(on);
    ASSERT_TRUE(platform::SetMulticastLoopback(s.Get(), false).ok());
    ASSERT_TRUE(platform::GetMulticastLoopback(s.Get(), on).ok());
    EXPECT_FALSE(on);
    SockAddrIn iface;
    ASSERT_TRUE(platform::SetMulticastInterface(s.Get(), SockAddrIn::Loopback()).ok());
    ASSERT_TRUE(platform::GetMulticastInterface(s.Get(), iface).ok());
    EXPECT_EQ(iface, SockAddrIn::Loopback(0));
}

TEST_F(Sockets, SecondBindToAPortNeedsReuseOnBoth) {
    SockAddrIn taken;
    UniqueSocket first = BoundUdp(taken);
    UniqueSocket a = Open(platform::SocketKind::kUdp);
    UniqueSocket b = Open(platform::SocketKind::kUdp);
    EXPECT_EQ(platform::Bind(a.Get(), taken).kind, SocketErrorKind::kAddressInUse);
    ASSERT_TRUE(platform::SetReuseAddress(a.Get(), true).ok());
    ASSERT_TRUE(platform::SetReuseAddress(b.Get(), true).ok());
    ASSERT_TRUE(platform::Bind(a.Get(), SockAddrIn::Loopback()).ok());
    ASSERT_TRUE(platform::GetLocalAddress(a.Get(), taken).ok());
    EXPECT_TRUE(platform::Bind(b.Get(), taken).ok());
}

TEST_F(Sockets, ClosedHandlesAreNoSockets) {
    UniqueSocket a = Open(platform::SocketKind::kUdp);
    const platform::SocketHandle h = a.Release();
    EXPECT_TRUE(platform::Bind(h, SockAddrIn::Loopback()).ok()) << "released, not closed";
    EXPECT_TRUE(platform::CloseSocket(h).ok());
    EXPECT_EQ(platform::Bind(h, SockAddrIn::Loopback()).kind, SocketErrorKind::kNotASocket);
    EXPECT_EQ(platform::CloseSocket(platform::kInvalidSocket).kind, SocketErrorKind::kNotASocket);
}

}  // namespace
