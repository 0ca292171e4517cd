// The SDK end to end against the in-process simulator on loopback.
//
//   GetFmFreqRoundTrip      IKx410::GetFmFreq(freqs, true) on a connected device: the request goes out,
//                           the device acknowledges it, answers, and the answer is acknowledged; the call
//                           returns with the new frequencies. Right after the calls, in the same run and
//                           with the session still connected, the same thread times pairs of raw UDP
//                           ping-pong round trips between plain sockets (an echo thread on the other end):
//                             median_us, p99_us        the GetFmFreq call
//                             raw2_median_us, raw2_p99_us   two raw round trips
//                             ratio                    median_us / raw2_median_us (goal: 4 or less)
//   TwoRawUdpRoundTrips     the raw pair alone, as a baseline without the SDK's threads next to it.
//   FindActiveDevices/N     one discovery call answered by 256 simulated devices that answer within N ms
//                           of the request (0: all at once); `found` counts the devices listed (goal: all
//                           256) and `seconds` the call's duration (3 s by design).
//   FindThousandDevicesAtOnce   ten discovery calls, each answered by 1,000 simulated devices all at
//                           once (every device sends its acknowledgement and its "dev_info" in the same
//                           instant: 2,000 datagrams in a burst); `found_min` and `found_max` are the
//                           fewest and most devices one call listed, `all_found` the calls that listed
//                           all 1,000 (goal: 10 of 10 in every run). Run it with
//                           --benchmark_filter=Thousand --benchmark_repetitions=10 for 10 runs of 10.
#include <benchmark/benchmark.h>

#include <norvane/sdk.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/environment.h"
#include "platform/socket.h"
#include "sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kDatagramSize = 60;

void KeepLogAside() {
    static const bool done = [] {
        std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("norvane-device-bench-" + std::to_string(std::random_device{}()));
        UseProcessDebugLogFolder(folder);
        return true;
    }();
    (void)done;
}

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> samples, double q) {
    if (samples.empty()) {
        return 0.0;
    }
    std::sort(samples.begin(), samples.end());
    const auto i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(i, samples.size() - 1)];
}

platform::SocketHandle BoundLoopbackSocket(std::uint16_t& port) {
    platform::SocketHandle h = platform::kInvalidSocket;
    if (!platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
        return platform::kInvalidSocket;
    }
    platform::SockAddrIn local = platform::SockAddrIn::Loopback(port);
    if (!platform::Bind(h, local).ok() || !platform::GetLocalAddress(h, local).ok()) {
        platform::CloseSocket(h);
        return platform::kInvalidSocket;
    }
    port = local.Port();
    return h;
}

std::uint16_t FreeLoopbackPort() {
    std::uint16_t port = 0;
    platform::UniqueSocket probe(BoundLoopbackSocket(port));
    return probe.IsOpen() ? port : 0;
}

// Two plain sockets on loopback, one echoing every datagram on a thread of its own.
class RawEcho {
public:
    RawEcho() {
        ping_.Reset(BoundLoopbackSocket(ping_port_));
        echo_.Reset(BoundLoopbackSocket(echo_port_));
        if (!ping_.IsOpen() || !echo_.IsOpen()) {
            return;
        }
        echoer_ = std::thread([this] {
            std::uint8_t buffer[2048];
            platform::SockAddrIn from;
            for (;;) {
                const platform::SocketIo io = platform::RecvFrom(echo_.Get(), buffer, sizeof buffer, &from);
                if (!io.ok() || io.bytes == 1) {
                    return;  // a one-byte datagram ends the echo
                }
                (void)platform::SendTo(echo_.Get(), buffer, io.bytes, from);
            }
        });
    }
    ~RawEcho() {
        if (echoer_.joinable()) {
            const std::uint8_t stop = 0;
            (void)platform::SendTo(ping_.Get(), &stop, 1, platform::SockAddrIn::Loopback(echo_port_));
            echoer_.join();
        }
    }
    RawEcho(const RawEcho&) = delete;
    RawEcho& operator=(const RawEcho&) = delete;

    [[nodiscard]] bool Ready() const { return echoer_.joinable(); }

    // One round trip; false when the echo did not come back whole.
    bool RoundTrip() {
        std::uint8_t out[kDatagramSize] = {};
        std::uint8_t in[2048];
        (void)platform::SendTo(ping_.Get(), out, sizeof out, platform::SockAddrIn::Loopback(echo_port_));
        const platform::SocketIo io = platform::RecvFrom(ping_.Get(), in, sizeof in, nullptr);
        return io.ok() && io.bytes == kDatagramSize;
    }

private:
    std::uint16_t ping_port_ = 0;
    std::uint16_t echo_port_ = 0;
    platform::UniqueSocket ping_;
    platform::UniqueSocket echo_;
    std::thread echoer_;
};

// ------------------------------------------------------------------------------------------------------

