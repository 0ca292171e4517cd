#include "platform/poller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <thread>
#include <vector>

#include "socket_test_support.h"
#include "wait.h"

namespace {

using namespace platform;  // NOLINT: the event bits and the poller's types
using Clock = std::chrono::steady_clock;

// Long enough never to end a wait that should succeed, even on a loaded machine under a sanitizer.
constexpr int kPatienceMs = 5000;
// How long a wait that must see nothing is given to show something anyway.
constexpr int kQuietMs = 150;

class Poller : public platform_test::Sockets {
protected:
    void SetUp() override {
        Sockets::SetUp();
        ASSERT_TRUE(poller_.IsValid()) << poller_.InitResult().code;
    }

    // Waits until `cookie` has shown every bit of `bits`, over as many waits as it takes.
    bool WaitFor(std::uint64_t cookie, std::uint32_t bits, int ms = kPatienceMs) {
        return testing_support::WaitUntil(
            [&] {
                std::vector<SocketEvent> ready;
                EXPECT_TRUE(poller_.Wait(50, ready).error.ok());
                for (const SocketEvent& e : ready) {
                    SocketEvent& s = seen_[e.cookie];
                    s.events |= e.events;
                    s.connect_error = (e.events & kSockConnect) != 0 ? e.connect_error : s.connect_error;
                    s.close_error = (e.events & kSockClose) != 0 ? e.close_error : s.close_error;
                }
                return (seen_[cookie].events & bits) == bits;
            },
            std::chrono::milliseconds(ms));
    }

    // One wait that must run its whole time-out and report nothing; forgets what was seen before.
    void ExpectQuiet() {
        seen_.clear();
        std::vector<SocketEvent> ready;
        const auto t0 = Clock::now();
        const WaitResult r = poller_.Wait(kQuietMs, ready);
        EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(kQuietMs / 2)) << "the wait did not wait";
        EXPECT_TRUE(r.timed_out && !r.woken && ready.empty());
    }

    SocketPoller poller_;
    std::map<std::uint64_t, SocketEvent> seen_;  // the events of each cookie, or-ed
};

TEST_F(Poller, ReadIsReportedOnceUntilRearmedAndRegistrationMakesNonBlocking) {
    SockAddrIn rx_addr;
    UniqueSocket rx = Bound(rx_addr);
    ASSERT_TRUE(poller_.Add(rx.Get(), kSockRead, 42).ok());
    ExpectQuiet();
    ASSERT_TRUE(SendTo(rx.Get(), "\1", 1, rx_addr).ok() && SendTo(rx.Get(), "\2", 1, rx_addr).ok());
    std::vector<SocketEvent> ready;
    ASSERT_FALSE(poller_.Wait(kPatienceMs, ready).timed_out);
    ASSERT_EQ(ready.size(), 1u);
    EXPECT_TRUE(ready[0].handle == rx.Get() && ready[0].events == kSockRead);
    ExpectQuiet();  // a reader that has not read yet must not make the wait spin
    std::uint8_t got = 0;
    ASSERT_TRUE(RecvFrom(rx.Get(), &got, 1, nullptr).ok());
    ASSERT_TRUE(poller_.Rearm(rx.Get(), kSockRead).ok());
    ASSERT_TRUE(WaitFor(42, kSockRead));  // the one left
    ASSERT_TRUE(RecvFrom(rx.Get(), &got, 1, nullptr).ok());
    EXPECT_EQ(got, 2);
    EXPECT_TRUE(RecvFrom(rx.Get(), &got, 1, nullptr).result.WouldBlock());
    ExpectQuiet();
}

TEST_F(Poller, WriteIsReportedOnceWhenAskedForNotAfterEverySend) {
    SockAddrIn self, other;
    UniqueSocket s = Bound(self);
    UniqueSocket added = Bound(self);
    UniqueSocket sink = Bound(other);
    const char data[40] = {};
    ASSERT_TRUE(poller_.Add(s.Get(), kSockRead | kSockWrite, 5).ok() &&
                poller_.Add(added.Get(), kSockRead, 6).ok());
    ASSERT_TRUE(WaitFor(5, kSockWrite));
    ASSERT_TRUE(SendTo(s.Get(), data, sizeof data, other).ok() &&
                SendTo(added.Get(), data, sizeof data, other).ok());
    ExpectQuiet();  // neither after a send nor without the interest
    ASSERT_TRUE(poller_.Modify(added.Get(), kSockRead | kSockWrite).ok());
    ASSERT_TRUE(WaitFor(6, kSockWrite));
    EXPECT_EQ(seen_[5].events, 0u);
}

TEST_F(Poller, WakeEndsTheWaitAndWakesBeforeItCountAsOne) {
    poller_.Wake();
    poller_.Wake();
    std::vector<SocketEvent> ready;
    EXPECT_TRUE(poller_.Wait(kPatienceMs, ready).woken);
    ExpectQuiet();
    std::thread waker([this] { poller_.Wake(); });
    const WaitResult r = poller_.Wait(30000, ready);
    waker.join();
    EXPECT_TRUE(r.woken && !r.timed_out);
}

