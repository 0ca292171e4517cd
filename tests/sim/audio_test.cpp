// A simulated device's audio on the wire, with the simulator's clock stepped by hand: where each stream
// goes, its packets and their pacing, the programme in them, and the faults that act on them.
#include <gtest/gtest.h>

#include <array>
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
    std::vector<float> out(n * Sim::kFramesPerPacket);
    for (std::size_t i = 0; i < n; ++i) {
        View(packets.at(first + i).bytes).ReadChannel(&out[i * Sim::kFramesPerPacket], c, 1, 0, 0);
    }
    return out;
}

// Zero crossings, the largest sample, the largest step between neighbours.
struct Shape {
    double crossings = 0, peak = 0, step = 0;
};
Shape Measure(const std::vector<float>& s) {
    Shape m;
    for (std::size_t i = 1; i < s.size(); ++i) {
        m.crossings += (s[i - 1] < 0) != (s[i] < 0) ? 1 : 0;
        m.peak = std::max(m.peak, std::abs(double{s[i]}));
        m.step = std::max(m.step, std::abs(double{s[i]} - s[i - 1]));
    }
    return m;
}

class SimAudio : public ::testing::Test {
protected:
    // Sends a message with `fields` (its "msg" among them) and waits until the device has applied it.
    void Send(const std::string& fields,
              std::uint64_t Sim::DeviceCounters::*applied = &Sim::DeviceCounters::set_inputs) {
        const std::uint64_t before = sim_.Counters(0).*applied;
        control_.SendText("{" + fields + ",\"msg_id\":" + std::to_string(++id_) + "}",
                          sim_.DeviceAddress(0).Native());
        ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).*applied == before + 1; }));
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
    std::uint32_t device_freq, audio_protocol, payload_type;
};

class SimAudioRate : public SimAudio, public ::testing::WithParamInterface<Rate> {};

TEST_P(SimAudioRate, StreamsPacedExactlyWithTheStationsTonesThenNoiseThenStops) {
    const Rate r = GetParam();
    ASSERT_TRUE(sim_.Start(
        {.devices = {{.device_freq = r.device_freq, .audio_protocol = r.audio_protocol}}, .clock = clock_}));
    // Tuner 1 on 100.5 (440/660 Hz), tuner 2 on 94.3 (523.25/783.99 Hz).
    Send(R"("msg":"set_inputs","inputs":[")" + At(in_[0]) + R"(",")" + At(in_[1]) + R"("])");
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
    for (std::size_t i = 1; i < n; ++i) {
        const Network::RtpPacket p = View(a[i].bytes), q = View(b[i].bytes), prev = View(a[i - 1].bytes);
        ASSERT_TRUE(a[i].bytes.size() == 12 + 192 * 6 && p.PayloadType() == r.payload_type) << i;
        ASSERT_TRUE(p.SequenceNumber() == q.SequenceNumber() && p.Timestamp() == q.Timestamp()) << i;
        ASSERT_EQ(p.SequenceNumber(), static_cast<std::uint16_t>(prev.SequenceNumber() + 1));
        ASSERT_EQ(p.Timestamp(), prev.Timestamp() + 192);
    }
    // Half a second of each channel: the frequency by its zero crossings, a clean tone by its steps.
    const std::vector<PeerDatagram>* streams[] = {&a, &a, &b, &b};
    const double tones[] = {440.0, 660.0, 523.25, 783.99};
    const std::size_t count = r.device_freq / 2 / 192;
    for (int k = 0; k < 4; ++k) {
        const Shape m = Measure(Channel(*streams[k], 100, count, k % 2));
        EXPECT_NEAR(m.crossings / 2 / (count * 192.0 / r.device_freq), tones[k], tones[k] * 0.01) << k;
        EXPECT_NEAR(m.peak, 0.5, 0.001) << k;
        EXPECT_LT(m.step, 2 * std::numbers::pi * tones[k] * 0.5 / r.device_freq * 1.01) << k;
    }
    // Retuned off any station, tuner 2 plays noise from the next packet on.
    Send(R"("msg":"set_fm_freq","freq":[100500,91000])", &Sim::DeviceCounters::set_fm_freq);
    Advance(40);
    ASSERT_TRUE(in_[1].WaitForCount(n + 8));
    EXPECT_NEAR(Measure(Channel(in_[1].Received(), n, 8, 1)).peak, 0.045,
                0.005);  // in 1536 draws from +-0.05
    // "off" stops a stream; the other goes on.
    Send(R"("msg":"set_inputs","inputs":["off",""])");
    const std::uint64_t out = sim_.Counters(0).rtp_out, on = in_[0].Received().size();
    Advance(40);
    EXPECT_EQ(sim_.Counters(0).rtp_out - out, blocks(85) - blocks(45));
    EXPECT_EQ(in_[0].Received().size(), on);
}

