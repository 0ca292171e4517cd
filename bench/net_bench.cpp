// Latency of the control transport on loopback.
//
//   RawUdpPingPong           round trip of a 60-byte datagram between two plain sockets, the echo
//                            side on a thread of its own: the floor everything else is measured against.
//   NetManagerDelivery/N     a socket service serving N UDP sockets: time from a 60-byte datagram sent to
//                            one of them until that socket's receiver is called on the service thread.
//                            The goal is that N = 1024 stays within twice N = 1.
//   JsonSessionAck           a reliable session sending to a second session (each on a socket service of
//                            its own): time from Send until the sender's OnAck, which spans the worker
//                            wake-up, the datagram, the peer's acknowledgement and the hand-over back to
//                            the sender's worker. The goal is within three times RawUdpPingPong.
//   NetManagerFloodClose/C   a socket flooded at full rate with 40-byte datagrams from another loopback
//                            address (127.0.0.2), its receiver taking C microseconds per datagram: the
//                            time Close takes while the flood goes on (the goal is within 100 ms), and
//                            the datagrams per second the service delivered during the 100 ms before
//                            (delivered_per_s; sent_per_s is what the flooding thread got out).
//
// Every benchmark reports the median and the 99th percentile of its samples in microseconds
// (median_us, p99_us); the iteration time itself includes the waiting of the measuring thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/environment.h"
#include "net/inet.h"
#include "net/json_udp_connect.h"
#include "net/net_manager.h"
#include "platform/socket.h"
#include "protocol/device_msgs.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDatagramSize = 60;

// The process log goes to a folder of its own, not next to the benchmark.
void KeepLogAside() {
    static const bool done = [] {
        std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("norvane-net-bench-" + std::to_string(std::random_device{}()));
        UseProcessDebugLogFolder(folder);
        return true;
    }();
    (void)done;
}

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void ReportPercentiles(benchmark::State& state, std::vector<double>& samples) {
    if (samples.empty()) {
        return;
    }
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        const auto i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
        return samples[std::min(i, samples.size() - 1)];
    };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["samples"] = static_cast<double>(samples.size());
}

platform::SocketHandle BoundLoopbackSocket(std::uint16_t& port) {
    platform::SocketHandle h = platform::kInvalidSocket;
    if (!platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
        return platform::kInvalidSocket;
    }
    platform::SockAddrIn local = platform::SockAddrIn::Loopback(0);
    if (!platform::Bind(h, local).ok() || !platform::GetLocalAddress(h, local).ok()) {
        platform::CloseSocket(h);
        return platform::kInvalidSocket;
    }
    port = local.Port();
    return h;
}

// ------------------------------------------------------------------------------------------------------
// Two plain sockets, one echoing on its own thread.

void RawUdpPingPong(benchmark::State& state) {
    std::uint16_t pingPort = 0;
    std::uint16_t echoPort = 0;
    platform::UniqueSocket ping(BoundLoopbackSocket(pingPort));
    platform::UniqueSocket echo(BoundLoopbackSocket(echoPort));
    if (!ping.IsOpen() || !echo.IsOpen()) {
        state.SkipWithError("no loopback sockets");
        return;
    }
    std::thread echoer([&] {
        std::uint8_t buffer[2048];
        platform::SockAddrIn from;
        for (;;) {
            const platform::SocketIo io = platform::RecvFrom(echo.Get(), buffer, sizeof buffer, &from);
            if (!io.ok() || io.bytes == 1) {
                return;  // a one-byte datagram ends the echo
            }
            (void)platform::SendTo(echo.Get(), buffer, io.bytes, from);
        }
    });
    const platform::SockAddrIn echoAddr = platform::SockAddrIn::Loopback(echoPort);
    std::uint8_t out[kDatagramSize] = {};
    std::uint8_t in[2048];
    std::vector<double> samples;
    samples.reserve(1 << 16);
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        (void)platform::SendTo(ping.Get(), out, sizeof out, echoAddr);
        const platform::SocketIo io = platform::RecvFrom(ping.Get(), in, sizeof in, nullptr);
        samples.push_back(Micros(Clock::now() - t0));
        if (!io.ok() || io.bytes != kDatagramSize) {
            state.SkipWithError("echo lost");
            break;
        }
    }
    const std::uint8_t stop = 0;
    (void)platform::SendTo(ping.Get(), &stop, 1, echoAddr);
    echoer.join();
    ReportPercentiles(state, samples);
}
BENCHMARK(RawUdpPingPong)->UseRealTime();

// ------------------------------------------------------------------------------------------------------
// A socket service with N sockets; datagrams go to one of them.

class StampingReceiver : public Network::IUdpReceiver {
public:
    void OnDatagramReceived(Network::IUdpSock*, std::shared_ptr<Network::Packet>,
                            const Network::SockAddr&) override {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stamp_ = now;
            ++count_;
        }
        cv_.notify_one();
    }
    void OnSocketError(const ErrInfo&, Network::IUdpSock*) override {}

    // Waits for the datagram after `seen` and returns when its callback ran.
    bool WaitNext(std::uint64_t seen, Clock::time_point& stamp) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(2), [&] { return count_ > seen; })) {
            return false;
        }
        stamp = stamp_;
        return true;
    }
    std::uint64_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    Clock::time_point stamp_;
    std::uint64_t count_ = 0;
};

