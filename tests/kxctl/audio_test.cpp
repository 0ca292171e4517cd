// kxctl's audio pieces: levels in dBFS, the sample conversion against the SDK's own, the built-in WAV
// writer's files as libsndfile reads them, and the bounded block queue.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <numbers>

#include "kxctl/audio.h"
#include "rtp/rtp_packet.h"
#include "temp_folder.h"

#ifdef NORVANE_HAVE_SNDFILE
#include <sndfile.h>
#endif

namespace {

using Kxctl::LevelMeter;

struct LevelCase {
    double amplitude;  // of a 1 kHz sine at 48 kHz, one second
    const char* peak;
    const char* rms;
    const char* bar;  // 10 cells over -60..0 dBFS
};

class KxctlLevels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(KxctlLevels, PeakAndRmsInDbfs) {
    std::vector<float> sine(48000);
    for (std::size_t i = 0; i < sine.size(); ++i) {
        sine[i] =
            static_cast<float>(GetParam().amplitude * std::sin(2 * std::numbers::pi * 1000 * i / 48000.0));
    }
    LevelMeter meter;
    meter.Add(sine.data(), sine.size() / 2, 2);  // every other sample, as from an interleaved block
    meter.Add(sine.data() + 1, sine.size() / 2, 2);
    EXPECT_EQ(meter.Samples(), sine.size());
    EXPECT_EQ(Kxctl::FormatDbfs(meter.Peak()), GetParam().peak);
    EXPECT_EQ(Kxctl::FormatDbfs(meter.Rms()), GetParam().rms);
    EXPECT_EQ(Kxctl::LevelBar(meter.Peak(), meter.Rms(), 10), GetParam().bar);
}

INSTANTIATE_TEST_SUITE_P(Sines, KxctlLevels,
                         ::testing::Values(LevelCase{1.0, "0.0", "-3.0", "[#########-]"},
                                           LevelCase{0.5, "-6.0", "-9.0", "[########- ]"},
                                           LevelCase{0.001, "-60.0", "-63.0", "[          ]"},
                                           LevelCase{0.0, "-inf", "-inf", "[          ]"}));

TEST(KxctlPcm24, EveryValueComesBackFromTheSdksFloat) {
    std::size_t wrong = 0;
    for (std::int32_t v = Kxctl::kPcm24Min; v <= Kxctl::kPcm24Max; ++v) {
        wrong += Kxctl::FloatToPcm24(Network::Rtp24ToFloat(v)) != v ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(Kxctl::FloatToPcm24(1.5f), Kxctl::kPcm24Max);
    EXPECT_EQ(Kxctl::FloatToPcm24(-1.5f), Kxctl::kPcm24Min);
    EXPECT_EQ(Kxctl::FloatToPcm24(std::nanf("")), 0);
}

#ifdef NORVANE_HAVE_SNDFILE
// The built-in writer is what Windows records with; libsndfile is the reference reader.
TEST(KxctlWavWriter, BuiltInFilesReadBackExactlyAfterAnEarlyClose) {
    testing_support::TempFolder folder("kxctl-wav");
    for (const std::uint32_t channels : {4u, 1u}) {  // 1 channel, 3 frames: an odd data size, padded
        const auto path = folder.path() / ("c" + std::to_string(channels) + ".wav");
        std::vector<std::int32_t> samples;
        const std::int32_t values[] = {Kxctl::kPcm24Min, Kxctl::kPcm24Max, -1, 1, 0x123456, -0x654321, 0};
        for (std::size_t i = 0; i < 3 * channels; ++i) {
            samples.push_back(values[(i * 5) % 7]);
        }
        std::string error;
        {
            auto writer = Kxctl::OpenBuiltInWavWriter(path, channels, 44100, error);
            ASSERT_TRUE(writer) << error;
            ASSERT_TRUE(writer->Write(samples.data(), 1));
            ASSERT_TRUE(writer->Write(samples.data() + channels, 2));
        }  // destroyed without Close, as when a recording is cut short
        const std::uint32_t data = 3 * channels * 3;
        std::ifstream raw(path, std::ios::binary);
        unsigned char header[44];
        raw.read(reinterpret_cast<char*>(header), sizeof(header));
        auto le32 = [&](std::size_t at) {
            return header[at] | header[at + 1] << 8 | header[at + 2] << 16 |
                   std::uint32_t{header[at + 3]} << 24;
        };
        EXPECT_EQ(le32(4), 36 + data + data % 2);
        EXPECT_EQ(le32(40), data);
        EXPECT_EQ(std::filesystem::file_size(path), 44 + data + data % 2);

        SF_INFO info{};
        SNDFILE* file = sf_open(path.string().c_str(), SFM_READ, &info);
        ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(info.frames, 3);
        EXPECT_EQ(info.channels, static_cast<int>(channels));
        EXPECT_EQ(info.samplerate, 44100);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
        std::vector<int> read(samples.size());
        EXPECT_EQ(sf_readf_int(file, read.data(), 3), 3);
        sf_close(file);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            EXPECT_EQ(read[i] / 256, samples[i]) << "sample " << i << ", " << channels << " channels";
        }
    }
}
#endif

TEST(KxctlBlockQueue, KeepsOrderAndCountsWhatDoesNotFit) {
    Kxctl::BlockQueue queue(2, 4, 16);
    std::vector<float> left(5), right(5, 7.0f);
    std::vector<float*> block = {left.data(), right.data()};
    EXPECT_FALSE(queue.Push(block, 5));  // longer than announced
    for (int i = 0; i < 20; ++i) {
        left[0] = static_cast<float>(i);
        right[3] = static_cast<float>(-i);
        EXPECT_EQ(queue.Push(block, 4), i < 16) << i;
    }
    EXPECT_EQ(queue.Dropped(), 5u);
    for (int i = 0; i < 16; ++i) {
        const Kxctl::BlockQueue::Block b = queue.Front();
        ASSERT_NE(b.samples, nullptr) << i;
        EXPECT_EQ(b.frames, 4u);
        EXPECT_EQ(b.samples[0], static_cast<float>(i));
        EXPECT_EQ(b.samples[4 + 3], static_cast<float>(-i));
        queue.Pop();
    }
    EXPECT_EQ(queue.Front().samples, nullptr);
    EXPECT_TRUE(queue.Push({left.data()}, 1));  // a missing channel is silence
    EXPECT_EQ(queue.Front().samples[4], 0.0f);
}

}  // namespace
