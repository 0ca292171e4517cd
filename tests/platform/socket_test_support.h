// Loopback sockets for the socket and poller tests, every one on a port the system picks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/socket.h"

namespace platform_test {

using platform::SockAddrIn;
using platform::UniqueSocket;

inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return v;
}

class Sockets : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(platform::StartSocketLibrary().ok()); }
    void TearDown() override { platform::StopSocketLibrary(); }

    static UniqueSocket Open(platform::SocketKind kind) {
        platform::SocketHandle h = platform::kInvalidSocket;
        const platform::SocketResult r = platform::OpenSocket(kind, h);
        EXPECT_TRUE(r.ok()) << r.code;
        return UniqueSocket(h);
    }

    // Bound to 127.0.0.1; `self` gets the bound address.
    static UniqueSocket BoundUdp(SockAddrIn& self) {
        UniqueSocket s = Open(platform::SocketKind::kUdp);
        EXPECT_TRUE(platform::Bind(s.Get(), SockAddrIn::Loopback()).ok());
        EXPECT_TRUE(platform::GetLocalAddress(s.Get(), self).ok());
        return s;
    }

    // A listening TCP socket; its address.
    static SockAddrIn Listening(UniqueSocket& listener) {
        listener = Open(platform::SocketKind::kTcp);
        SockAddrIn addr;
        EXPECT_TRUE(platform::Bind(listener.Get(), SockAddrIn::Loopback()).ok());
        EXPECT_TRUE(platform::Listen(listener.Get(), 4).ok());
        EXPECT_TRUE(platform::GetLocalAddress(listener.Get(), addr).ok());
        return addr;
    }

    // `client` connected to `server` (accepted).
    static void TcpPair(UniqueSocket& client, UniqueSocket& server) {
        UniqueSocket listener;
        const SockAddrIn addr = Listening(listener);
        client = Open(platform::SocketKind::kTcp);
        ASSERT_TRUE(platform::Connect(client.Get(), addr).ok());
        platform::SocketHandle h = platform::kInvalidSocket;
        ASSERT_TRUE(platform::Accept(listener.Get(), h, nullptr).ok());
        server.Reset(h);
    }

    // A loopback TCP port that was just free, with nobody listening.
    static SockAddrIn DeadTcpPort() {
        UniqueSocket probe = Open(platform::SocketKind::kTcp);
        SockAddrIn dead;
        EXPECT_TRUE(platform::Bind(probe.Get(), SockAddrIn::Loopback()).ok());
        EXPECT_TRUE(platform::GetLocalAddress(probe.Get(), dead).ok());
        return dead;
    }
};

}  // namespace platform_test
