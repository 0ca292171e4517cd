// Audio end to end through the façade against the in-process simulator, whose tuners play each station's
// two tones (noise off a station). Real time: every wait is on a condition, every bound generous.
#include <gtest/gtest.h>

#include <norvane/sdk.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "wait.h"

namespace {

namespace SDK = Norvane::SDK;
using testing_support::MsBetween;
using testing_support::WaitUntil;

// What on_audio saw: the blocks, those silent on the first channel, the latest quarter second of every
// channel; `late` counts blocks begun after `stopped` was set, `inside` those running.
struct Listener {
    static constexpr std::size_t kKeep = 12000;
    std::mutex mutex;
    std::vector<std::deque<float>> tails;
    std::atomic<int> blocks{0}, silent{0}, inside{0}, late{0};
    std::atomic<bool> stopped{false};

    SDK::DeviceStartSettings Settings() {
        SDK::DeviceStartSettings settings;  // rtp_base_port 0: ports of the system's choice
        settings.on_audio = [this](const std::vector<float*>& channels, std::size_t frames) {
            ++inside;
            late += stopped ? 1 : 0;
            std::lock_guard<std::mutex> lock(mutex);
            tails.resize(channels.size());
            silent += std::all_of(channels[0], channels[0] + frames, [](float v) { return v == 0.0f; });
            for (std::size_t c = 0; c < channels.size(); ++c) {
                tails[c].insert(tails[c].end(), channels[c], channels[c] + frames);
                tails[c].erase(tails[c].begin(), tails[c].end() - std::min(kKeep, tails[c].size()));
            }
            ++blocks;
            --inside;
        };
        return settings;
    }
    // Whether channel `c` plays `hz` (within 3%), by the zero crossings of the kept samples at 48 kHz.
    bool Plays(std::size_t c, double hz) {
        std::lock_guard<std::mutex> lock(mutex);
        if (c >= tails.size() || tails[c].size() < kKeep) {
            return false;
        }
        int crossings = 0;
        for (std::size_t i = 1; i < kKeep; ++i) {
            crossings += (tails[c][i - 1] < 0) != (tails[c][i] < 0);
        }
        return std::abs(crossings / 2.0 * 48000 / kKeep - hz) < hz * 0.03;
    }
};

class Kx410Audio : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim_.Start(Sim::SimConfig::WithDevices(1), &error)) << error;
        SDK::DeviceInitSettings settings;
        settings.device_addr = settings.host_addr = "127.0.0.1";
        settings.device_port = sim_.DeviceAddress(0).GetPort();
        ASSERT_TRUE(kx_->Init(settings));
    }
    void TearDown() override {
        kx_.reset();
        sim_.Stop();
    }

    const std::vector<Sim::Station>& band_ = Sim::DefaultStations();
    Listener first_, second_;  // outlive the device
    Sim::Simulator sim_;
    std::unique_ptr<SDK::IKx410> kx_{SDK::CreateKx410()};
};

TEST_F(Kx410Audio, EachTunerPlaysItsStationAtTheRealRateUntilStopped) {
    unsigned int tune[2] = {static_cast<unsigned>(band_[0].freq), static_cast<unsigned>(band_[1].freq)};
    ASSERT_TRUE(kx_->SetFmFreq(tune));
    ASSERT_TRUE(kx_->Start(first_.Settings()));
    EXPECT_EQ(kx_->GetState(), SDK::RtpActive);
    ASSERT_TRUE(WaitUntil([&] { return first_.blocks > 0; }));
    // 250 blocks a second at 48 kHz, counted over at least two seconds.
    const int before = first_.blocks;
    const auto start = testing_support::Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return first_.blocks >= before + 500; }, std::chrono::seconds(30)));
    const double rate = (first_.blocks - before) * 1000.0 / MsBetween(start, testing_support::Clock::now());
    EXPECT_GT(rate, 250 * 0.6);
    EXPECT_LT(rate, 250 * 1.5);
    EXPECT_TRUE(WaitUntil([&] {
        return first_.Plays(0, band_[0].tone_left_hz) && first_.Plays(1, band_[0].tone_right_hz) &&
               first_.Plays(2, band_[1].tone_left_hz) && first_.Plays(3, band_[1].tone_right_hz);
    }));
    tune[0] = static_cast<unsigned>(band_[2].freq);
    ASSERT_TRUE(kx_->SetFmFreq(tune));
    EXPECT_TRUE(WaitUntil([&] {
        return first_.Plays(0, band_[2].tone_left_hz) && first_.Plays(1, band_[2].tone_right_hz);
    })) << "retuned";

    kx_->Stop();
    first_.stopped = true;
    EXPECT_EQ(first_.inside, 0);
    EXPECT_EQ(kx_->GetState(), SDK::Connected);
    ASSERT_TRUE(kx_->Start(second_.Settings()));
    ASSERT_TRUE(WaitUntil([&] { return second_.blocks > 0; }));
    kx_->Close();
    second_.stopped = true;
    EXPECT_EQ(second_.inside, 0);
    EXPECT_EQ(kx_->GetState(), SDK::Disconnected);
    EXPECT_EQ(first_.late + second_.late, 0) << "no block after Stop or Close returned";
}

TEST_F(Kx410Audio, LostPacketsAreSilentBlocksInTheStatistics) {
    std::vector<SDK::StreamStatistics> stats(1);
    EXPECT_FALSE(SDK::GetStreamStatistics(kx_.get(), stats)) << "not running";
    EXPECT_TRUE(stats.empty());
    ASSERT_TRUE(kx_->Start(first_.Settings()));
    Sim::Faults lossy;
    lossy.out.loss = 0.1;
    sim_.SetFaults(0, lossy);
    ASSERT_TRUE(WaitUntil([&] { return first_.silent > 5; }));
    const int seen = first_.silent;
    ASSERT_TRUE(SDK::GetStreamStatistics(kx_.get(), stats));
    ASSERT_EQ(stats.size(), 2u);
    EXPECT_GE(stats[0].silent_blocks, static_cast<std::uint64_t>(seen));
    EXPECT_GT(stats[0].blocks_played, 0u);
    kx_->Stop();
    EXPECT_FALSE(SDK::GetStreamStatistics(kx_.get(), stats));
    EXPECT_TRUE(stats.empty());
}

}  // namespace
