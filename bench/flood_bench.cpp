// What the hostile peer reaches, and what a device session suffers under it (Linux, loopback).
//
//   FloodRate/KIND          the rate one flood socket reaches at full speed towards a socket that reads
//                           nothing (the kernel drops what does not fit): datagrams_per_s.
//   CloseUnderFlood/KIND    a connected device (IKx410 against the in-process simulator) whose control
//                           port is flooded from 127.0.0.2 at full speed: the time Close takes, median and
//                           longest of the iterations (close_median_ms, close_max_ms). The goal is 100 ms;
//                           a Close still running after 30 s ends the program with a line saying so.
#include <benchmark/benchmark.h>

#include <norvane/sdk.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/environment.h"
#include "platform/socket.h"
#include "sim/flood.h"
#include "sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;

const Sim::FloodKind kKinds[] = {Sim::FloodKind::kPing, Sim::FloodKind::kPingPair, Sim::FloodKind::kBigAtt,
                                 Sim::FloodKind::kGarbage};

void KeepLogAside() {
    static const bool done = [] {
        UseProcessDebugLogFolder(std::filesystem::temp_directory_path() /
                                 ("norvane-flood-bench-" + std::to_string(std::random_device{}())));
        return platform::StartSocketLibrary().ok();
    }();
    (void)done;
}

// A loopback socket bound to a free port; its address in `address`.
platform::UniqueSocket Sink(platform::SockAddrIn& address) {
    platform::SocketHandle h = platform::kInvalidSocket;
    address = platform::SockAddrIn::Loopback(0);
    if (!platform::OpenSocket(platform::SocketKind::kUdp, h).ok()) {
        return {};
    }
    platform::UniqueSocket socket(h);
    if (!platform::Bind(h, address).ok() || !platform::GetLocalAddress(h, address).ok()) {
        return {};
    }
    return socket;
}

Sim::FloodSettings FullSpeed(Sim::FloodKind kind, const platform::SockAddrIn& target, double seconds) {
    Sim::FloodSettings s;
    s.kind = kind;
    s.target = target;
    s.local = platform::SockAddrIn::Make(127, 0, 0, 2, 0);
    s.seconds = seconds;
    return s;
}

void FloodRate(benchmark::State& state) {
    KeepLogAside();
    const Sim::FloodKind kind = kKinds[state.range(0)];
    state.SetLabel(Sim::FloodKindName(kind));
    platform::SockAddrIn target;
    const platform::UniqueSocket sink = Sink(target);
    std::atomic<bool> stop{false};
    double datagrams = 0;
    double seconds = 0;
    for (auto _ : state) {
        Sim::FloodOutcome outcome;
        std::string error;
        if (!Sim::RunFlood(FullSpeed(kind, target, 0.25), stop, outcome, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        datagrams += static_cast<double>(outcome.datagrams);
        seconds += outcome.seconds;
    }
    state.counters["datagrams_per_s"] = seconds > 0 ? datagrams / seconds : 0;
}
BENCHMARK(FloodRate)->DenseRange(0, 3)->Iterations(4)->Unit(benchmark::kMillisecond)->UseRealTime();

void CloseUnderFlood(benchmark::State& state) {
    KeepLogAside();
    const Sim::FloodKind kind = kKinds[state.range(0)];
    state.SetLabel(Sim::FloodKindName(kind));
    Sim::Simulator sim;
    std::string error;
    if (!sim.Start(Sim::SimConfig::WithDevices(1), &error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    const platform::SockAddrIn device = sim.DeviceAddress(0).Native();
    std::vector<double> closes;
    for (auto _ : state) {
        platform::SockAddrIn host;
        Sink(host);  // a free port for the session, free again once the probe closes
        std::unique_ptr<Norvane::SDK::IKx410> kx(Norvane::SDK::CreateKx410());
        Norvane::SDK::DeviceInitSettings init;
        init.device_addr = platform::FormatAddress(device);
        init.device_port = device.Port();
        init.host_addr = "127.0.0.1";
        init.host_port = host.Port();
        if (!kx->Init(init)) {
            state.SkipWithError("the device did not connect");
            break;
        }
        std::atomic<bool> stop{false};
        std::thread flood([&] {
            Sim::FloodOutcome outcome;
            std::string ignored;
            (void)Sim::RunFlood(FullSpeed(kind, host, 60), stop, outcome, ignored);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the flood is at full speed
        // A Close that never returns would hold the whole run: after 30 s the watchdog says so and ends it.
        std::atomic<bool> closed{false};
        std::thread watchdog([&closed, kind] {
            for (int i = 0; i < 3000 && !closed.load(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!closed.load()) {
                std::fprintf(stderr, "CloseUnderFlood/%s: Close has not returned after 30 s\n",
                             Sim::FloodKindName(kind));
                std::_Exit(1);
            }
        });
        const auto start = Clock::now();
        kx->Close();
        closes.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        closed = true;
        watchdog.join();
        stop = true;
        flood.join();
    }
    sim.Stop();
    if (!closes.empty()) {
        std::sort(closes.begin(), closes.end());
        state.counters["close_median_ms"] = closes[closes.size() / 2];
        state.counters["close_max_ms"] = closes.back();
    }
}
BENCHMARK(CloseUnderFlood)->DenseRange(0, 3)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
