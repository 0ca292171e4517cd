// Loopback sockets for the socket and poller tests, every one on a port the system picks.
#pragma once

#include <gtest/gtest.h>

#include "platform/socket.h"

namespace platform_test {

using platform::SockAddrIn;
using platform::UniqueSocket;

class Sockets : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(platform::StartSocketLibrary().ok()); }
    void TearDown() override { platform::StopSocketLibrary(); }

    // Bound to 127.0.0.1 (the system picks the port); `self` gets the bound address.
    static UniqueSocket Bound(SockAddrIn& self, platform::SocketKind kind = platform::SocketKind::kUdp) {
        platform::SocketHandle h = platform::kInvalidSocket;
        EXPECT_TRUE(platform::OpenSocket(kind, h).ok());
        EXPECT_TRUE(platform::Bind(h, SockAddrIn::Loopback()).ok());
        EXPECT_TRUE(platform::GetLocalAddress(h, self).ok());
        return UniqueSocket(h);
    }

    // `client` connected to `server` (accepted).
    static void TcpPair(UniqueSocket& client, UniqueSocket& server) {
        SockAddrIn addr, unused;
        UniqueSocket listener = Bound(addr, platform::SocketKind::kTcp);
        ASSERT_TRUE(platform::Listen(listener.Get(), 4).ok());
        client = Bound(unused, platform::SocketKind::kTcp);
        ASSERT_TRUE(platform::Connect(client.Get(), addr).ok());
        platform::SocketHandle h = platform::kInvalidSocket;
        ASSERT_TRUE(platform::Accept(listener.Get(), h, nullptr).ok());
        server.Reset(h);
    }
};

}  // namespace platform_test
