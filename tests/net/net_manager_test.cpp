// The socket service: which sockets a wake-up visits, the visit of every socket once its clock has
// run 3000 ms, Wake and the timer signal, the collection, stop and restart, and the minute report.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/environment.h"
#include "common/log_test_support.h"
#include "net/net_manager.h"
#include "net/udp_sock.h"
#include "net_test_support.h"
#include "support/test_clock.h"

namespace {

using namespace net_test;
using Network::NetManager;

class NetManagerLoopTest : public ::testing::Test {
protected:
    // Registration visits every socket once; wait for that and for the loop to be quiet again.
    void SetUp() override {
        ASSERT_TRUE(WaitUntil([&] { return busy_->VisitCount() >= 1 && quiet_->VisitCount() >= 1; }));
        clock_.Step(milliseconds(0));
        Settle();
        busyBefore_ = busy_->VisitCount();
        quietBefore_ = quiet_->VisitCount();
    }
    // The loop has looked at the clock since the last step and served what it saw.
    void Settle() { ASSERT_TRUE(clock_.WaitForReads(6)); }
    // Visits of `probe` after the first `from`.
    static std::vector<std::uint32_t> After(ProbeSock& probe, std::size_t from) {
        const auto all = probe.Visits();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())), all.end()};
    }

    TestClock clock_;
    std::shared_ptr<NetManager> service_ = StartedService(L"loop", clock_);
    std::shared_ptr<ProbeSock> busy_ = ProbeSock::Start(*service_);
    std::shared_ptr<ProbeSock> quiet_ = ProbeSock::Start(*service_);
    std::size_t busyBefore_ = 0;
    std::size_t quietBefore_ = 0;
};

TEST_F(NetManagerLoopTest, QuietSocketsAreVisitedEvery3000MsAndBusyOnesWhenTheirDataArrives) {
    clock_.Step(milliseconds(2999));
    Settle();
    EXPECT_TRUE(After(*quiet_, quietBefore_).empty()) << "visited before 3000 ms";

    UdpPeer sender;
    ASSERT_TRUE(sender.SendBytes(Pattern(60), busy_->Address()));
    ASSERT_TRUE(WaitUntil([&] { return !After(*busy_, busyBefore_).empty(); }));
    EXPECT_NE(After(*busy_, busyBefore_)[0] & Network::kSockEvRead, 0u);
    clock_.Step(milliseconds(0));
    Settle();
    // Another socket's datagram costs a quiet socket a visit only where the poller cannot tell them apart.
    EXPECT_EQ(After(*quiet_, quietBefore_).empty(), platform::SocketPoller::ReportsReadySocketsOnly());

    // 3000 ms after the last round that visited every socket (there, the datagram's round).
    const std::size_t quietNow = quiet_->VisitCount();
    clock_.Step(milliseconds(platform::SocketPoller::ReportsReadySocketsOnly() ? 1 : 3000));
    ASSERT_TRUE(WaitUntil([&] { return !After(*quiet_, quietNow).empty(); }));
    EXPECT_EQ(After(*quiet_, quietNow)[0], 0u);  // nothing pending: a visit without events
}

TEST_F(NetManagerLoopTest, WakeVisitsEverySocketAndTheTimerSignalVisitsNone) {
    clock_.Step(milliseconds(0));
    service_->SignalTimer();
    Settle();
    EXPECT_EQ(busy_->VisitCount(), busyBefore_);
    EXPECT_EQ(quiet_->VisitCount(), quietBefore_);

    service_->Wake();
    EXPECT_TRUE(
        WaitUntil([&] { return busy_->VisitCount() > busyBefore_ && quiet_->VisitCount() > quietBefore_; }));
}

