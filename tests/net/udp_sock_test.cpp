// UDP sockets on loopback: exact bytes on the service thread, what is not delivered, destinations and
// send errors, closing and opening again; and queued sending, which the service thread drains.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/log_test_support.h"
#include "net/net_manager.h"
#include "net/udp_sock.h"
#include "net_test_support.h"
#include "platform/socket.h"

namespace {

using namespace net_test;
using Network::IUdpSock;
using Network::SockAddr;
using Network::UdpSockInfo;

// The first line of an error's text (later lines are the error state and the socket context).
std::wstring FirstLine(const ErrInfo& err) {
    const std::wstring t = Failure(err);
    return t.substr(0, t.find_first_of(L"\r\n"));
}

UdpSockInfo Queued(std::uint32_t capacity) {
    UdpSockInfo info;
    info.sync_only = false;
    info.send_queue_capacity = capacity;
    return info;
}

// Datagram `seq` of sender `t`.
std::vector<std::uint8_t> Numbered(std::uint32_t seq, std::uint32_t t = 0) {
    return {static_cast<std::uint8_t>(t), static_cast<std::uint8_t>(seq >> 8),
            static_cast<std::uint8_t>(seq)};
}

class UdpSockTest : public ::testing::Test {
protected:
    std::shared_ptr<IUdpSock> Open(const UdpSockInfo& info) {
        auto sock = service_->CreateUdpSock();
        EXPECT_TRUE(sock->Open(info).IsOk());
        return sock;
    }

    // Declared first, destroyed last: the service (and its sockets) end before the receiver they call.
    RecordingUdpReceiver receiver_;
    std::shared_ptr<Network::NetManager> service_ = StartedService(L"udp");
    UdpPeer peer_;
};

TEST_F(UdpSockTest, DatagramsArriveWithExactBytesOnTheServiceThreadAndLongOnesAreCut) {
    UdpSockInfo info = Bound(&receiver_);
    info.recv_buffer_size = 1472;
    auto rx = Open(info);
    auto tx = Open(Bound());
    const std::vector<std::vector<std::uint8_t>> sent = {
        {0x00}, Pattern(256), Pattern(1472, 3), {0xFF, 0x00}};
    for (const auto& bytes : sent) {
        ASSERT_TRUE(tx->Send(bytes.data(), bytes.size(), rx->GetInfo().bind_addr).IsOk());
    }
    // An empty datagram is not delivered; a longer one than the buffer is cut to it.
    ASSERT_TRUE(peer_.SendBytes({}, rx->GetInfo().bind_addr.Native()));
    ASSERT_TRUE(peer_.SendBytes(Pattern(1600, 9), rx->GetInfo().bind_addr.Native()));

    ASSERT_TRUE(receiver_.WaitCount(5));
    const auto got = receiver_.Datagrams();
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(got[i].bytes, sent[i]) << "datagram " << i;
        EXPECT_EQ(got[i].from, tx->GetInfo().bind_addr);
        EXPECT_EQ(got[i].thread, service_->GetServiceThreadId());
        EXPECT_EQ(got[i].capacity, sent[i].size());  // memory follows the bytes, not the buffer size
    }
    const auto cut = Pattern(1600, 9);
    EXPECT_EQ(got[4].bytes, std::vector<std::uint8_t>(cut.begin(), cut.begin() + 1472));
    EXPECT_EQ(service_->GetIoStat(Network::kIoUdpRecvDatagrams), 6u);
    EXPECT_EQ(service_->GetIoStat(Network::kIoUdpRecvDrops), 1u);  // the empty one
}

