// A simulated device's audio on the wire, with the simulator's clock stepped by hand: where each stream
// goes, its packets and their pacing, the programme in them, the faults that act on them, and the
// host's streams counted at the outputs.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "rtp/rtp_packet.h"
#include "sim/simulator.h"
#include "test_clock.h"
#include "udp_peer.h"

namespace {

using testing_support::PeerDatagram;
using testing_support::UdpPeer;
using testing_support::WaitUntil;

Network::RtpPacket View(const std::vector<std::uint8_t>& bytes) {
    auto p = std::make_shared<Network::Packet>();
    p->Assign(bytes.data(), bytes.size());
    return Network::RtpPacket(p);
}

// One channel of packets [first, first + n) as samples.
std::vector<float> Channel(const std::vector<PeerDatagram>& packets, std::size_t first, std::size_t n,
                           int c) {
    std::vector<float> out;
    for (std::size_t i = first; i < first + n && i < packets.size(); ++i) {
        std::vector<float> block(Sim::kFramesPerPacket);
        View(packets[i].bytes).ReadChannel(block.data(), static_cast<std::uint32_t>(c), 1, 0, 0);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

std::size_t Crossings(const std::vector<float>& s) {
    std::size_t n = 0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        n += (s[i - 1] < 0) != (s[i] < 0) ? 1 : 0;
    }
    return n;
}

class SimAudio : public ::testing::Test {
protected:
    void Start(Sim::SimConfig config) {
        config.clock = clock_;
        std::string error;
        ASSERT_TRUE(sim_.Start(config, &error)) << error;
    }
    void Control(const std::string& msg, const std::string& fields,
                 std::uint64_t Sim::DeviceCounters::*done) {
        const std::uint64_t before = sim_.Counters(0).*done;
        control_.SendText("{" + fields + ",\"msg\":\"" + msg + "\",\"msg_id\":" + std::to_string(++id_) + "}",
                          sim_.DeviceAddress(0).Native());
        ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).*done == before + 1; }));
    }
    void Route(const std::string& a, const std::string& b) {
        Control("set_inputs", "\"inputs\":[\"" + a + "\",\"" + b + "\"]", &Sim::DeviceCounters::set_inputs);
    }
    // Steps the clock and waits until the simulator has acted on the new time.
    void Advance(int ms) {
        clock_->Step(testing_support::milliseconds(ms));
        ASSERT_TRUE(clock_->WaitForReads(3));
    }
    static std::string At(const UdpPeer& p) { return "127.0.0.1:" + std::to_string(p.Port()); }

    std::shared_ptr<testing_support::TestClock> clock_ = std::make_shared<testing_support::TestClock>();
    Sim::Simulator sim_;
    UdpPeer control_;
    UdpPeer in_[2];
    int id_ = 0;
};

struct Rate {
    std::uint32_t device_freq, audio_protocol;
    std::uint8_t payload_type;
};

class SimAudioRate : public SimAudio, public ::testing::WithParamInterface<Rate> {};

TEST_P(SimAudioRate, StreamsPacedExactlyWithTheStationsTonesThenNoiseThenStops) {
    const Rate r = GetParam();
    Start(Sim::SimConfig{.devices = {{.device_freq = r.device_freq, .audio_protocol = r.audio_protocol}}});
    Route(At(in_[0]), At(in_[1]));  // tuner 1 on 100.5 (440/660 Hz), tuner 2 on 94.3 (523.25/783.99 Hz)
    // Blocks due after `ms`: block 0 at once, block n at n * 192 / device_freq seconds.
    auto blocks = [&](std::uint64_t ms) { return ms * r.device_freq / 192000 + 1; };
    for (int ms = 20; ms <= 10000; ms += 20) {  // ten seconds without drift
        Advance(20);
        ASSERT_EQ(sim_.Counters(0).rtp_out, 2 * blocks(ms)) << ms;
    }
    Advance(1000);  // a stall: ten blocks catch up, and the schedule starts again
    ASSERT_EQ(sim_.Counters(0).rtp_out, 2 * blocks(10000) + 20);
    Advance(1000 * 192 / r.device_freq + 1);
    const std::size_t n = blocks(10000) + 11;
    ASSERT_EQ(sim_.Counters(0).rtp_out, 2 * n);
    ASSERT_TRUE(in_[0].WaitForCount(n) && in_[1].WaitForCount(n));
    const std::vector<PeerDatagram> a = in_[0].Received(), b = in_[1].Received();
    for (std::size_t i = 0; i < n; ++i) {
        const Network::RtpPacket p = View(a[i].bytes), q = View(b[i].bytes),
                                 prev = View(a[i == 0 ? 0 : i - 1].bytes);
        ASSERT_EQ(a[i].bytes.size(), 12u + 192 * 6);
        ASSERT_EQ(p.PayloadType(), r.payload_type);
        ASSERT_EQ(p.SequenceNumber(), q.SequenceNumber());
        ASSERT_EQ(p.Timestamp(), q.Timestamp());
        ASSERT_EQ(p.SequenceNumber(), static_cast<std::uint16_t>(prev.SequenceNumber() + (i == 0 ? 0 : 1)));
        ASSERT_EQ(p.Timestamp(), prev.Timestamp() + (i == 0 ? 0 : 192));
    }
    // Half a second of each channel: the frequency by its zero crossings, a clean tone by its steps.
    const std::vector<PeerDatagram>* streams[] = {&a, &a, &b, &b};
    const double tones[] = {440.0, 660.0, 523.25, 783.99};
    const std::size_t count = r.device_freq / 2 / 192;
    for (int k = 0; k < 4; ++k) {
        const std::vector<float> s = Channel(*streams[k], 100, count, k % 2);
        const double seconds = static_cast<double>(s.size()) / r.device_freq;
        EXPECT_NEAR(static_cast<double>(Crossings(s)) / 2 / seconds, tones[k], tones[k] * 0.01) << k;
        float peak = 0, step = 0;
        for (std::size_t i = 1; i < s.size(); ++i) {
            peak = std::max(peak, std::abs(s[i]));
            step = std::max(step, std::abs(s[i] - s[i - 1]));
        }
        EXPECT_NEAR(peak, 0.5, 0.001) << k;
        EXPECT_LT(step, 2 * std::numbers::pi * tones[k] * 0.5 / r.device_freq * 1.01) << k;
    }
    // Retuned off any station, tuner 2 plays noise from the next packet on.
    Control("set_fm_freq", "\"freq\":[100500,91000]", &Sim::DeviceCounters::set_fm_freq);
    Advance(40);
    ASSERT_TRUE(in_[1].WaitForCount(n + 8));
    const std::vector<float> noise = Channel(in_[1].Received(), n, 8, 1);
    double power = 0;
    for (float v : noise) {
        EXPECT_LE(std::abs(v), 0.05f);
        power += v * v;
    }
    EXPECT_NEAR(std::sqrt(power / noise.size()), 0.05 / std::sqrt(3.0), 0.005);
    EXPECT_GT(Crossings(noise), noise.size() / 3);
    // "off" stops a stream; the other goes on.
    Route("off", "");
    const std::uint64_t out = sim_.Counters(0).rtp_out, on = in_[0].Received().size();
    Advance(40);
    EXPECT_EQ(sim_.Counters(0).rtp_out - out, blocks(85) - blocks(45));
    EXPECT_EQ(in_[0].Received().size(), on);
}

