// Queued sending: the service thread drains the queue, a full queue refuses with "Send buffer overflow",
// and several threads may send on one socket at once without losing or doubling a datagram.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "common/log_test_support.h"
#include "net/net_manager.h"
#include "net/udp_sock.h"
#include "udp_sock_test_support.h"

namespace {

using namespace sock_test;
using Network::UdpSockInfo;

UdpSockInfo Queued(std::uint32_t capacity) {
    UdpSockInfo info;
    info.sync_only = false;
    info.send_queue_capacity = capacity;
    return info;
}

std::wstring FirstLine(const ErrInfo& err) {
    const std::wstring& t = err.GetText();
    return t.substr(0, t.find_first_of(L"\r\n"));
}

std::vector<std::uint8_t> Numbered(std::uint32_t n) {
    return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
            static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

TEST(UdpSockQueue, QueuedDatagramsWaitForTheServiceThread) {
    testing_support::ProcessLogTestFolder();
    auto mgr = Network::NetManager::Create(ComponentInfo{L"queued"}, false);
    mgr->SetReportMinuteSource(&TestMinuteSource);
    auto tx = mgr->CreateUdpSock();
    ASSERT_TRUE(tx->Open(Queued(10)).IsOk());
    auto* udp = dynamic_cast<Network::UdpSock*>(tx->GetBaseSock());
    ASSERT_NE(udp, nullptr);
    EXPECT_EQ(udp->GetEventMask(), Network::kSockEvRead | Network::kSockEvWrite);

    RawPeer peer;
    const auto payload = Bytes(33, 4);
    ASSERT_TRUE(tx->Send(payload.data(), payload.size(), Loopback(peer.Port())).IsOk());
    EXPECT_EQ(udp->QueuedCount(), 1u);
    EXPECT_TRUE(udp->IsIdle());  // queued data asks for a visit
    std::vector<std::uint8_t> got;
    EXPECT_FALSE(peer.Receive(got, milliseconds(200)));  // nobody drains the queue yet

    ASSERT_TRUE(mgr->Start());
    ASSERT_TRUE(peer.Receive(got, milliseconds(3000)));
    EXPECT_EQ(got, payload);
    EXPECT_TRUE(testing_support::WaitFor([&] { return udp->QueuedCount() == 0; }));
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpSentAsyncBytes), 33u);
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpSentSyncBytes), 0u);
}

TEST(UdpSockQueue, FullQueueRefusesWithSendBufferOverflow) {
    auto mgr = StartedManager(L"overflow");
    auto tx = mgr->CreateUdpSock();
    ASSERT_TRUE(tx->Open(Queued(100)).IsOk());
    auto* udp = dynamic_cast<Network::UdpSock*>(tx->GetBaseSock());
    RawPeer peer;
    {
        // While the socket's lock is held the service thread cannot drain the queue.
        std::lock_guard<NamedRecursiveMutex> hold(tx->GetBaseSock()->GetLock());
        for (std::uint32_t i = 0; i < 100; ++i) {
            const auto bytes = Numbered(i);
            ASSERT_TRUE(tx->Send(bytes.data(), bytes.size(), Loopback(peer.Port())).IsOk()) << i;
        }
        EXPECT_EQ(udp->QueuedCount(), 100u);
        const auto extra = Numbered(100);
        ErrInfo err = tx->Send(extra.data(), extra.size(), Loopback(peer.Port()));
        EXPECT_EQ(FirstLine(err), L"UDP socket: Send buffer overflow");
        EXPECT_EQ(err.Method(), std::string("Network::UdpSock::SendAsync"));
        EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpSendAsyncDrops), 1u);
        EXPECT_EQ(udp->QueuedCount(), 100u);
    }
    // Released, all hundred go out in order; the refused one never does.
    for (std::uint32_t i = 0; i < 100; ++i) {
        std::vector<std::uint8_t> got;
        ASSERT_TRUE(peer.Receive(got, milliseconds(3000))) << i;
        EXPECT_EQ(got, Numbered(i));
    }
    std::vector<std::uint8_t> none;
    EXPECT_FALSE(peer.Receive(none, milliseconds(100)));
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpSentAsyncBytes), 400u);
    EXPECT_EQ(mgr->GetIoStat(Network::kIoUdpSendAsyncDrops), 1u);
}