TEST_F(UdpSockTest, AnUnboundSocketSendsButNeverDelivers) {
    UdpSockInfo unbound;
    unbound.receiver = &receiver_;
    auto sock = Open(unbound);
    ASSERT_TRUE(sock->SetSendAddr(Addr(peer_.Address())).IsOk());
    ASSERT_TRUE(sock->Send(Pattern(4).data(), 4, SockAddr()).IsOk());  // to the default address
    const auto request = peer_.Receive();
    ASSERT_TRUE(request && request->bytes == Pattern(4));
    // The answer reaches the socket, which does not read it (another datagram, sent after it, shows
    // that the service has been round).
    ASSERT_TRUE(peer_.SendBytes(Pattern(2), request->from));
    auto probe = Open(Bound(&receiver_));
    ASSERT_TRUE(peer_.SendBytes(Pattern(3), probe->GetInfo().bind_addr.Native()));
    ASSERT_TRUE(receiver_.WaitCount(1));
    EXPECT_EQ(receiver_.Datagrams()[0].bytes, Pattern(3));
    // Still waiting in the socket: nobody read it.
    std::uint8_t buffer[16];
    EXPECT_TRUE(platform::RecvFrom(sock->GetBaseSock()->GetHandle(), buffer, sizeof buffer, nullptr).ok());
}

TEST_F(UdpSockTest, SendErrorsNameTheirCauseAndRunThroughTheSendErrorState) {
    auto sock = Open(Bound());
    auto* udp = dynamic_cast<Network::UdpSock*>(sock->GetBaseSock());
    const std::vector<std::uint8_t> tooLong(70000, 1);  // larger than any UDP datagram
    for (std::uint32_t n = 1; n <= 2; ++n) {
        EXPECT_EQ(FirstLine(sock->Send(tooLong.data(), tooLong.size(), Addr(peer_.Address()))),
                  L"UDP socket: sendto() failed");
        EXPECT_EQ(udp->SendErrorCount(), n);
    }
    EXPECT_EQ(service_->GetIoStat(Network::kIoUdpSendSyncDrops), 2u);
    ASSERT_TRUE(sock->Send(Pattern(2).data(), 2, Addr(peer_.Address())).IsOk());
    EXPECT_EQ(udp->SendErrorCount(), 0u);
    EXPECT_EQ(FirstLine(sock->Send(Pattern(3).data(), 3, SockAddr())), L"UDP socket: send address undefined");
    sock->Close();
    EXPECT_EQ(FirstLine(sock->Send(Pattern(3).data(), 3, Addr(peer_.Address()))), L"Invalid socket");
}

// One visit reads at most 64 datagrams: another socket's datagram gets in before the rest of a full
// socket's, and the rest follows without a new datagram to announce it.
TEST_F(UdpSockTest, AVisitReadsABoundedBatchAndTheRestFollowsUnannounced) {
    constexpr std::uint32_t kQueued = 160;
    RecordingUdpReceiver other;
    std::atomic<std::size_t> fullAtOther{0};
    other.onDatagram = [&](IUdpSock*, const Datagram&) { fullAtOther = receiver_.Datagrams().size(); };
    // Declared after what the service's callbacks use: stops them first, on every way out.
    const std::shared_ptr<void> stop(nullptr, [&](void*) { service_->Stop(); });
    std::promise<void> release;  // the first datagram is held in its callback until the rest is queued
    receiver_.onDatagram = [held = release.get_future().share()](IUdpSock*, const Datagram& d) {
        d.bytes.size() == 1 ? held.wait() : void();
    };
    auto full = Open(Bound(&receiver_));
    ASSERT_TRUE(platform::SetReceiveBufferSize(full->GetBaseSock()->GetHandle(), 1 << 20).ok());
    auto witness = Open(Bound(&other));
    ASSERT_TRUE(peer_.SendBytes({1}, full->GetInfo().bind_addr.Native()));
    ASSERT_TRUE(WaitUntil([&] { return service_->GetIoStat(Network::kIoUdpRecvDatagrams) == 1; }));
    for (std::uint32_t i = 0; i < kQueued; ++i) {
        ASSERT_TRUE(peer_.SendBytes(Numbered(i), full->GetInfo().bind_addr.Native()));
    }
    ASSERT_TRUE(peer_.SendBytes({2}, witness->GetInfo().bind_addr.Native()));
    release.set_value();
    ASSERT_TRUE(receiver_.WaitCount(1 + kQueued));
    ASSERT_TRUE(other.WaitCount(1));
    // Two visits at most (where the full socket comes first in its round, on both visits).
    EXPECT_LE(fullAtOther.load(), 1 + 2 * Network::UdpSock::kMaxDatagramsPerVisit);
}

