// The audio receive path: one packet's conversion, and the whole path from the socket to the
// application's callback on loopback, beside a plain loop that does only the unavoidable work.
//
//   ReadTwoChannels         one 192-frame stereo 24-bit packet (payload type 100) into two float arrays
//                           with RtpPacket::ReadChannel, once per channel.
//   ReadChannelsTwoChannels the same with RtpPacket::ReadChannels, both channels in one pass, as RecvAudio
//                           converts (goal: 120 ns or less).
//   PlainTwoChannels        the same packet decoded by a one-pass scalar loop written for this bench: what
//                           the conversion costs when nothing but the conversion runs.
//   ShuffleTwoChannels      the same with 16-byte byte shuffles (x86-64 with SSSE3): two frames per step.
//   ReceivePath/N           N streams (1, 16, 64) sent from this program at the real rate (one 4 ms packet
//                           per stream every 4 ms, 250 a second each, all of a block with the same sequence
//                           number and timestamp) for a few seconds into
//                             - an IRtpAudioManager with N receive channels whose sync target calls
//                               RecvAudio for 2N channels on each notification, then
//                             - a plain loop: one thread, epoll over N sockets, recvfrom until the socket
//                               is empty, the same conversion per packet (ReadChannels, as RecvAudio).
//                           The CPU time of each is the process's, less the sender thread's and this
//                           thread's own (both measured by thread clocks). On loopback the kernel's
//                           receive work partly runs in the sending thread and is left out with it, for
//                           both sides alike:
//                             us_per_pkt, core_pct           the library's path: CPU per packet sent, and
//                                                            CPU per second of wall time (% of one core)
//                             plain_us_per_pkt, plain_core_pct   the plain loop
//                             ratio                           us_per_pkt / plain_us_per_pkt (goal: 1.5 or
//                                                            less; 64 streams: core_pct under 20)
//                             delivered, silent               blocks the callback read while the sender
//                                                            ran, and stream blocks given as silence
//                             sender_us_per_pkt               the sender's own share, left out above
#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/environment.h"
#include "net/net_manager.h"
#include "rtp/rtp.h"

namespace {

using Clock = std::chrono::steady_clock;
using Network::RtpPacket;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kFrames = 192;
constexpr std::uint8_t kPt = 100;
constexpr auto kPacketTime = std::chrono::microseconds(4000);
constexpr auto kWarmUp = std::chrono::milliseconds(500);
constexpr auto kMeasured = std::chrono::milliseconds(3000);

void KeepLogAside() {
    static const bool done = [] {
        UseProcessDebugLogFolder(std::filesystem::temp_directory_path() /
                                 ("norvane-rtp-bench-" + std::to_string(std::random_device{}())));
        return true;
    }();
    (void)done;
}

// A packet of a stereo sine (24-bit, big-endian), with random low bits so no branch predicts the data.
RtpPacket SinePacket() {
    RtpPacket p = RtpPacket::Create(kPt, kFrames);
    std::vector<float> left(kFrames);
    std::vector<float> right(kFrames);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-1e-4f, 1e-4f);
    for (std::uint32_t i = 0; i < kFrames; ++i) {
        left[i] = 0.5f * std::sin(static_cast<float>(i) * 0.0576f) + noise(random);
        right[i] = 0.5f * std::sin(static_cast<float>(i) * 0.1309f) + noise(random);
    }
    p.WriteChannel(left.data(), 0, 1, 0, kFrames);
    p.WriteChannel(right.data(), 1, 1, 0, kFrames);
    return p;
}

// Ends a conversion bench: its output must be what ReadChannel gives, or its time says nothing.
void Finish(benchmark::State& state, const RtpPacket& p, const std::vector<float>& left,
            const std::vector<float>& right) {
    std::vector<float> l(kFrames);
    std::vector<float> r(kFrames);
    p.ReadChannel(l.data(), 0, 1, 0, kFrames);
    p.ReadChannel(r.data(), 1, 1, 0, kFrames);
    if (l != left || r != right) {
        state.SkipWithError("the conversion differs from ReadChannel's");
    }
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kFrames, benchmark::Counter::kIsRate);
}

