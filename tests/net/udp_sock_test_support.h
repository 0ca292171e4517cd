// Pieces shared by the socket service and UDP socket tests: a receiver that records what it gets, a
// socket of the tests' own that records every visit of the service thread, opening on a free loopback
// port, and the process log kept in a folder of the test program.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/environment.h"
#include "common/log_test_support.h"
#include "net/base_sock.h"
#include "net/inet.h"
#include "net/net_manager.h"
#include "platform/socket.h"
#include "platform/thread.h"

namespace sock_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline std::int64_t MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<milliseconds>(b - a).count();
}

inline Network::SockAddr Loopback(std::uint16_t port) {
    return Network::SockAddr(platform::SockAddrIn::Loopback(port));
}

inline std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return v;
}

// Opens `sock` bound to 127.0.0.1 on a free port (tries random ports; other test programs bind too) and
// returns the port; 0 when no port could be bound.
inline std::uint16_t OpenOnFreePort(Network::IUdpSock& sock, Network::UdpSockInfo info) {
    static std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<int> pick(20000, 59999);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<std::uint16_t>(pick(rng));
        info.bind_addr = Loopback(port);
        ErrInfo err = sock.Open(info);
        if (err.IsOk()) {
            return port;
        }
        err.MarkHandled();
    }
    return 0;
}

// Records datagrams, errors and closes, with the thread that delivered them.
class RecordingUdpReceiver : public Network::IUdpReceiver {
public:
    struct Datagram {
        std::vector<std::uint8_t> bytes;
        Network::SockAddr from;
        std::uint32_t thread = 0;
        Network::IUdpSock* sock = nullptr;
    };

    // Called on the service thread after a datagram was recorded.
    std::function<void(Network::IUdpSock*, const Datagram&)> onDatagram;

    void OnDatagramReceived(Network::IUdpSock* sock, std::shared_ptr<Network::Packet> datagram,
                            const Network::SockAddr& from) override {
        Datagram d;
        d.bytes.assign(datagram->Data(), datagram->Data() + datagram->Size());
        d.from = from;
        d.thread = platform::CurrentThreadId();
        d.sock = sock;
        if (onDatagram) {
            onDatagram(sock, d);
        }
        // Notified under the lock: once a waiter sees the datagram, this call touches the receiver no more.
        std::lock_guard<std::mutex> lock(mutex_);
        datagrams_.push_back(d);
        cv_.notify_all();
    }
    void OnSocketError(const ErrInfo& error, Network::IUdpSock*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        errors_.push_back(error.GetText());
        cv_.notify_all();
    }
    void OnSocketClosed(const ErrInfo& error, Network::IUdpSock*) override {
        std::lock_guard<std::mutex> lock(mutex_);
        closes_.push_back(error.GetText());
        cv_.notify_all();
    }

    std::vector<Datagram> Datagrams() {
        std::lock_guard<std::mutex> lock(mutex_);
        return datagrams_;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return datagrams_.size();
    }
    std::vector<std::wstring> Errors() {
        std::lock_guard<std::mutex> lock(mutex_);
        return errors_;
    }
    bool WaitCount(std::size_t n, milliseconds timeout = milliseconds(10000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return datagrams_.size() >= n; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Datagram> datagrams_;
    std::vector<std::wstring> errors_;
    std::vector<std::wstring> closes_;
};

// A socket of the tests' own: a UDP handle bound to 127.0.0.1 on a port the system picks, registered
// with a service, recording every visit (time and event bits) and reading whatever arrives.
class ProbeSock : public Network::BaseSock, public std::enable_shared_from_this<ProbeSock> {
public:
    struct Visit {
        Clock::time_point at;
        std::uint32_t bits = 0;
        std::uint32_t thread = 0;
    };

    explicit ProbeSock(Network::INetManagerImpl& manager, std::uint32_t weight = 1000)
        : BaseSock(manager, L"ProbeSock"), weight_(weight) {}
    ~ProbeSock() override { Close(); }

    // Makes a probe, puts it into the service's collection, opens and registers it.
    static std::shared_ptr<ProbeSock> Start(Network::INetManagerImpl& manager) {
        auto probe = std::make_shared<ProbeSock>(manager);
        manager.AddSocketToService(probe);
        EXPECT_TRUE(probe->Open());
        return probe;
    }

    bool Open() {
        platform::SocketHandle h = platform::kInvalidSocket;
        if (!platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
            return false;
        }
        platform::SockAddrIn local = platform::SockAddrIn::Loopback(0);
        if (!platform::Bind(h, local).ok() || !platform::GetLocalAddress(h, local).ok()) {
            platform::CloseSocket(h);
            return false;
        }
        port_ = local.Port();
        SetHandle(h);
        return Manager().RegisterSocketEvents(*this);
    }

    std::uint16_t Port() const { return port_; }

    std::shared_ptr<BaseSock> GetSharedPtr() override { return shared_from_this(); }
    void Close() override { CloseBase(); }
    std::uint32_t GetType() override { return kTypeUdp; }
    std::uint32_t GetEventMask() override { return Network::kSockEvRead; }
    std::uint32_t GetWeight() override { return weight_; }
    bool HandleSocketEvents(std::uint32_t bits) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            visits_.push_back(Visit{Clock::now(), bits, platform::CurrentThreadId()});
        }
        if ((bits & Network::kSockEvRead) != 0) {
            std::uint8_t buffer[2048];
            while (IsOpen() && platform::RecvFrom(GetHandle(), buffer, sizeof buffer, nullptr).ok()) {
                read_.fetch_add(1);
            }
        }
        return false;
    }