TEST_F(Poller, RemovedOrClosedSocketsAreNotReportedAndDoNotDisturbOthers) {
    SockAddrIn a_addr, b_addr;
    UniqueSocket a = Bound(a_addr);
    UniqueSocket b = Bound(b_addr);
    ASSERT_TRUE(poller_.Add(a.Get(), kSockRead, 1).ok());
    EXPECT_EQ(poller_.Add(a.Get(), kSockRead, 4).kind, SocketErrorKind::kInvalidArgument);
    ASSERT_TRUE(poller_.Remove(a.Get()).ok());
    ASSERT_TRUE(SendTo(b.Get(), "x", 1, a_addr).ok());
    ExpectQuiet();

    const SocketHandle b_handle = b.Get();
    ASSERT_TRUE(poller_.Add(b_handle, kSockRead, 2).ok());
    ASSERT_TRUE(poller_.Add(a.Get(), kSockRead, 3).ok());
    b.Reset();                           // closed while still registered
    ASSERT_TRUE(WaitFor(3, kSockRead));  // the datagram sent above
#ifdef _WIN32
    EXPECT_EQ(seen_[2].events, kSockError);  // Winsock can no longer enumerate the closed socket
#else
    EXPECT_EQ(seen_[2].events, 0u);  // epoll forgot the closed descriptor by itself
#endif
    EXPECT_TRUE(poller_.Remove(b_handle).ok() && poller_.Count() == 1u);
}

TEST_F(Poller, ConnectIsReportedWithWriteOrWithTheRefusalAndTheListenerAccepts) {
    SockAddrIn addr, dead, unused;
    UniqueSocket listener = Bound(addr, SocketKind::kTcp);
    ASSERT_TRUE(Listen(listener.Get(), 4).ok());
    Bound(dead, SocketKind::kTcp);  // a port just free, with nobody listening
    UniqueSocket client = Bound(unused, SocketKind::kTcp);
    UniqueSocket refused = Bound(unused, SocketKind::kTcp);
    const std::uint32_t all = kSockRead | kSockWrite | kSockClose | kSockConnect;
    ASSERT_TRUE(poller_.Add(listener.Get(), kSockAccept | kSockClose, 1).ok());
    ASSERT_TRUE(poller_.Add(client.Get(), all, 2).ok() && poller_.Add(refused.Get(), all, 3).ok());
    ExpectQuiet();  // a socket that has not started connecting is neither connected nor closed
    const SocketResult c = Connect(client.Get(), addr);
    ASSERT_TRUE(c.ok() || c.Is(SocketErrorKind::kInProgress)) << c.code;
    ASSERT_TRUE(WaitFor(2, kSockConnect | kSockWrite) && WaitFor(1, kSockAccept));
    EXPECT_EQ(seen_[2].connect_error, 0);
    EXPECT_EQ(seen_[2].events & (kSockClose | kSockRead), 0u);
    EXPECT_EQ(seen_[1].events, kSockAccept);
    const SocketResult r = Connect(refused.Get(), dead);
    if (r.Is(SocketErrorKind::kInProgress)) {
        ASSERT_TRUE(WaitFor(3, kSockConnect, 3 * kPatienceMs));  // Windows retries a refused connect
        EXPECT_EQ(ClassifySocketError(seen_[3].connect_error), SocketErrorKind::kConnectionRefused);
        EXPECT_EQ(seen_[3].events & kSockWrite, 0u);
    } else {
        EXPECT_TRUE(r.Is(SocketErrorKind::kConnectionRefused)) << r.code;
    }
}

// As the socket service does: read on FD_READ until the stream ends; the close comes once, with its reason.
TEST_F(Poller, PeerCloseOrResetIsReportedOnceAfterTheLastBytes) {
    for (const bool reset : {false, true}) {
        UniqueSocket client, server;
        TcpPair(client, server);
        ASSERT_TRUE(poller_.Add(server.Get(), kSockRead | kSockClose, 11).ok());
        ASSERT_TRUE(Send(client.Get(), "abc", reset ? 0 : 3).ok());
        ASSERT_TRUE(SetLinger(client.Get(), reset, 0).ok());
        client.Reset();
        if (!reset) {
            ASSERT_TRUE(WaitFor(11, kSockRead));
            std::string got;
            char buf[8];
            for (SocketIo r; (r = Recv(server.Get(), buf, sizeof buf)).bytes > 0;) {
                got.append(buf, r.bytes);
            }
            EXPECT_EQ(got, "abc");
        }
        ASSERT_TRUE(WaitFor(11, kSockClose));
#ifdef _WIN32
        if (reset && seen_[11].close_error == 0) {
            GTEST_SKIP() << "this Winsock closed gracefully despite linger 0 (Wine does)";
        }
#endif
        EXPECT_EQ(ClassifySocketError(seen_[11].close_error),
                  reset ? SocketErrorKind::kConnectionReset : SocketErrorKind::kNone);
        ExpectQuiet();
        ASSERT_TRUE(poller_.Remove(server.Get()).ok());
    }
}

}  // namespace