void ReadTwoChannels(benchmark::State& state) {
    const RtpPacket p = SinePacket();
    std::vector<float> left(kFrames);
    std::vector<float> right(kFrames);
    for (auto _ : state) {
        p.ReadChannel(left.data(), 0, 1, 0, kFrames);
        p.ReadChannel(right.data(), 1, 1, 0, kFrames);
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
        benchmark::ClobberMemory();
    }
    Finish(state, p, left, right);
}
BENCHMARK(ReadTwoChannels);

void ReadChannelsTwoChannels(benchmark::State& state) {
    const RtpPacket p = SinePacket();
    std::vector<float> left(kFrames);
    std::vector<float> right(kFrames);
    float* const out[2] = {left.data(), right.data()};
    for (auto _ : state) {
        p.ReadChannels(out, kFrames);
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
        benchmark::ClobberMemory();
    }
    Finish(state, p, left, right);
}
BENCHMARK(ReadChannelsTwoChannels);

void PlainTwoChannels(benchmark::State& state) {
    const RtpPacket p = SinePacket();
    std::vector<float> left(kFrames);
    std::vector<float> right(kFrames);
    for (auto _ : state) {
        const std::uint8_t* s = p.Datagram()->Data() + Network::kRtpHeaderSize;
        float* l = left.data();
        float* r = right.data();
        for (std::uint32_t i = 0; i < kFrames; ++i, s += 6) {
            const auto a = static_cast<std::int32_t>(
                (std::uint32_t{s[0]} << 24) | (std::uint32_t{s[1]} << 16) | (std::uint32_t{s[2]} << 8));
            const auto b = static_cast<std::int32_t>(
                (std::uint32_t{s[3]} << 24) | (std::uint32_t{s[4]} << 16) | (std::uint32_t{s[5]} << 8));
            l[i] = static_cast<float>(a >> 8) * (1.0f / 8388607.0f);
            r[i] = static_cast<float>(b >> 8) * (1.0f / 8388607.0f);
        }
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
        benchmark::ClobberMemory();
    }
    Finish(state, p, left, right);
}
BENCHMARK(PlainTwoChannels);

#if defined(__x86_64__)
// Two frames per 16-byte load: one byte shuffle puts the four big-endian samples into the top of four
// 32-bit words, an arithmetic shift extends their sign, and one conversion and one multiply make floats.
__attribute__((target("ssse3"))) void ShuffleTwoChannels(benchmark::State& state) {
    if (!__builtin_cpu_supports("ssse3")) {
        state.SkipWithError("no SSSE3 on this processor");
        return;
    }
    const RtpPacket p = SinePacket();
    std::vector<std::uint8_t> bytes(p.Datagram()->Bytes());
    bytes.resize(bytes.size() + 4);  // the last load reads 4 bytes past the packet
    std::vector<float> left(kFrames);
    std::vector<float> right(kFrames);
    const __m128i order = _mm_setr_epi8(-1, 2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9);
    const __m128 scale = _mm_set1_ps(1.0f / 8388607.0f);
    for (auto _ : state) {
        const std::uint8_t* s = bytes.data() + Network::kRtpHeaderSize;
        for (std::uint32_t i = 0; i < kFrames; i += 2, s += 12) {
            const __m128i words = _mm_srai_epi32(
                _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s)), order), 8);
            alignas(16) float f[4];
            _mm_store_ps(f, _mm_mul_ps(_mm_cvtepi32_ps(words), scale));
            left[i] = f[0];
            right[i] = f[1];
            left[i + 1] = f[2];
            right[i + 1] = f[3];
        }
        benchmark::DoNotOptimize(left.data());
        benchmark::DoNotOptimize(right.data());
        benchmark::ClobberMemory();
    }
    Finish(state, p, left, right);
}
BENCHMARK(ShuffleTwoChannels);
#endif

double CpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double ThreadCpuSeconds(std::thread& thread) {
    clockid_t clock{};
    return pthread_getcpuclockid(thread.native_handle(), &clock) == 0 ? CpuSeconds(clock) : 0.0;
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// Sends one packet per stream every 4 ms until stopped; `sent` counts the packets.
class Sender {
public:
    explicit Sender(std::vector<std::uint16_t> ports) : ports_(std::move(ports)) {
        socket_ = socket(AF_INET, SOCK_DGRAM, 0);
        thread_ = std::thread([this] { Run(); });
    }
    ~Sender() {
        stop_.store(true);
        thread_.join();
        close(socket_);
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    std::uint64_t Sent() const { return sent_.load(); }
    double CpuSeconds() { return ThreadCpuSeconds(thread_); }

private:
    void Run() {
        const RtpPacket packet = SinePacket();
        std::vector<std::uint8_t> bytes(packet.Datagram()->Bytes());
        std::vector<sockaddr_in> to;
        for (const std::uint16_t port : ports_) {
            to.push_back(Loopback(port));
        }
        const Clock::time_point start = Clock::now();
        for (std::uint32_t block = 0; !stop_.load(); ++block) {
            const std::uint16_t seq = static_cast<std::uint16_t>(block);
            const std::uint32_t ts = block * kFrames;
            bytes[2] = static_cast<std::uint8_t>(seq >> 8);
            bytes[3] = static_cast<std::uint8_t>(seq);
            for (int k = 0; k < 4; ++k) {
                bytes[4 + k] = static_cast<std::uint8_t>(ts >> (24 - 8 * k));
            }
            for (const sockaddr_in& a : to) {
                if (sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                           sizeof a) == static_cast<ssize_t>(bytes.size())) {
                    sent_.fetch_add(1, std::memory_order_relaxed);
                }
            }
            std::this_thread::sleep_until(start + kPacketTime * (block + 1));
        }
    }

    std::vector<std::uint16_t> ports_;
    int socket_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::thread thread_;
};

// What one side of the comparison cost while the sender ran for kMeasured.
struct Cost {
    double cpuSeconds = 0;
    double wallSeconds = 0;
    std::uint64_t packets = 0;
    double senderSeconds = 0;
};

// Lets the sender run for the warm-up, then measures for kMeasured: process CPU less the sender's and
// this thread's.
Cost Measure(Sender& sender) {
    std::this_thread::sleep_for(kWarmUp);
    const double process0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double self0 = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double sender0 = sender.CpuSeconds();
    const std::uint64_t sent0 = sender.Sent();
    const Clock::time_point wall0 = Clock::now();
    std::this_thread::sleep_for(kMeasured);
    Cost c;
    c.senderSeconds = sender.CpuSeconds() - sender0;
    c.cpuSeconds = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0 -
                   (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - self0) - c.senderSeconds;
    c.packets = sender.Sent() - sent0;
    c.wallSeconds = std::chrono::duration<double>(Clock::now() - wall0).count();
    return c;
}

// The application of the library's path: one block of every channel per notification.
class Reader : public Network::ISyncTarget {
public:
    Reader(Network::IRtpAudio& audio, std::size_t streams) : audio_(audio), samples_(streams * 2 * kFrames) {
        for (std::size_t c = 0; c < streams * 2; ++c) {
            buffers_.push_back(samples_.data() + c * kFrames);
        }
    }
    void OnSync(Network::ISyncSource*, std::int64_t position, std::uint32_t) override {
        if (position >= 0) {
            audio_.RecvAudio(buffers_, kFrames);
            blocks_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    std::uint64_t Blocks() const { return blocks_.load(); }

private:
    Network::IRtpAudio& audio_;
    std::vector<float> samples_;
    std::vector<float*> buffers_;
    std::atomic<std::uint64_t> blocks_{0};
};

struct LibraryOutcome {
    Cost cost;
    std::uint64_t delivered = 0;
    std::uint64_t silent = 0;
    bool ok = false;
};

LibraryOutcome RunLibrary(std::size_t streams) {
    LibraryOutcome out;
    auto net = Network::NetManager::Create(ComponentInfo{L"rtp bench net"}, true);
    auto rtp = Network::CreateRtpAudioManager(ComponentInfo{L"rtp bench"}, net.get());
    Network::RtpManagerInfo info;
    info.SampleFreq = kRate;
    info.PacketSmplSize = kFrames;
    info.recv_chans.resize(streams);
    for (auto& chan : info.recv_chans) {
        chan.Set(L"127.0.0.1", L"", 0);
        chan.payload_type = kPt;
    }
    Reader reader(*rtp, streams);
    rtp->AddTarget(&reader);
    if (!rtp->Init(info).IsOk() || !rtp->Start().IsOk()) {
        return out;
    }
    std::vector<std::uint16_t> ports;
    for (std::size_t i = 0; i < streams; ++i) {
        ports.push_back(rtp->GetRecvChanAddr(i).GetPort());
    }
    {
        Sender sender(ports);
        const std::uint64_t blocks0 = reader.Blocks();
        out.cost = Measure(sender);
        out.delivered = reader.Blocks() - blocks0;
    }
    rtp->Stop();
    for (std::size_t i = 0; i < streams; ++i) {
        out.silent += rtp->GetRecvStreamStats(i).silent_blocks;
    }
    out.ok = true;
    return out;
}

// epoll over the sockets, recvfrom until each is empty, one ReadChannels call per packet.
class PlainLoop {
public:
    explicit PlainLoop(std::size_t streams) : samples_(2 * kFrames) {
        epoll_ = epoll_create1(0);
        for (std::size_t i = 0; i < streams; ++i) {
            const int s = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
            sockaddr_in a = Loopback(0);
            socklen_t len = sizeof a;
            bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
            getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
            ports_.push_back(ntohs(a.sin_port));
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.fd = s;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, s, &e);
            sockets_.push_back(s);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~PlainLoop() {
        stop_.store(true);
        thread_.join();
        for (const int s : sockets_) {
            close(s);
        }
        close(epoll_);
    }
    PlainLoop(const PlainLoop&) = delete;
    PlainLoop& operator=(const PlainLoop&) = delete;

    const std::vector<std::uint16_t>& Ports() const { return ports_; }
    std::uint64_t Packets() const { return packets_.load(); }

private:
    void Run() {
        // One buffer of the sender's packet size: nothing is cleared or allocated per datagram, and any
        // datagram of another size is read and left alone.
        const std::size_t size = Network::RtpPacketSize(kPt, kFrames);
        auto datagram = std::make_shared<Network::Packet>(size);
        datagram->Resize(size);
        std::vector<epoll_event> events(sockets_.size());
        float* const out[2] = {samples_.data(), samples_.data() + kFrames};
        while (!stop_.load()) {
            const int n = epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 100);
            for (int i = 0; i < n; ++i) {
                for (;;) {
                    sockaddr_in from{};
                    socklen_t len = sizeof from;
                    const ssize_t got = recvfrom(events[i].data.fd, datagram->Data(), size, MSG_TRUNC,
                                                 reinterpret_cast<sockaddr*>(&from), &len);
                    if (got < 0) {
                        break;
                    }
                    if (static_cast<std::size_t>(got) != size) {
                        continue;
                    }
                    const RtpPacket packet(datagram);
                    packet.ReadChannels(out, kFrames);
                    benchmark::DoNotOptimize(samples_.data());
                    packets_.fetch_add(1, std::memory_order_relaxed);
                }
            }
        }
    }

    int epoll_ = -1;
    std::vector<int> sockets_;
    std::vector<std::uint16_t> ports_;
    std::vector<float> samples_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> packets_{0};
    std::thread thread_;
};

void ReceivePath(benchmark::State& state) {
    KeepLogAside();
    const auto streams = static_cast<std::size_t>(state.range(0));
    LibraryOutcome library;
    Cost plain;
    for (auto _ : state) {
        library = RunLibrary(streams);
        if (!library.ok) {
            state.SkipWithError("the RTP manager did not start");
            return;
        }
        PlainLoop loop(streams);
        Sender sender(loop.Ports());
        plain = Measure(sender);
    }
    const auto perPacketUs = [](const Cost& c) {
        return c.packets == 0 ? 0.0 : c.cpuSeconds * 1e6 / static_cast<double>(c.packets);
    };
    state.counters["us_per_pkt"] = perPacketUs(library.cost);
    state.counters["core_pct"] = 100.0 * library.cost.cpuSeconds / library.cost.wallSeconds;
    state.counters["plain_us_per_pkt"] = perPacketUs(plain);
    state.counters["plain_core_pct"] = 100.0 * plain.cpuSeconds / plain.wallSeconds;
    state.counters["ratio"] = perPacketUs(plain) > 0 ? perPacketUs(library.cost) / perPacketUs(plain) : 0.0;
    state.counters["delivered"] = static_cast<double>(library.delivered);
    state.counters["silent"] = static_cast<double>(library.silent);
    state.counters["sender_us_per_pkt"] =
        library.cost.packets == 0
            ? 0.0
            : library.cost.senderSeconds * 1e6 / static_cast<double>(library.cost.packets);
}
BENCHMARK(ReceivePath)->Arg(1)->Arg(16)->Arg(64)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