// How the flood of a socket whose receiver takes 1 ms per datagram is ended.
struct FloodEnd {
    const char* name;
    bool fromReceiver;  // within the receiver's call
    void (*end)(IUdpSock& sock, Network::NetManager& service);
};

class UdpSockFloodTest : public UdpSockTest, public ::testing::WithParamInterface<FloodEnd> {};

TEST_P(UdpSockFloodTest, TheEndIsPromptWithNoCallbackAfterIt) {
    std::atomic<bool> endNow{false}, ended{false}, stopFlood{false};
    std::atomic<int> late{0};
    receiver_.onDatagram = [&](IUdpSock* s, const Datagram&) {
        late += ended.load() ? 1 : 0;
        if (endNow.exchange(false)) {
            GetParam().end(*s, *service_);
            ended = true;
        } else {
            std::this_thread::sleep_for(milliseconds(1));  // the receiver's own work
            late += ended.load() ? 1 : 0;
        }
    };
    auto flooded = Open(Bound(&receiver_));
    // 40-byte datagrams, some ten thousand a second for 5 s at most, from a peer of its own (its sends to
    // the closed port earn errors that must not surface on another socket).
    UdpPeer flooder;
    const auto flood = std::async(std::launch::async, [&, to = flooded->GetInfo().bind_addr.Native()] {
        for (const auto end = Clock::now() + milliseconds(5000); !stopFlood && Clock::now() < end;) {
            flooder.SendBytes(Pattern(40), to);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
    });
    const std::shared_ptr<void> stop(nullptr, [&](void*) {  // as in the batch test above
        stopFlood = true;
        service_->Stop();
    });
    ASSERT_TRUE(receiver_.WaitCount(20));

    const Clock::time_point start = Clock::now();
    endNow = GetParam().fromReceiver;
    if (!GetParam().fromReceiver) {
        GetParam().end(*flooded, *service_);
        ended = true;
    } else if (!WaitUntil([&] { return ended.load(); })) {
        std::abort();  // the service thread is stuck in the receiver: nothing can stop it any more
    }
    EXPECT_LT(MsBetween(start, Clock::now()), 2000) << "the end waited for the flood";
    EXPECT_EQ(flood.wait_for(milliseconds(0)), std::future_status::timeout) << "the flood had ended first";
    service_->Stop();  // joins the service thread: a callback still running has ended
    EXPECT_EQ(late.load(), 0);
}

const FloodEnd kFloodEnds[] = {
    {"CloseFromAnotherThread", false, [](IUdpSock& s, Network::NetManager&) { s.Close(); }},
    {"CloseFromTheReceiver", true, [](IUdpSock& s, Network::NetManager&) { s.Close(); }},
    {"StopTheService", false, [](IUdpSock&, Network::NetManager& m) { m.Stop(); }},
    {"StopFromTheReceiver", true, [](IUdpSock&, Network::NetManager& m) { m.Stop(); }},
};
INSTANTIATE_TEST_SUITE_P(Ends, UdpSockFloodTest, ::testing::ValuesIn(kFloodEnds),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------------
// Queued sending

TEST(UdpSockQueue, QueuedDatagramsWaitForTheServiceThread) {
    auto service = Network::NetManager::Create(ComponentInfo{L"queued"}, false);
    service->SetReportMinuteSource([] { return TestMinute().load(); });
    auto tx = service->CreateUdpSock();
    ASSERT_TRUE(tx->Open(Queued(10)).IsOk());
    auto* udp = dynamic_cast<Network::UdpSock*>(tx->GetBaseSock());
    UdpPeer peer;
    ASSERT_TRUE(tx->Send(Pattern(33).data(), 33, Addr(peer.Address())).IsOk());
    EXPECT_EQ(udp->QueuedCount(), 1u);

    ASSERT_TRUE(service->Start());
    const auto got = peer.Receive();
    ASSERT_TRUE(got);
    EXPECT_EQ(got->bytes, Pattern(33));
    // Counted just after the send that delivered it: wait for the count, not for time.
    EXPECT_TRUE(WaitUntil(
        [&] { return udp->QueuedCount() == 0 && service->GetIoStat(Network::kIoUdpSentAsyncBytes) == 33; }));
    EXPECT_EQ(service->GetIoStat(Network::kIoUdpSentSyncBytes), 0u);
}

TEST(UdpSockQueue, AFullQueueRefusesWithSendBufferOverflowAndTheRestGoesOutInOrder) {
    auto service = StartedService(L"overflow");
    auto tx = service->CreateUdpSock();
    ASSERT_TRUE(tx->Open(Queued(100)).IsOk());
    UdpPeer peer;
    {
        // While the socket's lock is held the service thread cannot drain the queue.
        std::lock_guard<NamedRecursiveMutex> hold(tx->GetBaseSock()->GetLock());
        for (std::uint32_t i = 0; i < 100; ++i) {
            ASSERT_TRUE(tx->Send(Numbered(i).data(), 3, Addr(peer.Address())).IsOk()) << i;
        }
        EXPECT_EQ(FirstLine(tx->Send(Numbered(100).data(), 3, Addr(peer.Address()))),
                  L"UDP socket: Send buffer overflow");
        EXPECT_EQ(service->GetIoStat(Network::kIoUdpSendAsyncDrops), 1u);
    }
    ASSERT_TRUE(peer.WaitForCount(100));
    const auto got = peer.Received();
    for (std::uint32_t i = 0; i < 100; ++i) {
        EXPECT_EQ(got[i].bytes, Numbered(i));
    }
}

// Several threads send on one queued socket at once. The receiving side paces them (never more than a
// few dozen datagrams in flight) so that loopback never drops; a full queue is retried.
TEST(UdpSockQueue, ConcurrentSendersLoseAndDoubleNothing) {
    constexpr std::uint32_t kThreads = 4;
    constexpr std::uint32_t kPerThread = 400;
    auto service = StartedService(L"senders");
    auto tx = service->CreateUdpSock();
    ASSERT_TRUE(tx->Open(Queued(16)).IsOk());
    UdpPeer peer;
    std::atomic<std::uint32_t> accepted{0};
    std::vector<std::thread> threads;
    for (std::uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint32_t seq = 0; seq < kPerThread; ++seq) {
                ASSERT_TRUE(peer.WaitUntil([&](const auto& r) { return r.size() + 32 > accepted.load(); }));
                while (!Failure(tx->Send(Numbered(seq, t).data(), 3, Addr(peer.Address()))).empty()) {
                    std::this_thread::yield();  // the queue is full: try again
                }
                accepted.fetch_add(1);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    ASSERT_TRUE(peer.WaitForCount(kThreads * kPerThread));
    std::vector<std::uint32_t> next(kThreads, 0);
    for (const auto& d : peer.Received()) {
        ASSERT_LT(d.bytes[0], kThreads);
        // Each thread's datagrams come once each, in the order that thread sent them.
        EXPECT_EQ((d.bytes[1] << 8) | d.bytes[2], next[d.bytes[0]]++) << "thread " << int{d.bytes[0]};
    }
    EXPECT_EQ(next, std::vector<std::uint32_t>(kThreads, kPerThread));
    EXPECT_EQ(service->GetIoStat(Network::kIoUdpSentAsyncBytes), 3u * kThreads * kPerThread);
}

// The size a socket asks for reaches the system; what the system refuses of it is said once per process.
TEST_F(UdpSockTest, TheReceiveBufferIsAskedForAndAShortfallIsSaidOnce) {
    testing_support::LogCapture capture;
    const auto bufferOf = [&](std::uint32_t bytes) {
        UdpSockInfo info = Bound();
        info.socket_recv_buffer = bytes;
        int got = 0;
        EXPECT_TRUE(platform::GetReceiveBufferSize(Open(info)->GetBaseSock()->GetHandle(), got).ok());
        return got;
    };
    EXPECT_LT(bufferOf(4096), bufferOf(0));  // below every system's default, so it is taken
    constexpr int kHuge = 1 << 30;
    const int got = bufferOf(kHuge);
    bufferOf(kHuge);
    if (got >= kHuge) {
        GTEST_SKIP() << "this system gives a socket a buffer of " << got << " bytes";
    }
    const auto line = FormatLine(L"asked for a receive buffer of %d bytes, the system gave %d (", kHuge, got);
    EXPECT_EQ(capture.Containing(line).size(), 1u);
}

}  // namespace