std::uint16_t OpenOnFreePort(Network::IUdpSock& sock, Network::UdpSockInfo info, std::mt19937& rng) {
    std::uniform_int_distribution<int> pick(20000, 59999);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const auto port = static_cast<std::uint16_t>(pick(rng));
        info.bind_addr = Network::SockAddr(platform::SockAddrIn::Loopback(port));
        ErrInfo err = sock.Open(info);
        if (err.IsOk()) {
            return port;
        }
        err.MarkHandled();
    }
    return 0;
}

void NetManagerDelivery(benchmark::State& state) {
    KeepLogAside();
    const auto count = static_cast<std::size_t>(state.range(0));
    auto mgr = Network::NetManager::Create(ComponentInfo{L"bench"}, true);
    StampingReceiver target;
    StampingReceiver others;
    std::mt19937 rng(std::random_device{}());
    std::vector<std::shared_ptr<Network::IUdpSock>> socks;
    std::uint16_t targetPort = 0;
    for (std::size_t i = 0; i < count; ++i) {
        auto s = mgr->CreateUdpSock();
        Network::UdpSockInfo info;
        const bool isTarget = i == count / 2;
        info.receiver = isTarget ? &target : &others;
        const std::uint16_t port = OpenOnFreePort(*s, info, rng);
        if (port == 0) {
            state.SkipWithError("could not open the sockets (descriptor limit?)");
            return;
        }
        if (isTarget) {
            targetPort = port;
        }
        socks.push_back(std::move(s));
    }
    std::uint16_t senderPort = 0;
    platform::UniqueSocket sender(BoundLoopbackSocket(senderPort));
    const platform::SockAddrIn dest = platform::SockAddrIn::Loopback(targetPort);
    std::uint8_t out[kDatagramSize] = {};
    std::vector<double> samples;
    samples.reserve(1 << 16);
    // Let the registration rounds pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto _ : state) {
        const std::uint64_t seen = target.Count();
        const Clock::time_point t0 = Clock::now();
        (void)platform::SendTo(sender.Get(), out, sizeof out, dest);
        Clock::time_point stamp;
        if (!target.WaitNext(seen, stamp)) {
            state.SkipWithError("datagram lost");
            break;
        }
        samples.push_back(Micros(stamp - t0));
    }
    state.counters["sockets"] = static_cast<double>(mgr->GetNumSockets());
    ReportPercentiles(state, samples);
    mgr->Stop();
}
BENCHMARK(NetManagerDelivery)->Arg(1)->Arg(64)->Arg(1024)->UseRealTime();

// ------------------------------------------------------------------------------------------------------
// Session to session: Send until OnAck.

class AckStampingReceiver : public Network::IJsonUdpReceiver {
public:
    void OnAck(Network::IJsonUdpManager*, const std::shared_ptr<Network::JsonMsg>&) override {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stamp_ = now;
            ++acks_;
        }
        cv_.notify_one();
    }
    void OnMessage(Network::IJsonUdpManager*, std::shared_ptr<Network::JsonMsg>,
                   const Network::SockAddr&) override {}
    void OnError(Network::IJsonUdpManager*, const ErrInfo&) override { errors_.fetch_add(1); }

    // Waits for the acknowledgement after `seen` and returns when the sender's OnAck ran.
    bool WaitNext(std::uint64_t seen, Clock::time_point& stamp) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(2), [&] { return acks_ > seen; })) {
            return false;
        }
        stamp = stamp_;
        return true;
    }
    std::uint64_t Acks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return acks_;
    }
    int Errors() const { return errors_.load(); }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    Clock::time_point stamp_;
    std::uint64_t acks_ = 0;
    std::atomic<int> errors_{0};
};

// Starts `session` on a free loopback port; returns its address (cleared when none could be bound).
Network::SockAddr StartSessionOnFreePort(Network::JsonUdpConnect& session, Network::JsonUdpConnectInfo info,
                                         std::mt19937& rng) {
    std::uniform_int_distribution<int> pick(20000, 59999);
    for (int attempt = 0; attempt < 200; ++attempt) {
        info.local_addr =
            Network::SockAddr(platform::SockAddrIn::Loopback(static_cast<std::uint16_t>(pick(rng))));
        session.Init(info).MarkHandled();
        ErrInfo err = session.Start();
        if (err.IsOk()) {
            return info.local_addr;
        }
        err.MarkHandled();
    }
    return Network::SockAddr();
}

