// Audio end to end through the façade against the in-process simulator, whose tuners play each station's
// two tones. Real time: every wait is on a condition, every bound generous.
#include <gtest/gtest.h>

#include <norvane/sdk.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <vector>

#include "sim/simulator.h"
#include "wait.h"

namespace {

namespace SDK = Norvane::SDK;
using testing_support::Clock;
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
    // Over the next 100 blocks: the tone of each channel at 48 kHz, then the blocks a second.
    std::vector<double> Measure() {
        std::unique_lock<std::mutex> lock(mutex);
        crossings.assign(crossings.size(), 0);
        const int from = blocks;
        const auto start = Clock::now();
        lock.unlock();
        EXPECT_TRUE(WaitUntil([&] { return blocks >= from + 100; }, std::chrono::seconds(30)));
        lock.lock();
        std::vector<double> out;
        for (int n : crossings) {
            out.push_back(n * 24000.0 / ((blocks - from) * 191));
        }
        out.push_back((blocks - from) * 1000.0 / testing_support::MsBetween(start, Clock::now()));
        return out;
    }
};

class Kx410Audio : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.Start(Sim::SimConfig::WithDevices(1)));
        SDK::DeviceInitSettings settings;
        settings.device_addr = settings.host_addr = "127.0.0.1";
        settings.device_port = sim_.DeviceAddress(0).GetPort();
        ASSERT_TRUE(kx_->Init(settings));
        SDK::DeviceStartSettings start;  // rtp_base_port 0: ports of the system's choice
        start.on_audio = std::ref(listener_);
        ASSERT_TRUE(kx_->Start(start));
    }

    const std::vector<Sim::Station>& band_ = Sim::DefaultStations();
    Listener listener_;  // outlives the device
    Sim::Simulator sim_;
    std::unique_ptr<SDK::IKx410> kx_{SDK::CreateKx410()};
};

TEST_F(Kx410Audio, EachTunerPlaysItsStationAtTheRealRateUntilStopped) {
    const auto plays = [&](const Sim::Station& a, const Sim::Station& b) {
        const std::vector<double> m = listener_.Measure();  // 250 blocks a second, within generous bounds
        const auto near = [&](std::size_t i, double hz) { return std::abs(m[i] - hz) < hz * 0.03; };
        return m.size() == 5 && near(0, a.tone_left_hz) && near(1, a.tone_right_hz) &&
               near(2, b.tone_left_hz) && near(3, b.tone_right_hz) && m[4] > 150 && m[4] < 400;
    };
    for (const unsigned int tune : {0u, 2u}) {  // the first tuner retuned
        const unsigned int freqs[2] = {unsigned(band_[tune].freq), unsigned(band_[1].freq)};
        ASSERT_TRUE(kx_->SetFmFreq(freqs));
        EXPECT_TRUE(WaitUntil([&] { return plays(band_[tune], band_[1]); })) << tune;
    }
    kx_->Stop();
    listener_.stopped = true;
    EXPECT_EQ(kx_->GetState(), SDK::Connected);
    kx_->Close();
    EXPECT_EQ(kx_->GetState(), SDK::Disconnected);
    EXPECT_EQ(listener_.late, 0) << "a block still running, or begun, after Stop returned";
}

TEST_F(Kx410Audio, LostPacketsAreSilentBlocksInTheStatistics) {
    std::vector<SDK::StreamStatistics> stats;
    sim_.SetFaults(0, Sim::Faults{.out = {.loss = 0.1}});
    EXPECT_TRUE(WaitUntil([&] {
        return SDK::GetStreamStatistics(kx_.get(), stats) && stats.size() == 2 &&
               stats[0].silent_blocks > 0 && stats[1].silent_blocks > 0 &&
               stats[0].blocks_played > stats[0].silent_blocks;
    }));
    kx_->Stop();
    EXPECT_FALSE(SDK::GetStreamStatistics(kx_.get(), stats) || !stats.empty()) << "stopped";
}

}  // namespace