void GetFmFreqRoundTrip(benchmark::State& state) {
    KeepLogAside();
    Sim::Simulator sim;
    std::string error;
    if (!sim.Start(Sim::SimConfig::WithDevices(1), &error)) {
        state.SkipWithError(("simulator: " + error).c_str());
        return;
    }
    std::unique_ptr<Norvane::SDK::IKx410> kx(Norvane::SDK::CreateKx410());
    Norvane::SDK::DeviceInitSettings init;
    init.device_addr = "127.0.0.1";
    init.device_port = sim.DeviceAddress(0).GetPort();
    init.host_addr = "127.0.0.1";
    init.host_port = FreeLoopbackPort();
    if (!kx || !kx->Init(init)) {
        state.SkipWithError("cannot connect to the simulated device");
        return;
    }
    RawEcho raw;
    if (!raw.Ready()) {
        state.SkipWithError("no loopback sockets");
        return;
    }
    std::vector<unsigned int> freqs(kx->GetInputs(), 0);
    std::vector<double> sdk;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        const bool ok = kx->GetFmFreq(freqs.data(), true);
        const Clock::time_point t1 = Clock::now();
        if (!ok) {
            state.SkipWithError("GetFmFreq failed");
            break;
        }
        sdk.push_back(Micros(t1 - t0));
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    // The raw pairs right after, with the session still connected and idle: timed between SDK calls
    // they would meet the session's trailing work (the answer's acknowledgement) on the same cores.
    std::vector<double> pairs;
    const std::size_t raw_samples = std::min<std::size_t>(std::max<std::size_t>(sdk.size(), 1000), 20000);
    for (std::size_t i = 0; i < raw_samples && !sdk.empty(); ++i) {
        const Clock::time_point t0 = Clock::now();
        if (!raw.RoundTrip() || !raw.RoundTrip()) {
            state.SkipWithError("raw echo lost");
            break;
        }
        pairs.push_back(Micros(Clock::now() - t0));
    }
    kx.reset();
    sim.Stop();
    const double median = Percentile(sdk, 0.5);
    const double raw_median = Percentile(pairs, 0.5);
    state.counters["median_us"] = median;
    state.counters["p99_us"] = Percentile(sdk, 0.99);
    state.counters["raw2_median_us"] = raw_median;
    state.counters["raw2_p99_us"] = Percentile(pairs, 0.99);
    state.counters["ratio"] = raw_median > 0.0 ? median / raw_median : 0.0;
    state.counters["samples"] = static_cast<double>(sdk.size());
}
BENCHMARK(GetFmFreqRoundTrip)->UseManualTime();

void TwoRawUdpRoundTrips(benchmark::State& state) {
    RawEcho raw;
    if (!raw.Ready()) {
        state.SkipWithError("no loopback sockets");
        return;
    }
    std::vector<double> samples;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        const bool ok = raw.RoundTrip() && raw.RoundTrip();
        samples.push_back(Micros(Clock::now() - t0));
        if (!ok) {
            state.SkipWithError("raw echo lost");
            break;
        }
    }
    state.counters["median_us"] = Percentile(samples, 0.5);
    state.counters["p99_us"] = Percentile(samples, 0.99);
    state.counters["samples"] = static_cast<double>(samples.size());
}
BENCHMARK(TwoRawUdpRoundTrips)->UseRealTime();

// ------------------------------------------------------------------------------------------------------

void FindActiveDevices(benchmark::State& state) {
    KeepLogAside();
    constexpr std::size_t kDevices = 256;
    Sim::SimConfig config = Sim::SimConfig::WithDevices(kDevices);
    config.discovery_spread_ms = static_cast<std::uint32_t>(state.range(0));
    Sim::Simulator sim;
    std::string error;
    if (!sim.Start(config, &error)) {
        state.SkipWithError(("simulator: " + error).c_str());
        return;
    }
    const Network::SockAddr discovery = sim.DiscoveryAddress();
    std::vector<Norvane::SDK::DeviceInfoEx> found;
    double seconds = 0.0;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        const bool ok = Norvane::SDK::FindActiveDevices("127.0.0.1", FreeLoopbackPort(), "127.0.0.1",
                                                        discovery.GetPort(), found);
        seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        if (!ok) {
            state.SkipWithError("FindActiveDevices failed");
            break;
        }
    }
    std::set<std::string> distinct;
    for (const auto& d : found) {
        distinct.insert(d.unit_id);
    }
    state.counters["devices"] = static_cast<double>(kDevices);
    state.counters["found"] = static_cast<double>(found.size());
    state.counters["distinct"] = static_cast<double>(distinct.size());
    state.counters["seconds"] = seconds;
    sim.Stop();
}
BENCHMARK(FindActiveDevices)->Arg(0)->Arg(200)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void FindThousandDevicesAtOnce(benchmark::State& state) {
    KeepLogAside();
    constexpr std::size_t kDevices = 1000;
    Sim::Simulator sim;
    std::string error;
    if (!sim.Start(Sim::SimConfig::WithDevices(kDevices), &error)) {
        state.SkipWithError(("simulator: " + error).c_str());
        return;
    }
    const Network::SockAddr discovery = sim.DiscoveryAddress();
    std::vector<Norvane::SDK::DeviceInfoEx> found;
    std::size_t fewest = kDevices;
    std::size_t most = 0;
    std::size_t allFound = 0;
    for (auto _ : state) {
        if (!Norvane::SDK::FindActiveDevices("127.0.0.1", FreeLoopbackPort(), "127.0.0.1", discovery.GetPort(),
                                             found)) {
            state.SkipWithError("FindActiveDevices failed");
            break;
        }
        std::set<std::string> distinct;
        for (const auto& d : found) {
            distinct.insert(d.unit_id);
        }
        fewest = std::min(fewest, distinct.size());
        most = std::max(most, distinct.size());
        allFound += distinct.size() == kDevices ? 1 : 0;
    }
    state.counters["devices"] = static_cast<double>(kDevices);
    state.counters["found_min"] = static_cast<double>(fewest);
    state.counters["found_max"] = static_cast<double>(most);
    state.counters["all_found"] = static_cast<double>(allFound);
    sim.Stop();
}
BENCHMARK(FindThousandDevicesAtOnce)->Iterations(10)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
