// The self-reopening UDP socket: a failed Open is retried every 5000 ms of the re-open service's clock
// until the socket opens; Close withdraws the retry, and a socket nobody keeps is dropped; end to end, on
// the real clock, a socket opens by itself once its address is free.
#include <gtest/gtest.h>

#include <memory>

#include "net/udp_sock_auto.h"
#include "net_test_support.h"
#include "support/test_clock.h"

namespace {

using namespace net_test;
using Network::UdpReopenService;
using Network::UdpSockAuto;

// Holds a UDP port of loopback so nobody else can bind it, until Release.
struct PortHolder {
    platform::UniqueSocket sock;
    platform::SockAddrIn at = platform::SockAddrIn::Loopback(0);
    PortHolder() {
        platform::SocketHandle h = platform::kInvalidSocket;
        EXPECT_TRUE(platform::OpenSocket(platform::SocketKind::kUdp, h).ok());
        sock.Reset(h);
        EXPECT_TRUE(platform::Bind(h, at).ok() && platform::GetLocalAddress(h, at).ok());
    }
    void Release() { sock.Reset(); }
    // True when the port can be bound again (nobody holds it).
    bool Free() const { return PortHolder::BindAt(at); }
    static bool BindAt(const platform::SockAddrIn& a) {
        platform::SocketHandle h = platform::kInvalidSocket;
        const bool ok = platform::OpenSocket(platform::SocketKind::kUdp, h).ok() && platform::Bind(h, a).ok();
        platform::CloseSocket(h);
        return ok;
    }
};

Network::UdpSockInfo At(const platform::SockAddrIn& a, Network::IUdpReceiver* receiver) {
    Network::UdpSockInfo info = Bound(receiver);
    info.bind_addr = Addr(a);
    return info;
}

class UdpSockAutoTest : public ::testing::Test {
protected:
    // Steps the clock and waits until the service has looked at the new time (or has ended its thread).
    void Step(std::int64_t ms) {
        clock_.Step(milliseconds(ms));
        ASSERT_TRUE(WaitUntil(
            [&] { return !service_.IsThreadRunning() || clock_.WaitForReads(3, milliseconds(0)); }));
    }
    RecordingUdpReceiver receiver_;
    TestClock clock_;
    std::shared_ptr<Network::NetManager> netService_ = StartedService(L"auto");
    UdpReopenService service_{clock_};
    PortHolder holder_;
};

TEST_F(UdpSockAutoTest, AFailedOpenIsRetriedEvery5000MsUntilTheSocketOpens) {
    auto sock = UdpSockAuto::Create(*netService_, service_);
    EXPECT_FALSE(sock->Open(At(holder_.at, &receiver_)).IsOk());
    EXPECT_NE(Failure(sock->Open(At(holder_.at, &receiver_))).find(L"Open() - Reopen already requested"),
              std::wstring::npos);
    EXPECT_NE(Failure(sock->Send(Pattern(4).data(), 4, Addr(holder_.at))).find(L"Send() - socket not opened"),
              std::wstring::npos);
    Step(4999);  // the first try is one interval after the failure: the port is still taken then
    Step(1);
    ASSERT_TRUE(WaitUntil([&] { return service_.Passes() == 1; }));
    EXPECT_EQ(sock->GetBaseSock(), nullptr);
    EXPECT_EQ(service_.Pending(), 1u);

    holder_.Release();
    Step(4999);
    EXPECT_EQ(service_.Passes(), 1u);
    Step(1);
    ASSERT_TRUE(WaitUntil([&] { return sock->GetBaseSock() != nullptr; }));
    EXPECT_FALSE(sock->IsReopenRequested());
    EXPECT_TRUE(WaitUntil([&] { return !service_.IsThreadRunning() && service_.Pending() == 0; }));
    // Really bound there: it receives.
    UdpPeer peer;
    ASSERT_TRUE(peer.SendBytes(Pattern(16), holder_.at));
    ASSERT_TRUE(receiver_.WaitCount(1));
}

struct Abandon {
    const char* name;
    bool close;  // Close, or let the last owner go
};

class UdpSockAutoAbandonTest : public UdpSockAutoTest, public ::testing::WithParamInterface<Abandon> {};

TEST_P(UdpSockAutoAbandonTest, AnAbandonedSocketNeverOpensByItself) {
    auto sock = UdpSockAuto::Create(*netService_, service_);
    EXPECT_FALSE(sock->Open(At(holder_.at, &receiver_)).IsOk());
    if (GetParam().close) {
        sock->Close();
        EXPECT_FALSE(sock->IsReopenRequested());
    } else {
        sock.reset();
    }
    EXPECT_EQ(service_.Pending(), 0u);  // withdrawn at once
    holder_.Release();
    Step(5000);
    Step(5000);
    EXPECT_TRUE(holder_.Free());
}

INSTANTIATE_TEST_SUITE_P(Ways, UdpSockAutoAbandonTest,
                         ::testing::Values(Abandon{"Close", true}, Abandon{"Release", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UdpSockAutoRealTimeTest, OpensWithin5SecondsOfItsAddressBecomingFreeUnlessClosedFirst) {
    RecordingUdpReceiver receiver;
    auto netService = StartedService(L"auto real");
    PortHolder kept, closed;
    auto waiting = UdpSockAuto::Create(*netService);
    auto abandoned = UdpSockAuto::Create(*netService);
    EXPECT_FALSE(waiting->Open(At(kept.at, &receiver)).IsOk());
    EXPECT_FALSE(abandoned->Open(At(closed.at, &receiver)).IsOk());
    abandoned->Close();
    kept.Release();
    closed.Release();
    const Clock::time_point freed = Clock::now();
    // Up to 5000 ms by the rule; the bound leaves room for a loaded machine.
    ASSERT_TRUE(WaitUntil([&] { return waiting->GetBaseSock() != nullptr; }, milliseconds(15000)));
    EXPECT_LT(MsBetween(freed, Clock::now()), 15000);
    EXPECT_TRUE(closed.Free());
    EXPECT_EQ(abandoned->GetBaseSock(), nullptr);
}

}  // namespace
