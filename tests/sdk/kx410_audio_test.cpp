// Audio end to end through the façade against the in-process simulator, whose tuners play each station's
// two tones. Real time: every wait is on a condition, every bound generous.
#include <gtest/gtest.h>

#include <norvane/sdk.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/simulator.h"
#include "wait.h"

namespace {

namespace SDK = Norvane::SDK;
using testing_support::WaitUntil;

// The application's on_audio: counts the blocks, each channel's zero crossings, and the blocks still
// running, or begun, after `stopped` was set (checked as each block ends).
struct Listener {
    std::mutex mutex;
    std::vector<int> crossings;
    std::atomic<int> blocks{0}, late{0};
    std::atomic<bool> stopped{false};

    void operator()(const std::vector<float*>& channels, std::size_t frames) {
        std::lock_guard<std::mutex> lock(mutex);
        crossings.resize(channels.size());
        for (std::size_t c = 0; c < channels.size(); ++c) {
            for (std::size_t f = 1; f < frames; ++f) {
                crossings[c] += (channels[c][f - 1] < 0) != (channels[c][f] < 0);
            }
        }
        ++blocks;
        late += stopped ? 1 : 0;
    }
    // The tone of each channel at 48 kHz over the next 100 blocks.
    std::vector<double> Measure() {
        std::unique_lock<std::mutex> lock(mutex);
        crossings.assign(crossings.size(), 0);
        const int from = blocks;
        lock.unlock();
        EXPECT_TRUE(WaitUntil([&] { return blocks >= from + 100; }, std::chrono::seconds(30)));
        lock.lock();
        std::vector<double> out;
        for (int n : crossings) {
            out.push_back(n * 24000.0 / ((blocks - from) * 191));
        }
        return out;
    }
};

// Tone, retune, loss, Stop and Close through the facade: the rules themselves are the layers' own.
TEST(Kx410Audio, EachTunerPlaysItsStationLossIsCountedAndStopEndsIt) {
    Listener listener;  // outlives the device
    Sim::Simulator sim;
    ASSERT_TRUE(sim.Start(Sim::SimConfig::WithDevices(1)));
    std::unique_ptr<SDK::IKx410> kx{SDK::CreateKx410()};
    SDK::DeviceInitSettings settings;
    settings.device_addr = settings.host_addr = "127.0.0.1";
    settings.device_port = sim.DeviceAddress(0).GetPort();
    ASSERT_TRUE(kx->Init(settings));
    SDK::DeviceStartSettings start;  // rtp_base_port 0: ports of the system's choice
    start.on_audio = std::ref(listener);
    ASSERT_TRUE(kx->Start(start));

    const std::vector<Sim::Station>& band = Sim::DefaultStations();
    for (const unsigned int tune : {0u, 2u}) {  // the first tuner retuned
        const unsigned int freqs[2] = {unsigned(band[tune].freq), unsigned(band[1].freq)};
        ASSERT_TRUE(kx->SetFmFreq(freqs));
        const double tones[] = {band[tune].tone_left_hz, band[tune].tone_right_hz, band[1].tone_left_hz,
                                band[1].tone_right_hz};
        EXPECT_TRUE(WaitUntil([&] {
            const std::vector<double> m = listener.Measure();
            return m.size() == 4 && std::equal(m.begin(), m.end(), tones, [](double hz, double want) {
                       return std::abs(hz - want) < want * 0.03;
                   });
        })) << tune;
    }
    std::vector<SDK::StreamStatistics> stats;
    sim.SetFaults(0, Sim::Faults{.out = {.loss = 0.1}});
    EXPECT_TRUE(WaitUntil([&] {
        return SDK::GetStreamStatistics(kx.get(), stats) && stats.size() == 2 && stats[0].silent_blocks > 0 &&
               stats[1].silent_blocks > 0 && stats[0].blocks_played > stats[0].silent_blocks;
    }));
    kx->Stop();
    listener.stopped = true;
    EXPECT_EQ(kx->GetState(), SDK::Connected);
    EXPECT_FALSE(SDK::GetStreamStatistics(kx.get(), stats) || !stats.empty()) << "stopped";
    kx->Close();
    EXPECT_EQ(kx->GetState(), SDK::Disconnected);
    EXPECT_EQ(listener.late, 0) << "a block still running, or begun, after Stop returned";
}

}  // namespace