void JsonSessionAck(benchmark::State& state) {
    KeepLogAside();
    auto senderService = Network::NetManager::Create(ComponentInfo{L"bench sender"}, true);
    auto peerService = Network::NetManager::Create(ComponentInfo{L"bench peer"}, true);
    auto sender = Network::JsonUdpConnect::Create(ComponentInfo{L"Sender"}, *senderService);
    auto peer = Network::JsonUdpConnect::Create(ComponentInfo{L"Peer"}, *peerService);
    const Network::AsioDriverJsonMsgFactory factory;
    AckStampingReceiver senderUser;
    AckStampingReceiver peerUser;
    std::mt19937 rng(std::random_device{}());

    Network::JsonUdpConnectInfo info;
    info.factory = &factory;
    info.receiver = &peerUser;
    const Network::SockAddr peerAddr = StartSessionOnFreePort(*peer, info, rng);
    info.receiver = &senderUser;
    info.default_send_addr = peerAddr;
    const Network::SockAddr senderAddr = StartSessionOnFreePort(*sender, info, rng);
    if (!peerAddr.IsValid() || !senderAddr.IsValid()) {
        state.SkipWithError("could not start the sessions");
        return;
    }

    std::vector<double> samples;
    samples.reserve(1 << 16);
    for (auto _ : state) {
        const std::uint64_t seen = senderUser.Acks();
        const Clock::time_point t0 = Clock::now();
        sender->Send(std::make_shared<Network::JsonMsgGetFmFreq>(), Network::SockAddr()).MarkHandled();
        Clock::time_point stamp;
        if (!senderUser.WaitNext(seen, stamp)) {
            state.SkipWithError("acknowledgement lost");
            break;
        }
        samples.push_back(Micros(stamp - t0));
    }
    state.counters["errors"] = static_cast<double>(senderUser.Errors());
    ReportPercentiles(state, samples);
    sender->Stop();
    peer->Stop();
}
BENCHMARK(JsonSessionAck)->UseRealTime();

// ------------------------------------------------------------------------------------------------------
// Close under a flood.

class CountingReceiver : public Network::IUdpReceiver {
public:
    explicit CountingReceiver(std::chrono::microseconds cost) : cost_(cost) {}
    void OnDatagramReceived(Network::IUdpSock*, std::shared_ptr<Network::Packet>,
                            const Network::SockAddr&) override {
        if (cost_.count() > 0) {
            std::this_thread::sleep_for(cost_);  // a receiver with work to do
        }
        count_.fetch_add(1, std::memory_order_relaxed);
    }
    void OnSocketError(const ErrInfo&, Network::IUdpSock*) override {}
    std::uint64_t Count() const { return count_.load(std::memory_order_relaxed); }

private:
    const std::chrono::microseconds cost_;
    std::atomic<std::uint64_t> count_{0};
};

void NetManagerFloodClose(benchmark::State& state) {
    KeepLogAside();
    auto mgr = Network::NetManager::Create(ComponentInfo{L"bench flood"}, true);
    CountingReceiver receiver{std::chrono::microseconds(state.range(0))};
    platform::UniqueSocket flooder;
    {
        platform::SocketHandle h = platform::kInvalidSocket;
        platform::SockAddrIn from = platform::SockAddrIn::Make(127, 0, 0, 2, 0);
        if (platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
            flooder.Reset(h);
            if (!platform::Bind(h, from).ok()) {
                flooder.Reset();
            }
        }
    }
    if (!flooder.IsOpen()) {
        state.SkipWithError("no socket on 127.0.0.2");
        return;
    }
    std::vector<double> samples;
    double delivered = 0;
    double sent = 0;
    double seconds = 0;
    const std::uint8_t datagram[40] = {};
    for (auto _ : state) {
        auto sock = mgr->CreateUdpSock();
        Network::UdpSockInfo info;
        info.bind_addr = Network::SockAddr(platform::SockAddrIn::Loopback(0));
        info.receiver = &receiver;
        if (!sock->Open(info).IsOk()) {
            state.SkipWithError("could not open the socket");
            break;
        }
        const platform::SockAddrIn dest = sock->GetInfo().bind_addr.Native();
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> out{0};
        std::thread flood([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                if (platform::SendTo(flooder.Get(), datagram, sizeof datagram, dest).ok()) {
                    out.fetch_add(1, std::memory_order_relaxed);
                }
            }
        });
        // The flood fills the socket's buffer, then the service's rate is measured over 100 ms.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::uint64_t got0 = receiver.Count();
        const std::uint64_t out0 = out.load();
        const Clock::time_point w0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const Clock::time_point w1 = Clock::now();
        delivered += static_cast<double>(receiver.Count() - got0);
        sent += static_cast<double>(out.load() - out0);
        seconds += std::chrono::duration<double>(w1 - w0).count();
        const Clock::time_point t0 = Clock::now();
        sock->Close();
        samples.push_back(Micros(Clock::now() - t0));
        stop.store(true);
        flood.join();
    }
    if (seconds > 0) {
        state.counters["delivered_per_s"] = delivered / seconds;
        state.counters["sent_per_s"] = sent / seconds;
    }
    ReportPercentiles(state, samples);
    state.counters["max_us"] = samples.empty() ? 0 : *std::max_element(samples.begin(), samples.end());
    mgr->Stop();
}
BENCHMARK(NetManagerFloodClose)->Arg(0)->Arg(1000)->Iterations(20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
