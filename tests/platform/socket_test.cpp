#include "platform/socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <numeric>
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
        {10035, SocketErrorKind::kWouldBlock},     {10052, SocketErrorKind::kConnectionReset},
        {10040, SocketErrorKind::kMessageTooLong}, {10058, SocketErrorKind::kShutdown},
        {11001, SocketErrorKind::kHostNotFound},
#else
        {EAGAIN, SocketErrorKind::kWouldBlock},
        {EINPROGRESS, SocketErrorKind::kInProgress},
        {EPIPE, SocketErrorKind::kShutdown},
        {EMSGSIZE, SocketErrorKind::kMessageTooLong},
        {-2, SocketErrorKind::kHostNotFound},
        {-3, SocketErrorKind::kResolverFailure},  // EAI_NONAME, EAI_AGAIN
#endif
        {987654, SocketErrorKind::kOther}  // an unknown number is still a failure
    };
    for (const auto& c : kCases) {
        const SocketResult r = SocketResult::FromNative(c.code);
        EXPECT_TRUE(r.code == c.code && r.kind == c.kind) << c.code;
    }
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
    UniqueSocket rx = Bound(rx_addr);
    UniqueSocket tx = Bound(tx_addr);
    std::vector<std::uint8_t> full(1472);
    std::iota(full.begin(), full.end(), std::uint8_t{3});
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

TEST_F(Sockets, ASecondBindToAPortNeedsReuseOnBoth) {
    SockAddrIn taken;
    UniqueSocket first = Bound(taken);
    platform::SocketHandle a = platform::kInvalidSocket, b = platform::kInvalidSocket;
    ASSERT_TRUE(platform::OpenSocket(platform::SocketKind::kUdp, a).ok());
    ASSERT_TRUE(platform::OpenSocket(platform::SocketKind::kUdp, b).ok());
    const UniqueSocket owned_a(a), owned_b(b);
    EXPECT_EQ(platform::Bind(a, taken).kind, SocketErrorKind::kAddressInUse);
    ASSERT_TRUE(platform::SetReuseAddress(a, true).ok() && platform::SetReuseAddress(b, true).ok());
    ASSERT_TRUE(platform::Bind(a, SockAddrIn::Loopback()).ok());
    ASSERT_TRUE(platform::GetLocalAddress(a, taken).ok());
    EXPECT_TRUE(platform::Bind(b, taken).ok());
}

}  // namespace