// A receiver stops the service from its callback: the service thread cannot join itself, so it leaves
// its loop after the round; every socket is closed then, and the next Start serves again.
TEST(NetManager, AStopFromAReceiverClosesEverySocketAndTheNextStartServesAgain) {
    RecordingUdpReceiver receiver;  // outlives the service, which may call it until it stops
    auto service = StartedService(L"self-stop");
    receiver.onDatagram = [&](Network::IUdpSock*, const Datagram&) { service->Stop(); };
    auto probe = ProbeSock::Start(*service);
    auto unopened = service->CreateUdpSock();
    auto sock = service->CreateUdpSock();
    ASSERT_TRUE(sock->Open(Bound(&receiver)).IsOk());
    UdpPeer peer;
    ASSERT_TRUE(peer.SendBytes(Pattern(3), sock->GetInfo().bind_addr.Native()));
    ASSERT_TRUE(WaitUntil([&] { return !sock->GetBaseSock()->IsOpen(); }));
    EXPECT_FALSE(service->IsRunning());
    EXPECT_EQ(service->GetNumSockets(), 0u);
    EXPECT_FALSE(probe->IsOpen());
    EXPECT_EQ(unopened->GetBaseSock()->GetIndex(), Network::BaseSock::kNoIndex);

    receiver.onDatagram = nullptr;
    ASSERT_TRUE(service->Start());
    ASSERT_TRUE(sock->Open(Bound(&receiver)).IsOk());
    ASSERT_TRUE(peer.SendBytes(Pattern(4), sock->GetInfo().bind_addr.Native()));
    ASSERT_TRUE(receiver.WaitCount(2));
    EXPECT_EQ(receiver.Datagrams()[1].bytes, Pattern(4));
}

TEST(NetManager, AServiceThatNeverRanClosesItsSocketsWhenDestroyed) {
    std::shared_ptr<Network::IUdpSock> sock;
    {
        auto service = NetManager::Create(ComponentInfo{L"never-ran"}, false);
        sock = service->CreateUdpSock();
        ASSERT_TRUE(sock->Open(Network::UdpSockInfo{}).IsOk());
    }
    EXPECT_FALSE(sock->GetBaseSock()->IsOpen());
}

TEST(NetManager, RefusedRegistrationsChangeNothingAndTheWeightIsThatOfTheServedSockets) {
    auto service = NetManager::Create(ComponentInfo{L"collection"}, false);
    auto a = service->CreateUdpSock();
    auto b = service->CreateUdpSock();
    EXPECT_EQ(service->GetWeight(), 2000u);
    auto stranger = Network::UdpSock::Create(*service);  // never added
    service->RemoveSocketFromService(stranger.get());
    stranger->SetIndex(a->GetBaseSock()->GetIndex());  // claims another socket's slot
    service->RemoveSocketFromService(stranger.get());
    stranger->SetIndex(Network::BaseSock::kNoIndex);
    service->AddSocketToService(nullptr);
    service->AddSocketToService(a->GetBaseSock()->GetSharedPtr());  // already served
    EXPECT_EQ(service->GetNumSockets(), 2u);
    EXPECT_EQ(service->GetWeight(), 2000u);
    EXPECT_EQ(service->GetServicedSocket(a->GetBaseSock()->GetIndex()).get(), a->GetBaseSock());

    a->Close();
    EXPECT_EQ(service->GetWeight(), 1000u);
}

TEST(NetManagerReport, OncePerMinuteTheCountersAndHistogramsAreReportedAndReset) {
    RecordingUdpReceiver receiver;
    auto service = StartedService(L"reporter");
    auto rx = service->CreateUdpSock();
    auto tx = service->CreateUdpSock();
    ASSERT_TRUE(rx->Open(Bound(&receiver)).IsOk());
    ASSERT_TRUE(tx->Open(Network::UdpSockInfo{}).IsOk());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tx->Send(Pattern(100).data(), 100, rx->GetInfo().bind_addr).IsOk());
    }
    ASSERT_TRUE(receiver.WaitCount(3));
    // The callback's time is recorded when it has returned, just after the receiver counted it.
    ASSERT_TRUE(WaitUntil([&] { return service->GetTimeStatCount(Network::kNetStatUdpRecvCallback) == 3; }));

    testing_support::LogCapture capture;
    TestMinute().fetch_add(1);
    service->Wake();
    const auto reports = [&] {
        capture.Sync();
        return capture.Containing(L"STATISTICS: reporter: IoStat:");
    };
    ASSERT_TRUE(WaitUntil([&] { return !reports().empty(); }));
    const std::wstring report = reports()[0];
    EXPECT_NE(report.find(L"IoStat: Sockets=2 UdpRecvBytes=300 UdpSentSyncBytes=300"), std::wstring::npos)
        << report;
    EXPECT_EQ(report.find(L"Drops="), std::wstring::npos);  // counters that stayed zero are left out
    EXPECT_NE(
        report.find(capture.Log().LineBreak + L"STATISTICS: reporter: STATISTICS: UdpSendSync (mks): N=3"),
        std::wstring::npos)
        << report;
    EXPECT_EQ(service->GetIoStat(Network::kIoUdpSentSyncBytes), 0u);
    EXPECT_EQ(service->GetTimeStatCount(Network::kNetStatUdpSendSync), 0u);
}

}  // namespace
