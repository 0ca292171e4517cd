// What a getter costs through the C interface against the same getter of IKx410, on connected tuners of
// the in-process simulator (two tuners per device). Each pair reads what the tuner already holds (no
// request to the device), so the figure is the calling layer's own cost: argument checks, the error
// text's reset, the copy into the caller's records. Goal: the C call at most 1 us above the C++ one.
//
//   Cxx/<getter>   IKx410 directly
//   C/<getter>     the nv_* function for the same values
#include <benchmark/benchmark.h>

#include <norvane/norvane.h>
#include <norvane/sdk.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "common/environment.h"
#include "sim/simulator.h"

namespace {

namespace SDK = Norvane::SDK;

// One simulator with two devices: device 0 for the C++ tuner, device 1 for the C one. Made on first use
// and kept for the whole run.
struct Tuners {
    Sim::Simulator sim;
    std::unique_ptr<SDK::IKx410> cxx;
    nv_tuner_t* c = nullptr;
    bool ok = false;

    Tuners() {
        UseProcessDebugLogFolder(std::filesystem::temp_directory_path() /
                                 ("norvane-capi-bench-" + std::to_string(std::random_device{}())));
        Sim::SimConfig config = Sim::SimConfig::WithDevices(2);
        config.stations = {{100500, "Norvane", {"Now live"}, 66, true}};
        if (!sim.Start(config)) {
            return;
        }
        cxx.reset(SDK::CreateKx410());
        SDK::DeviceInitSettings settings;
        settings.device_addr = "127.0.0.1";
        settings.device_port = sim.DeviceAddress(0).GetPort();
        settings.host_addr = "127.0.0.1";
        if (!cxx->Init(settings) ||
            nv_tuner_open("127.0.0.1", sim.DeviceAddress(1).GetPort(), "127.0.0.1", 0, &c) != NV_OK) {
            return;
        }
        SDK::Kx410TunerRdsDataValues rds[2];
        nv_rds_t crds[2];
        uint32_t count = 0;
        // The texts are in the records before the timing starts.
        ok = cxx->GetRdsData(rds, true) && nv_tuner_rds(c, 1, crds, 2, &count) == NV_OK;
    }
};

Tuners& Shared() {
    static Tuners* tuners = new Tuners;  // never destroyed: the run ends with the process
    return *tuners;
}

#define NEED_TUNERS(state)                                             \
    Tuners& t = Shared();                                              \
    if (!t.ok) {                                                       \
        (state).SkipWithError("the simulated tuners did not connect"); \
        return;                                                        \
    }

void CxxState(benchmark::State& state) {
    NEED_TUNERS(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(t.cxx->GetState());
    }
}

void CState(benchmark::State& state) {
    NEED_TUNERS(state);
    int32_t s = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(nv_tuner_state(t.c, &s));
    }
}

void CxxDeviceId(benchmark::State& state) {
    NEED_TUNERS(state);
    for (auto _ : state) {
        benchmark::DoNotOptimize(t.cxx->GetDeviceId());
    }
}

void CDeviceId(benchmark::State& state) {
    NEED_TUNERS(state);
    char id[NV_UNIT_ID_SIZE];
    uint32_t needed = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(nv_tuner_device_id(t.c, id, sizeof id, &needed));
    }
}

void CxxFreqs(benchmark::State& state) {
    NEED_TUNERS(state);
    unsigned int f[2];
    for (auto _ : state) {
        benchmark::DoNotOptimize(t.cxx->GetFmFreq(f, false));
    }
}

void CFreqs(benchmark::State& state) {
    NEED_TUNERS(state);
    uint32_t f[2], count = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(nv_tuner_get_freqs(t.c, 0, f, 2, &count));
    }
}

void CxxQuality(benchmark::State& state) {
    NEED_TUNERS(state);
    SDK::Kx410TunerQualityValues q[2];
    for (auto _ : state) {
        benchmark::DoNotOptimize(t.cxx->GetFmQuality(q, false));
    }
}

void CQuality(benchmark::State& state) {
    NEED_TUNERS(state);
    nv_quality_t q[2];
    uint32_t count = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(nv_tuner_quality(t.c, 0, q, 2, &count));
    }
}

void CxxRds(benchmark::State& state) {
    NEED_TUNERS(state);
    SDK::Kx410TunerRdsDataValues r[2];
    for (auto _ : state) {
        benchmark::DoNotOptimize(t.cxx->GetRdsData(r, false));
    }
}

void CRds(benchmark::State& state) {
    NEED_TUNERS(state);
    nv_rds_t r[2];
    uint32_t count = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(nv_tuner_rds(t.c, 0, r, 2, &count));
    }
}

}  // namespace

BENCHMARK(CxxState)->Name("Cxx/State");
BENCHMARK(CState)->Name("C/State");
BENCHMARK(CxxDeviceId)->Name("Cxx/DeviceId");
BENCHMARK(CDeviceId)->Name("C/DeviceId");
BENCHMARK(CxxFreqs)->Name("Cxx/Freqs");
BENCHMARK(CFreqs)->Name("C/Freqs");
BENCHMARK(CxxQuality)->Name("Cxx/Quality");
BENCHMARK(CQuality)->Name("C/Quality");
BENCHMARK(CxxRds)->Name("Cxx/Rds");
BENCHMARK(CRds)->Name("C/Rds");

BENCHMARK_MAIN();