INSTANTIATE_TEST_SUITE_P(Rates, SimAudioRate,
                         ::testing::Values(Rate{48000, 2, 100}, Rate{44100, 2, 101}, Rate{48000, 1, 72},
                                           Rate{44100, 1, 74}));

TEST_F(SimAudio, AKx260sStreamsFollowItsDeviceFrequency) {
    ASSERT_TRUE(sim_.Start({.devices = {{.model = Sim::Model::kKx260}}, .clock = clock_}));
    Send(R"("msg":"set_inputs","inputs":[")" + At(in_[0]) + R"("])");
    Send(R"("msg":"set_state","device_freq":44100)", &Sim::DeviceCounters::messages_in);
    for (int ms = 0; ms < 1000; ms += 20) {
        Advance(20);
    }
    // Block 0 of each run (the new frequency starts one), then 229.7 blocks a second.
    EXPECT_EQ(sim_.Counters(0).rtp_out, 2 + 44100u / 192);
    ASSERT_TRUE(in_[0].WaitForCount(2 + 44100u / 192));
    EXPECT_EQ(View(in_[0].Received().back().bytes).PayloadType(), 101);
}

struct RtpFault {
    const char* name;
    Sim::Faults faults;
    std::array<std::uint64_t, 4> counts;  // rtp_out, rtp_lost, rtp_duplicated, rtp_overflow
};

class SimAudioFault : public SimAudio, public ::testing::WithParamInterface<RtpFault> {};

TEST_P(SimAudioFault, ActsOnTheStreamsAsOnTheDatagramsFromTheDevice) {
    const RtpFault& f = GetParam();
    ASSERT_TRUE(sim_.Start({.devices = {{.tuners = 4, .faults = f.faults}}, .clock = clock_}));
    const std::string to = "\"" + At(in_[0]) + "\"";
    Send(R"("msg":"set_inputs","inputs":[)" + to + "," + to + "," + to + "," + to + "]");
    for (int ms = 0; ms < 5000; ms += 40) {
        Advance(40);
    }
    const Sim::DeviceCounters c = sim_.Counters(0);  // 4 x 1251 blocks made
    EXPECT_EQ((std::array{c.rtp_out, c.rtp_lost, c.rtp_duplicated, c.rtp_overflow}), f.counts);
}

INSTANTIATE_TEST_SUITE_P(Faults, SimAudioFault,
                         ::testing::Values(RtpFault{"LossOut", {.out = {.loss = 1}}, {0, 5004, 0, 0}},
                                           RtpFault{"DupOut", {.out = {.duplicate = 1}}, {10008, 0, 5004, 0}},
                                           RtpFault{"DupIn", {.in = {.duplicate = 1}}, {5004, 0, 0, 0}},
                                           RtpFault{"Mute", {.audio_mute = true}, {0, 0, 0, 0}},
                                           // beyond kMaxRtpWaiting (4096) waiting
                                           RtpFault{
                                               "LongDelay", {.out = {.delay_ms = 600000}}, {0, 0, 0, 908}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
