// The service loop: which sockets a wake-up visits, the visit of every socket at least every 3000 ms,
// Wake and the timer signal, start and stop, and the once-a-minute report.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/debug_log.h"
#include "common/log_test_support.h"
#include "net/net_manager.h"
#include "net/udp_sock.h"
#include "udp_sock_test_support.h"

namespace {

using namespace sock_test;
using Network::NetManager;

#if defined(_WIN32)
constexpr bool kWakeVisitsEverySocket = true;
#else
constexpr bool kWakeVisitsEverySocket = false;
#endif

using Visit = ProbeSock::Visit;

std::vector<Visit> VisitsAfter(ProbeSock& probe, Clock::time_point from) {
    std::vector<Visit> later;
    for (const Visit& v : probe.Visits()) {
        if (v.at >= from) {
            later.push_back(v);
        }
    }
    return later;
}

TEST(NetManagerLoop, QuietSocketsAreVisitedEvery3000MsAndBusyOnesWhenTheyHaveData) {
    auto mgr = StartedManager(L"idle-visit");
    auto busy = ProbeSock::Start(*mgr);
    auto quiet = ProbeSock::Start(*mgr);
    // Registration wakes the loop for a round over every socket; wait for it to pass.
    ASSERT_TRUE(
        testing_support::WaitFor([&] { return quiet->VisitCount() >= 1 && busy->VisitCount() >= 1; }));
    const Clock::time_point start = Clock::now();

    std::this_thread::sleep_for(milliseconds(1000));
    const Clock::time_point sent = Clock::now();
    ASSERT_TRUE(SendRaw(busy->Port(), Bytes(60, 1)));
    ASSERT_TRUE(testing_support::WaitFor([&] { return busy->DatagramsRead() == 1; }));

    // Wait for two more visits of the quiet socket: they come from the loop's own 3000 ms clock.
    ASSERT_TRUE(
        testing_support::WaitFor([&] { return VisitsAfter(*quiet, start).size() >= 2; }, milliseconds(9000)));

    const std::vector<Visit> quietVisits = VisitsAfter(*quiet, start);
    for (std::size_t i = 1; i < quietVisits.size(); ++i) {
        const std::int64_t gap = MsBetween(quietVisits[i - 1].at, quietVisits[i].at);
        // At least once every 3000 ms (plus scheduling slack).
        EXPECT_LE(gap, 3700) << "visit " << i;
        EXPECT_EQ(quietVisits[i].thread, mgr->GetServiceThreadId());
    }
    // The busy socket was visited for its datagram, with FD_READ.
    const std::vector<Visit> busyVisits = VisitsAfter(*busy, sent);
    ASSERT_FALSE(busyVisits.empty());
    EXPECT_NE(busyVisits.front().bits & Network::kSockEvRead, 0u);
    EXPECT_LT(MsBetween(sent, busyVisits.front().at), 1000);

    const bool quietVisitedForOthersData =
        std::any_of(quietVisits.begin(), quietVisits.end(), [&](const Visit& v) {
            const std::int64_t d = MsBetween(sent, v.at);
            return d >= 0 && d < 500;
        });
    if (kWakeVisitsEverySocket) {
        EXPECT_TRUE(quietVisitedForOthersData);
    } else {
        // Another socket's datagram costs the quiet socket nothing: its visits keep their 3000 ms rhythm.
        EXPECT_FALSE(quietVisitedForOthersData);
        for (std::size_t i = 1; i < quietVisits.size(); ++i) {
            EXPECT_GE(MsBetween(quietVisits[i - 1].at, quietVisits[i].at), 2900) << "visit " << i;
        }
    }
    // Nothing was pending for the quiet socket: its visits carried no event.
    for (const Visit& v : quietVisits) {
        EXPECT_EQ(v.bits, 0u);
    }
}

TEST(NetManagerLoop, WakeVisitsEverySocketAndTheTimerSignalVisitsNone) {
    auto mgr = StartedManager(L"wake");
    auto a = ProbeSock::Start(*mgr);
    auto b = ProbeSock::Start(*mgr);
    ASSERT_TRUE(testing_support::WaitFor([&] { return a->VisitCount() >= 1 && b->VisitCount() >= 1; }));
    std::this_thread::sleep_for(milliseconds(100));

    // The timer signal ends one wait and serves no socket.
    const std::size_t visitsA = a->VisitCount();
    const std::size_t visitsB = b->VisitCount();
    const std::uint64_t waits = mgr->GetTimeStatCount(Network::kNetStatWait);
    const Clock::time_point signalled = Clock::now();
    mgr->SignalTimer();
    ASSERT_TRUE(
        testing_support::WaitFor([&] { return mgr->GetTimeStatCount(Network::kNetStatWait) > waits; }));
    std::this_thread::sleep_for(milliseconds(200));
    if (MsBetween(signalled, Clock::now()) < 2500) {  // the 3000 ms round has not come yet
        EXPECT_EQ(a->VisitCount(), visitsA);
        EXPECT_EQ(b->VisitCount(), visitsB);
    }

    // Wake serves every socket at once.
    const Clock::time_point woken = Clock::now();
    mgr->Wake();
    ASSERT_TRUE(testing_support::WaitFor(
        [&] { return !VisitsAfter(*a, woken).empty() && !VisitsAfter(*b, woken).empty(); },
        milliseconds(2000)));
    EXPECT_LT(MsBetween(woken, VisitsAfter(*a, woken).front().at), 1000);
}

TEST(NetManagerLoop, StopClosesEverySocketAndEmptiesTheCollection) {
    testing_support::ProcessLogCapture capture;
    RecordingUdpReceiver receiver;  // outlives the service, which may call it until it stops
    auto mgr = StartedManager(L"stopper");
    std::vector<std::shared_ptr<Network::IUdpSock>> socks;
    for (int i = 0; i < 3; ++i) {
        socks.push_back(mgr->CreateUdpSock());
        Network::UdpSockInfo info;
        info.receiver = &receiver;
        ASSERT_NE(OpenOnFreePort(*socks.back(), info), 0);
    }
    socks.push_back(mgr->CreateUdpSock());  // made, never opened
    auto probe = ProbeSock::Start(*mgr);
    EXPECT_EQ(mgr->GetNumSockets(), 5u);
    ASSERT_TRUE(testing_support::WaitFor([&] { return mgr->GetServiceThreadId() != 0; }));
    const std::uint32_t serviceThread = mgr->GetServiceThreadId();

    mgr->Stop();
    EXPECT_FALSE(mgr->IsRunning());
    EXPECT_EQ(mgr->GetNumSockets(), 0u);
    EXPECT_EQ(mgr->GetWeight(), 0u);
    for (const auto& s : socks) {
        EXPECT_FALSE(s->GetBaseSock()->IsOpen());
        EXPECT_EQ(s->GetBaseSock()->GetIndex(), Network::BaseSock::kNoIndex);
    }
    EXPECT_FALSE(probe->IsOpen());
    capture.Sync();
    EXPECT_EQ(capture.Containing(L"NetManager \"stopper\" proceed to stop and cleanup").size(), 1u);
    EXPECT_EQ(capture
                  .Containing(L"NetManager \"stopper\" started; service thread ID=" +
                              std::to_wstring(serviceThread))
                  .size(),
              1u);
    EXPECT_EQ(capture.Containing(L"NetManager \"stopper\" main thread ended").size(), 1u);
    // Stopping again does nothing; starting again works, and a socket opened again is served again.
    mgr->Stop();
    ASSERT_TRUE(mgr->Start());
    EXPECT_TRUE(mgr->Start());
    Network::UdpSockInfo info;
    info.receiver = &receiver;
    const std::uint16_t port = OpenOnFreePort(*socks[0], info);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(SendRaw(port, Bytes(5, 9)));
    EXPECT_TRUE(receiver.WaitCount(1));
}

TEST(NetManagerLoop, ReceiverMayStopTheServiceFromItsCallback) {
    RecordingUdpReceiver receiver;
    auto mgr = StartedManager(L"self-stop");
    Network::NetManager* raw = mgr.get();
    receiver.onDatagram = [raw](Network::IUdpSock*, const RecordingUdpReceiver::Datagram&) { raw->Stop(); };
    auto sock = mgr->CreateUdpSock();
    Network::UdpSockInfo info;
    info.receiver = &receiver;
    const std::uint16_t port = OpenOnFreePort(*sock, info);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(SendRaw(port, Bytes(3, 3)));
    ASSERT_TRUE(receiver.WaitCount(1));
    EXPECT_TRUE(testing_support::WaitFor([&] { return !sock->GetBaseSock()->IsOpen(); }));
    EXPECT_FALSE(mgr->IsRunning());
    // The loop ended on its own; the next Start joins it and serves again.
    ASSERT_TRUE(mgr->Start());
    receiver.onDatagram = nullptr;
    ASSERT_NE(OpenOnFreePort(*sock, info), 0);
    ASSERT_TRUE(SendRaw(sock->GetInfo().bind_addr.GetPort(), Bytes(4, 4)));
    EXPECT_TRUE(receiver.WaitCount(2));
}

TEST(NetManagerLoop, DestroyingAServiceThatNeverRanClosesItsSockets) {
    testing_support::ProcessLogCapture capture;
    std::shared_ptr<Network::IUdpSock> sock;
    {
        auto mgr = NetManager::Create(ComponentInfo{L"never-ran"}, false);
        sock = mgr->CreateUdpSock();
        ASSERT_NE(OpenOnFreePort(*sock, Network::UdpSockInfo{}), 0);
        EXPECT_TRUE(sock->GetBaseSock()->IsOpen());
    }
    EXPECT_FALSE(sock->GetBaseSock()->IsOpen());
    capture.Sync();
    EXPECT_EQ(capture
                  .Containing(
                      L"NetManager \"never-ran\" created; statistic is ON; logging is OFF; watcher WinSock2")
                  .size(),
              1u);
    EXPECT_EQ(capture.Containing(L"NetManager \"never-ran\" destroyed").size(), 1u);
}

TEST(NetManagerLoop, FactoryMakesOneStartedService) {
    testing_support::ProcessLogTestFolder();
    std::shared_ptr<Network::INetManager> mgr =
        Network::INetManager::Create(ComponentInfo{L"factory"}, true, 0);
    ASSERT_NE(mgr, nullptr);
    EXPECT_NE(dynamic_cast<NetManager*>(mgr.get()), nullptr);
    EXPECT_TRUE(mgr->IsRunning());
    std::shared_ptr<Network::INetManager> idle =
        Network::INetManager::Create(ComponentInfo{L"factory2"}, false, 1);
    ASSERT_NE(idle, nullptr);
    EXPECT_FALSE(idle->IsRunning());
    EXPECT_EQ(mgr->CreateTcpSock(), nullptr);
    EXPECT_EQ(mgr->CreateOtherSock(), nullptr);
    EXPECT_EQ(mgr->CreateTcpListenSock(), nullptr);
}

TEST(NetManagerReport, IoStatReportsCountersAndHistogramsOncePerMinuteAndResetsThem) {
    testing_support::ProcessLogCapture capture;
    RecordingUdpReceiver receiver;
    auto mgr = StartedManager(L"reporter");
    auto rx = mgr->CreateUdpSock();
    auto tx = mgr->CreateUdpSock();
    Network::UdpSockInfo info;
    info.receiver = &receiver;
    const std::uint16_t port = OpenOnFreePort(*rx, info);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(tx->Open(Network::UdpSockInfo{}).IsOk());
    const auto payload = Bytes(100, 3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(tx->Send(payload.data(), payload.size(), Loopback(port)).IsOk());
    }
    ASSERT_TRUE(receiver.WaitCount(3));
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpSentSyncBytes), 300u);
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpRecvBytes), 300u);
    EXPECT_GE(mgr->GetTimeStatCount(Network::kNetStatUdpSendSync), 3u);
    // The callback's time is recorded when it has returned, just after the receiver counted it.
    EXPECT_TRUE(testing_support::WaitFor(
        [&] { return mgr->GetTimeStatCount(Network::kNetStatUdpRecvCallback) >= 3u; }));

    // A new minute: the next round writes the report.
    TestMinute().fetch_add(1);
    mgr->Wake();
    ASSERT_TRUE(testing_support::WaitFor([&] {
        capture.Sync();
        return !capture.Containing(L"STATISTICS: reporter: IoStat: Sockets=2").empty();
    }));
    const std::vector<std::wstring> lines = capture.Containing(L"STATISTICS: reporter: IoStat: Sockets=2");
    ASSERT_EQ(lines.size(), 1u);
    const std::wstring& report = lines.front();
    EXPECT_NE(report.find(L"IoStat: Sockets=2 UdpRecvBytes=300 UdpSentSyncBytes=300"), std::wstring::npos)
        << report;
    // Counters that stayed zero are left out.
    EXPECT_EQ(report.find(L"Drops="), std::wstring::npos);
    // One more line per histogram that has samples, each with the report prefix.
    EXPECT_NE(
        report.find(capture.Log().LineBreak + L"STATISTICS: reporter: STATISTICS: UdpSendSync (mks): N=3"),
        std::wstring::npos)
        << report;
    EXPECT_NE(report.find(L"STATISTICS: reporter: STATISTICS: UdpRecvCallback (mks): N="),
              std::wstring::npos);
    EXPECT_EQ(report.find(L"TcpSend (mks)"), std::wstring::npos);
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpSentSyncBytes), 0u);
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpRecvBytes), 0u);
    EXPECT_EQ(mgr->GetTimeStatCount(Network::kNetStatUdpSendSync), 0u);
}

