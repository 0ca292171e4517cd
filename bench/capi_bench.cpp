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

// Times `call(tuners)` on the shared tuners.
template <typename Call>
void Run(benchmark::State& state, Call call) {
    Tuners& t = Shared();
    if (!t.ok) {
        state.SkipWithError("the simulated tuners did not connect");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(call(t));
    }
}

void Register() {
    // What the C calls write into; the values are not looked at.
    static int32_t state = 0;
    static char id[NV_UNIT_ID_SIZE];
    static uint32_t needed = 0, count = 0, freqs[2];
    static unsigned int cxxFreqs[2];
    static nv_quality_t quality[2];
    static SDK::Kx410TunerQualityValues cxxQuality[2];
    static nv_rds_t rds[2];
    static SDK::Kx410TunerRdsDataValues cxxRds[2];
    const auto add = [](const char* name, auto call) {
        benchmark::RegisterBenchmark(name, [call](benchmark::State& s) { Run(s, call); });
    };
    add("Cxx/State", [](Tuners& t) { return t.cxx->GetState(); });
    add("C/State", [](Tuners& t) { return nv_tuner_state(t.c, &state); });
    add("Cxx/DeviceId", [](Tuners& t) { return t.cxx->GetDeviceId(); });
    add("C/DeviceId", [](Tuners& t) { return nv_tuner_device_id(t.c, id, sizeof id, &needed); });
    add("Cxx/Freqs", [](Tuners& t) { return t.cxx->GetFmFreq(cxxFreqs, false); });
    add("C/Freqs", [](Tuners& t) { return nv_tuner_get_freqs(t.c, 0, freqs, 2, &count); });
    add("Cxx/Quality", [](Tuners& t) { return t.cxx->GetFmQuality(cxxQuality, false); });
    add("C/Quality", [](Tuners& t) { return nv_tuner_quality(t.c, 0, quality, 2, &count); });
    add("Cxx/Rds", [](Tuners& t) { return t.cxx->GetRdsData(cxxRds, false); });
    add("C/Rds", [](Tuners& t) { return nv_tuner_rds(t.c, 0, rds, 2, &count); });
}

}  // namespace

int main(int argc, char** argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