INSTANTIATE_TEST_SUITE_P(Rates, SimAudioRate,
                         ::testing::Values(Rate{48000, 2, 100}, Rate{44100, 2, 101}, Rate{48000, 1, 72},
                                           Rate{44100, 1, 74}));

struct RtpFault {
    const char* name;
    Sim::Faults faults;
    std::uint64_t out, lost, duplicated, overflow;  // per thousand packets sent, overflow beyond the bound
};

class SimAudioFault : public SimAudio, public ::testing::WithParamInterface<RtpFault> {};

TEST_P(SimAudioFault, ActsOnTheStreamsAsOnTheDatagramsFromTheDevice) {
    const RtpFault& f = GetParam();
    Start(Sim::SimConfig{.devices = {{.tuners = 4, .faults = f.faults}}});
    control_.SendText(R"({"inputs":[")" + At(in_[0]) + "\",\"" + At(in_[0]) + "\",\"" + At(in_[0]) + "\",\"" +
                          At(in_[0]) + R"("],"msg":"set_inputs","msg_id":1})",
                      sim_.DeviceAddress(0).Native());
    ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).set_inputs == 1; }));
    for (int ms = 0; ms < 5000; ms += 40) {
        Advance(40);
    }
    const std::uint64_t sent = 4 * (5000 / 4 + 1);
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_EQ(c.rtp_out, sent * f.out / 1000);
    EXPECT_EQ(c.rtp_lost, sent * f.lost / 1000);
    EXPECT_EQ(c.rtp_duplicated, sent * f.duplicated / 1000);
    EXPECT_EQ(c.rtp_overflow, f.overflow > 0 ? sent - Sim::kMaxRtpWaiting : 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, SimAudioFault,
                         ::testing::Values(RtpFault{"LossOut", {.out = {.loss = 1}}, 0, 1000, 0, 0},
                                           RtpFault{"DupOut", {.out = {.duplicate = 1}}, 2000, 0, 1000, 0},
                                           RtpFault{"DupIn", {.in = {.duplicate = 1}}, 1000, 0, 0, 0},
                                           RtpFault{"Mute", {.audio_mute = true}, 0, 0, 0, 0},
                                           RtpFault{"LongDelay", {.out = {.delay_ms = 600000}}, 0, 0, 0, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimAudio, CountsTheHostsPacketsPerOutputAndSurvivesMalformedOnes) {
    Start(Sim::SimConfig{.devices = {{.outputs = 2}}});
    const std::vector<Network::SockAddr> at = sim_.OutputAddresses(0);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_EQ(at[1].GetPort(), at[0].GetPort() + 2);
    const std::vector<std::uint8_t> good = Network::RtpPacket::Create(100, 192).Datagram()->Bytes();
    std::vector<std::uint8_t> version1 = good, unknown_type = good;
    version1[0] = 0x40;
    unknown_type[1] = 73;
    for (const auto& [bytes, output] :
         std::vector<std::pair<std::vector<std::uint8_t>, int>>{{good, 1},
                                                                {good, 1},
                                                                {good, 0},
                                                                {{0x80, 0x64, 0, 1}, 0},
                                                                {version1, 1},
                                                                {unknown_type, 0},
                                                                {{}, 1},
                                                                {good, 1}}) {
        control_.SendBytes(bytes, at[output].Native());
    }
    ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).rtp_bad_in == 4; }));
    ASSERT_TRUE(WaitUntil([&] { return sim_.OutputPackets(0) == std::vector<std::uint64_t>{1, 3}; }));
}

}  // namespace