TEST(NetManagerReport, StatisticsOffWhenTheServicesStreamIsDisabled) {
    testing_support::ProcessLogTestFolder();
    std::shared_ptr<IDebugLog> log = GetProcessDebugLog();
    log->SetLogStreamState(L"NetManager-quiet-Stat", false);
    auto mgr = StartedManager(L"quiet");
    EXPECT_FALSE(mgr->IsStatisticsOn());
    auto tx = mgr->CreateUdpSock();
    ASSERT_TRUE(tx->Open(Network::UdpSockInfo{}).IsOk());
    RawPeer peer;
    const auto payload = Bytes(10, 1);
    ASSERT_TRUE(tx->Send(payload.data(), payload.size(), Loopback(peer.Port())).IsOk());
    std::vector<std::uint8_t> got;
    ASSERT_TRUE(peer.Receive(got, milliseconds(3000)));
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpSentSyncBytes), 0u);

    // The stream of every service switches all of them off; unlisted streams leave statistics on.
    log->SetLogStreamState(L"NetManager-Stat", false);
    auto other = NetManager::Create(ComponentInfo{L"other"}, false);
    EXPECT_FALSE(other->IsStatisticsOn());
    log->SetLogStreamState(L"NetManager-Stat", true);
    auto third = NetManager::Create(ComponentInfo{L"third"}, false);
    EXPECT_TRUE(third->IsStatisticsOn());
}

}  // namespace
