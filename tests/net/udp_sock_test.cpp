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

#include "net/net_manager.h"
#include "net/udp_sock.h"
#include "net_test_support.h"

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
    }
    const auto cut = Pattern(1600, 9);
    EXPECT_EQ(got[4].bytes, std::vector<std::uint8_t>(cut.begin(), cut.begin() + 1472));
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

// Callbacks run with the socket's lock held, so once Close (which takes it) returns, none comes any more.
TEST_F(UdpSockTest, CallbacksRunUnderTheSocketsLockAndNoneComesAfterClose) {
    std::atomic<int> checked{0}, unlocked{0};
    receiver_.onDatagram = [&](IUdpSock* s, const Datagram&) {
        // The first few only: a slow callback would let the flood below keep the socket busy for ever.
        NamedRecursiveMutex& lock = s->GetBaseSock()->GetLock();
        if (checked.fetch_add(1) < 3 &&
            std::async(std::launch::async, [&] { return lock.try_lock() && (lock.unlock(), true); }).get()) {
            ++unlocked;  // another thread got the lock while the callback ran
        }
    };
    auto rx = Open(Bound(&receiver_));
    const auto local = rx->GetInfo().bind_addr.Native();
    // A peer of its own: once the port is closed, its sends earn "port unreachable" errors that the
    // system reports on that socket's next send, which must not be the witness's below.
    UdpPeer flooder;
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop.load()) {
            flooder.SendBytes(Pattern(8), local);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    struct Joiner {
        std::atomic<bool>& stop;
        std::thread& thread;
        ~Joiner() {
            stop.store(true);
            thread.join();
        }
    } joiner{stop, flood};
    ASSERT_TRUE(receiver_.WaitCount(10));
    rx->Close();
    const std::size_t atClose = receiver_.Datagrams().size();
    // A datagram to another socket, sent after the close, shows that the service has gone round since.
    RecordingUdpReceiver other;
    auto witness = Open(Bound(&other));
    ASSERT_TRUE(peer_.SendBytes(Pattern(1), witness->GetInfo().bind_addr.Native()));
    ASSERT_TRUE(other.WaitCount(1));
    witness->Close();
    EXPECT_EQ(receiver_.Datagrams().size(), atClose);
    EXPECT_EQ(unlocked.load(), 0);
}

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

}  // namespace