    std::vector<Visit> Visits() {
        std::lock_guard<std::mutex> lock(mutex_);
        return visits_;
    }
    std::size_t VisitCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return visits_.size();
    }
    int DatagramsRead() const { return read_.load(); }

private:
    std::uint32_t weight_;
    std::uint16_t port_ = 0;
    std::mutex mutex_;
    std::vector<Visit> visits_;
    std::atomic<int> read_{0};
};

// Sends one datagram from a plain socket to 127.0.0.1:port.
inline bool SendRaw(std::uint16_t port, const std::vector<std::uint8_t>& bytes) {
    platform::UniqueSocket s;
    platform::SocketHandle h = platform::kInvalidSocket;
    if (!platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
        return false;
    }
    s.Reset(h);
    return platform::SendTo(h, bytes.data(), bytes.size(), platform::SockAddrIn::Loopback(port)).ok();
}

// A plain socket bound to a loopback port of the system's choice, read by polling.
class RawPeer {
public:
    RawPeer() {
        platform::SocketHandle h = platform::kInvalidSocket;
        if (platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
            sock_.Reset(h);
            platform::SockAddrIn local = platform::SockAddrIn::Loopback(0);
            if (platform::Bind(h, local).ok() && platform::GetLocalAddress(h, local).ok() &&
                platform::SetNonBlocking(h, true).ok()) {
                port_ = local.Port();
            }
        }
    }
    std::uint16_t Port() const { return port_; }
    platform::SocketHandle Handle() const { return sock_.Get(); }

    // The next datagram, or nothing within `timeout`.
    bool Receive(std::vector<std::uint8_t>& out, milliseconds timeout, platform::SockAddrIn* from = nullptr) {
        const auto end = Clock::now() + timeout;
        std::vector<std::uint8_t> buffer(70000);
        for (;;) {
            const platform::SocketIo io = platform::RecvFrom(sock_.Get(), buffer.data(), buffer.size(), from);
            if (io.ok()) {
                out.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(io.bytes));
                return true;
            }
            if (Clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
    }

private:
    platform::UniqueSocket sock_;
    std::uint16_t port_ = 0;
};

// A minute source the tests move by hand, so that the once-a-minute report comes exactly when a test
// wants it (and never in the middle of a test that reads the counters).
inline std::atomic<std::uint64_t>& TestMinute() {
    static std::atomic<std::uint64_t> minute{1000};
    return minute;
}
inline std::uint64_t TestMinuteSource() {
    return TestMinute().load();
}

// A started service whose report never fires unless the test moves TestMinute().
inline std::shared_ptr<Network::NetManager> StartedManager(const std::wstring& name) {
    testing_support::ProcessLogTestFolder();
    auto mgr = Network::NetManager::Create(ComponentInfo{name}, false);
    mgr->SetReportMinuteSource(&TestMinuteSource);
    EXPECT_TRUE(mgr->Start());
    return mgr;
}

// Turns the detailed socket log of the services named `name` on for the lifetime of the object.
class DetailedLogging {
public:
    explicit DetailedLogging(const std::wstring& name)
        : log_((testing_support::ProcessLogTestFolder(), GetProcessDebugLog())),
          stream_(L"NetManager-" + name) {
        oldLevel_ = log_->SetLoggingLevel(5);
        log_->SetLogStreamState(stream_, true);
    }
    ~DetailedLogging() {
        log_->SetLoggingLevel(oldLevel_);
        log_->SetLogStreamState(stream_, false);
    }

private:
    std::shared_ptr<IDebugLog> log_;
    std::wstring stream_;
    std::uint32_t oldLevel_ = 2;
};

}  // namespace sock_test