TEST(UdpSockQueue, QueueOfCapacityZeroRefusesEverySend) {
    auto mgr = StartedManager(L"zero");
    auto tx = mgr->CreateUdpSock();
    ASSERT_TRUE(tx->Open(Queued(0)).IsOk());
    RawPeer peer;
    ErrInfo err = tx->Send(Numbered(1).data(), 4, Loopback(peer.Port()));
    EXPECT_EQ(FirstLine(err), L"UDP socket: Send buffer overflow");
}

TEST(UdpSockQueue, QueuedSendRefusesClosedSocketAndMissingDestination) {
    auto mgr = StartedManager(L"qerr");
    auto tx = mgr->CreateUdpSock();
    ASSERT_TRUE(tx->Open(Queued(5)).IsOk());
    ErrInfo noDest = tx->Send(Numbered(1).data(), 4, Network::SockAddr());
    EXPECT_EQ(FirstLine(noDest), L"UDP socket: send address undefined");
    tx->Close();
    ErrInfo closed = tx->Send(Numbered(1).data(), 4, Loopback(9));
    EXPECT_EQ(FirstLine(closed), L"Invalid socket");
}

// Several threads send on one queued socket at once. The receiving side paces them (never more than a
// few dozen datagrams in flight) so that loopback never drops; a full queue is retried.
TEST(UdpSockQueue, ConcurrentSendersLoseAndDoubleNothing) {
    constexpr std::uint32_t kThreads = 4;
    constexpr std::uint32_t kPerThread = 400;
    constexpr std::uint32_t kInFlight = 32;

    RecordingUdpReceiver receiver;
    auto sender = StartedManager(L"senders");
    auto receiving = StartedManager(L"receiving");
    auto rx = receiving->CreateUdpSock();
    UdpSockInfo rxInfo;
    rxInfo.receiver = &receiver;
    const std::uint16_t port = OpenOnFreePort(*rx, rxInfo);
    ASSERT_NE(port, 0);
    auto tx = sender->CreateUdpSock();
    ASSERT_TRUE(tx->Open(Queued(16)).IsOk());

    std::atomic<std::uint32_t> accepted{0};
    std::atomic<std::uint32_t> overflows{0};
    std::atomic<bool> failed{false};
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint32_t seq = 0; seq < kPerThread && !failed.load(); ++seq) {
                const std::vector<std::uint8_t> bytes = Numbered((t << 16) | seq);
                for (;;) {
                    while (accepted.load() >= receiver.Count() + kInFlight) {
                        std::this_thread::sleep_for(std::chrono::microseconds(100));
                    }
                    ErrInfo err = tx->Send(bytes.data(), bytes.size(), Loopback(port));
                    if (err.IsOk()) {
                        accepted.fetch_add(1);
                        break;
                    }
                    err.MarkHandled();
                    if (FirstLine(err) != L"UDP socket: Send buffer overflow") {
                        failed.store(true);
                        return;
                    }
                    overflows.fetch_add(1);
                    std::this_thread::yield();
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    ASSERT_FALSE(failed.load());
    ASSERT_EQ(accepted.load(), kThreads * kPerThread);
    ASSERT_TRUE(receiver.WaitCount(kThreads * kPerThread, milliseconds(20000)));
    std::this_thread::sleep_for(milliseconds(100));

    const auto got = receiver.Datagrams();
    ASSERT_EQ(got.size(), kThreads * kPerThread);
    std::vector<std::uint32_t> next(kThreads, 0);
    for (const auto& d : got) {
        ASSERT_EQ(d.bytes.size(), 4u);
        const std::uint32_t n = (std::uint32_t{d.bytes[0]} << 24) | (std::uint32_t{d.bytes[1]} << 16) |
                                (std::uint32_t{d.bytes[2]} << 8) | d.bytes[3];
        const std::uint32_t t = n >> 16;
        ASSERT_LT(t, kThreads);
        // Each thread's datagrams come once each, in the order that thread sent them.
        EXPECT_EQ(n & 0xFFFF, next[t]) << "thread " << t;
        next[t] = (n & 0xFFFF) + 1;
    }
    for (std::uint32_t t = 0; t < kThreads; ++t) {
        EXPECT_EQ(next[t], kPerThread);
    }
    EXPECT_EQ(sender->GetIoStat(Network::kIoUdpSentAsyncBytes), 4u * kThreads * kPerThread);
    EXPECT_EQ(sender->GetIoStat(Network::kIoUdpSendAsyncDrops), overflows.load());
}

}  // namespace
