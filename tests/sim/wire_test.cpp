// Simulated devices on 127.0.0.1 as a peer on the wire sees them: every request and its answer, the
// faults of each direction, the repetition of unacknowledged answers, discovery, start and stop.
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 at -O2 sees uninitialised members inside std::regex's own code where there are none.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "rtp/rtp_packet.h"
#include "sim/simulator.h"
#include "test_clock.h"
#include "udp_peer.h"

namespace {

using Sim::SimConfig;
using testing_support::UdpPeer;
using testing_support::WaitUntil;

std::string Ack(int id) {
    return R"(\{"ack_msg_id":)" + std::to_string(id) + R"(,"msg":"ack","msg_id":\d+\})";
}
std::string State(int id) {
    return R"(\{"ack_msg_id":)" + std::to_string(id) + R"(,"device_freq":48000,"msg":"state","msg_id":\d+\})";
}
std::string Request(const std::string& type, int id, const std::string& fields = "") {
    return "{" + fields + "\"msg\":\"" + type + "\",\"msg_id\":" + std::to_string(id) + "}";
}
bool Matches(const std::string& text, const std::string& pattern) {
    return std::regex_match(text, std::regex(pattern));
}

class SimWire : public ::testing::Test {
protected:
    void Start(const SimConfig& config) {
        std::string error;
        ASSERT_TRUE(sim_.Start(config, &error)) << error;
        device_ = sim_.DeviceAddress(0).Native();
    }
    // The text of the next datagram the peer receives; empty when none comes.
    std::string Next() { return peer_.Receive().value_or(testing_support::PeerDatagram{}).Text(); }

    Sim::Simulator sim_;
    UdpPeer peer_{UdpPeer::Acks::kAuto};
    platform::SockAddrIn device_;
};

TEST_F(SimWire, EveryRequestIsAcknowledgedAndAnsweredWithItsId) {
    SimConfig config = SimConfig::WithDevices(1);
    config.devices[0] = {.unit_id = "UNIT-7", .outputs = 2, .freqs = {100500, 87500}};
    config.stations = {
        Sim::Station{100500, "K\xC3\xB6ln \xF0\x9D\x84\x9E", {"A/B \"q\" \xF0\x9F\x8E\xB5"}, 62, true}};
    Start(config);
    const std::string info =
        R"(,"audio_protocol":2,"control_protocol":1,"firmware":1,"hardware":1,"inputs":2,)"
        R"("msg":"dev_info","msg_id":\d+,"outputs":2,"rtp_port":)" +  // where output 1 listens
        std::to_string(sim_.OutputAddresses(0).at(0).GetPort()) +
        R"(,"software":1,)"
        R"("unit_id":"UNIT-7","unit_type":"KX410"\})";
    // The inputs' streams go to the discard port, where nothing of a test can listen.
    const std::string a = "127.0.0.1:9", b = "127.0.0.2:9";
    // Request i (its msg_id is i + 1) and the pattern of its answer; empty: acknowledged only.
    const std::pair<std::string, std::string> steps[] = {
        {Request("get_dev_info", 1), R"(\{"ack_msg_id":1)" + info},
        {Request("dev_find", 2), R"(\{"ack_msg_id":2)" + info},
        {Request("get_state", 3), State(3)},
        // Tuner 1 on the station, tuner 2 on noise.
        {Request("get_fm_quality", 4),
         R"(\{"ack_msg_id":4,"msg":"fm_quality","msg_id":\d+,"multipath":\[\d+,\d+\],"pilot":\[1,0\],)"
         R"("rssi":\[\d+,\d+\],"snr":\[\d+,\d+\],"valid":\[1,0\]\})"},
        // The texts as UTF-8 on the wire; the writer escapes only '/' and '"'.
        {Request("get_rds_data", 5),
         "\\{\"ack_msg_id\":5,\"msg\":\"rds_data\",\"msg_id\":\\d+,\"psrv\":\\[\"K\xC3\xB6ln "
         "\xF0\x9D\x84\x9E\",\"\"\\],"
         "\"text\":\\[\"A\\\\/B \\\\\"q\\\\\" \xF0\x9F\x8E\xB5\",\"\"\\],"
         R"("time":\["\d{4}\\/\d\d\\/\d\d \d\d:\d\d:\d\d\.\d{3}",""\]\})"},
        {Request("set_fm_freq", 6, R"("freq":[88600,104800,99000],)"), ""},  // extra entries are ignored
        {Request("get_fm_freq", 7),
         R"(\{"ack_msg_id":7,"freq":\[88600,104800\],"msg":"fm_freq","msg_id":\d+\})"},
        {Request("set_fm_freq", 8, R"("freq":[91000],)"), ""},  // a missing entry leaves its tuner
        {Request("get_fm_freq", 9),
         R"(\{"ack_msg_id":9,"freq":\[91000,104800\],"msg":"fm_freq","msg_id":\d+\})"},
        {Request("set_inputs", 10, R"("inputs":[")" + a + R"(",""],)"), ""},
        {Request("set_inputs", 11, R"("inputs":["",")" + b + R"("],)"), ""},  // "" leaves its input
        {Request("get_inputs", 12),
         R"(\{"ack_msg_id":12,"inputs":\[")" + a + R"(",")" + b + R"("\],"msg":"inputs","msg_id":\d+\})"},
        {Request("set_inputs", 13, R"("inputs":["off",""],)"), ""},
        {Request("get_inputs", 14),
         R"(\{"ack_msg_id":14,"inputs":\["",")" + b + R"("\],"msg":"inputs","msg_id":\d+\})"},
        {Request("set_bypass", 15, R"("bypass":"on",)"), ""},  // of no use to a tuner
    };
    std::uint64_t n = 0;  // datagrams the device has read: the requests and the acknowledgements of answers
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const auto& [request, answer] = steps[i];
        // Each request once the last answer's acknowledgement is in: under Wine a datagram sent while the
        // peer's own thread sends on the same socket was seen to wait until long after.
        ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).datagrams_in == n; }));
        n += answer.empty() ? 1 : 2;
        peer_.SendText(request, device_);
        // The acknowledgement first; a stray answer to a request that has none shows up in its place.
        EXPECT_TRUE(Matches(Next(), Ack(static_cast<int>(i) + 1))) << request;
        EXPECT_TRUE(answer.empty() || Matches(Next(), answer)) << request;
    }
    peer_.SendText("{}", device_);
    peer_.SendBytes({'x'}, device_);
    ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).bad_datagrams == 2; }));
    // The host's streams: counted per output at rtp_port + 2*i; what is no RTP packet is counted as bad.
    const std::vector<Network::SockAddr> rtp = sim_.OutputAddresses(0);
    ASSERT_EQ(rtp.size(), 2u);
    EXPECT_EQ(rtp[1].GetPort(), rtp[0].GetPort() + 2);
    std::vector<std::uint8_t> packet = Network::RtpPacket::Create(100, 192).Datagram()->Bytes(),
                              unknown = packet;
    peer_.SendBytes(packet, rtp[1].Native());
    unknown[1] = 73;
    packet[0] = 0x40;  // version 1
    for (const std::vector<std::uint8_t>& bad : {packet, unknown, std::vector<std::uint8_t>{0x80, 0x64, 0}}) {
        peer_.SendBytes(bad, rtp[0].Native());
    }
    ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).rtp_bad_in == 3; }));
    EXPECT_EQ(sim_.OutputPackets(0), (std::vector<std::uint64_t>{0, 1}));
    const Sim::DeviceCounters c = sim_.Counters(0);
    EXPECT_EQ(c.unhandled, 1u);
    EXPECT_EQ(c.repeats_out, 0u);
}

struct WireFault {
    const char* name;
    Sim::Faults faults;
    std::vector<std::string> requests;            // sent in this order
    std::vector<std::string> received;            // patterns of what the peer receives, in this order
    std::uint64_t Sim::DeviceCounters::*counter;  // reaches the number of distinct requests once all is done
    std::int64_t at_least_ms = 0;                 // the first datagram comes no earlier
};

class SimWireFault : public SimWire, public ::testing::WithParamInterface<WireFault> {};

TEST_P(SimWireFault, ActsOnTheDatagramsOfItsDirection) {
    const WireFault& f = GetParam();
    Start(SimConfig::WithDevices(1));
    sim_.SetFaults(0, f.faults);
    const auto sent = testing_support::Clock::now();
    for (const std::string& request : f.requests) {
        peer_.SendText(request, device_);
    }
    const std::set<std::string> distinct(f.requests.begin(), f.requests.end());
    ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).*f.counter == distinct.size(); }));
    ASSERT_TRUE(peer_.WaitForCount(f.received.size()));
    const std::vector<testing_support::PeerDatagram> got = peer_.Received();
    ASSERT_EQ(got.size(), f.received.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(Matches(got[i].Text(), f.received[i])) << i << ": " << got[i].Text();
    }
    if (!got.empty()) {
        EXPECT_GE(testing_support::MsBetween(sent, got[0].at), f.at_least_ms);
    }
}

using C = Sim::DeviceCounters;
const std::string kGetState = Request("get_state", 1);

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, SimWireFault, ::testing::Values(
    WireFault{"LossIn", {.in = {.loss = 1.0}}, {kGetState}, {}, &C::lost_in},
    WireFault{"LossOut", {.out = {.loss = 1.0}}, {Request("set_fm_freq", 1, R"("freq":[1],)")}, {}, &C::lost_out},
    WireFault{"DupOut", {.out = {.duplicate = 1.0}}, {kGetState}, {Ack(1), Ack(1), State(1), State(1)}, &C::stray_acks_in},
    WireFault{"DupIn", {.in = {.duplicate = 1.0}}, {kGetState}, {Ack(1), Ack(1), State(1)}, &C::duplicates_in},
    WireFault{"ReorderOut", {.out = {.reorder = 1.0}}, {kGetState}, {State(1), Ack(1)}, &C::acks_in},
    WireFault{"ReorderIn", {.in = {.reorder = 1.0, .reorder_hold_ms = 400}},
              {Request("set_fm_freq", 1, R"("freq":[1],)"), Request("set_fm_freq", 2, R"("freq":[2],)")},
              {Ack(2), Ack(1)}, &C::set_fm_freq},
    WireFault{"Delay", {.in = {.delay_ms = 120}, .out = {.delay_ms = 80}}, {kGetState}, {Ack(1), State(1)}, &C::acks_in, 200},
    // A client repeating its unacknowledged request: the copy is dropped as a duplicate.
    WireFault{"NoAck", {.no_ack = true}, {kGetState, kGetState}, {State(1)}, &C::messages_in},
    WireFault{"ListsOfAll", {.list_length_delta = 1}, {Request("get_fm_freq", 1)},
              {Ack(1), R"(\{"ack_msg_id":1,"freq":\[100500,94300,94300\],"msg":"fm_freq","msg_id":\d+\})"}, &C::acks_in},
    WireFault{"ListOfOne", {.list_length_delta = -1, .list_keys = {"snr"}}, {Request("get_fm_quality", 1)},
              {Ack(1), R"(\{.*"rssi":\[\d+,\d+\],"snr":\[\d+\],"valid":\[1,1\]\})"}, &C::acks_in},
    WireFault{"TypeText", {.type_text = "KX260"}, {Request("get_dev_info", 1)},
              {Ack(1), R"(\{"ack_msg_id":1,.*"unit_type":"KX260"\})"}, &C::acks_in},
    WireFault{"ZeroDeviceFreq", {.zero_device_freq = true}, {kGetState},
              {Ack(1), R"(\{"ack_msg_id":1,"msg":"state","msg_id":\d+\})"}, &C::acks_in}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

TEST_F(SimWire, DiscoveryReachesEveryDeviceThroughItsOwnFaultsAndIsAnsweredOnceFromItsPort) {
    SimConfig config = SimConfig::WithDevices(3);
    config.repeat_ms = 50;
    config.max_sends = 4;
    config.devices[1].faults.in.loss = 1.0;
    config.devices[2].unit_id = "THIRD";
    Start(config);
    peer_.SetAcks(UdpPeer::Acks::kNone);
    peer_.SendText(Request("dev_find", 1), sim_.DiscoveryAddress().Native());
    ASSERT_TRUE(WaitUntil([&] { return peer_.ReceivedOfType("dev_info").size() == 2; }));
    // An unacknowledged answer is repeated until given up; were the discovery answers sent reliably,
    // they would have been repeated meanwhile too.
    peer_.SendText(Request("get_state", 2), device_);
    ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).give_ups == 1; }));
    const auto states = peer_.ReceivedOfType("state");
    ASSERT_EQ(states.size(), 4u);
    EXPECT_EQ(states[3].bytes, states[0].bytes);  // the same datagram, the same id
    std::multiset<std::string> answers;
    for (const auto& d : peer_.ReceivedOfType("dev_info")) {
        answers.insert(std::to_string(d.from.Port()) + d.Text().substr(d.Text().find("\"unit_id\"")));
    }
    const auto port = [&](std::size_t i) { return std::to_string(sim_.DeviceAddress(i).GetPort()); };
    EXPECT_EQ(answers,
              (std::multiset<std::string>{port(0) + R"("unit_id":"SIM410-0001","unit_type":"KX410"})",
                                          port(2) + R"("unit_id":"THIRD","unit_type":"KX410"})"}));
    EXPECT_EQ(sim_.Counters(1).lost_in, 1u);
}

TEST_F(SimWire, StartFailsOnATakenPortLeavingNothingOpenAndVerboseLogsEveryDatagram) {
    SimConfig config = SimConfig::WithDevices(2);
    config.devices[1].port = peer_.Port();
    std::string error;
    EXPECT_FALSE(sim_.Start(config, &error));
    EXPECT_EQ(error.rfind("device 2: cannot bind 127.0.0.1:" + std::to_string(peer_.Port()), 0), 0u) << error;
    EXPECT_EQ(sim_.DeviceCount(), 0u);

    std::vector<std::string> lines;  // read once the simulator's thread has ended
    config.devices[1].port = 0;
    config.verbose = true;
    config.log = [&](const std::string& line) {
        lines.push_back(line.starts_with("[") ? line.substr(line.find(']') + 2) : line);  // without the time
    };
    Start(config);
    peer_.SendText(Request("get_state", 1), device_);
    ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).acks_in == 1; }));
    sim_.Stop();
    const std::string peer = "127.0.0.1:" + std::to_string(peer_.Port());
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[3], "SIM410-0001 <- " + peer + " {\"msg\":\"get_state\",\"msg_id\":1}");
    EXPECT_TRUE(Matches(lines[4], "SIM410-0001 -> " + peer + " " + Ack(1))) << lines[4];
    EXPECT_EQ(lines.back(), "simulator stopped");
}

// A KX260's requests in order (msg_id i + 1) with the pattern of each answer (empty: acknowledged only).
const std::string kIn = R"(\{"freq":48000,"gain":"\+4dBu","select":"analog"\})";

TEST_F(SimWire, AKx260KeepsItsInputsAndHasABypassFromControlProtocol2) {
    // clang-format off
    const std::pair<std::uint32_t, std::vector<std::pair<std::string, std::string>>> runs[] = {
        {1, {{Request("get_bypass", 1), ""}, {Request("set_bypass", 2, R"("bypass":"on",)"), ""}}},
        {2, {{Request("get_dev_info", 1), R"(\{"ack_msg_id":1,.*"unit_id":"SIM260-0001","unit_type":"KX260"\})"},
             {Request("get_state", 2), R"(\{"ack_msg_id":2,"device_freq":48000,"inputs":\[)" + kIn + "," + kIn + R"(\],.*)"},
             {Request("set_state", 3, R"("device_freq":44100,)"), ""},
             // 0 (or no value) leaves a value; entries beyond the inputs are ignored.
             {Request("set_state", 4, R"("inputs":[{"select":"aes"},{"gain":"-10dBu","freq":96000},{"select":"aes"}],)"), ""},
             {Request("get_state", 5), R"(\{"ack_msg_id":5,"device_freq":44100,"inputs":\[\{"freq":48000,"gain":"\+4dBu","select":"aes"\},)"
                                       R"(\{"freq":96000,"gain":"-10dBu","select":"analog"\}\],.*)"},
             {Request("get_bypass", 6), R"(\{"ack_msg_id":6,"bypass":"off","msg":"bypass".*)"},
             {Request("set_bypass", 7, R"("bypass":"on",)"), R"(\{"ack_msg_id":7,"bypass":"on","msg":"bypass".*)"},
             {Request("get_fm_freq", 8), ""}}}};  // no tuners
    // clang-format on
    for (const auto& [protocol, steps] : runs) {
        sim_.Stop();
        Start({.devices = {{.model = Sim::Model::kKx260, .control_protocol = protocol}}});
        std::uint64_t n = 0;  // as above: each request once the last answer's acknowledgement is in
        for (std::size_t i = 0; i < steps.size(); ++i) {
            ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).datagrams_in == n; }));
            n += steps[i].second.empty() ? 1 : 2;
            peer_.SendText(steps[i].first, device_);
            EXPECT_TRUE(Matches(Next(), Ack(static_cast<int>(i) + 1))) << steps[i].first;
            EXPECT_TRUE(steps[i].second.empty() || Matches(Next(), steps[i].second)) << steps[i].first;
        }
        ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).messages_in == steps.size(); }));
        const Sim::Kx260Status k = sim_.Kx260(0);  // input 1 as the last "state" showed it
        EXPECT_EQ(std::tuple(k.device_freq, k.input_select, k.has_bypass, k.bypass_on, k.set_bypass_count,
                             k.set_state_count, sim_.Counters(0).unhandled),
                  protocol == 2 ? std::tuple(44100u, 1u, true, true, 1u, 2u, 1u)
                                : std::tuple(48000u, 2u, false, false, 0u, 0u, 2u));
    }
}

TEST_F(SimWire, AKx9AsksItsHostForTheTimeOncePerIntervalAndKeepsOnlyWellFormedAnswers) {
    auto clock = std::make_shared<testing_support::TestClock>();
    Start({.repeat_ms = 600000,
           .devices = {{.model = Sim::Model::kKx9, .time_request_ms = 1000}},
           .clock = clock});
    const auto advance = [&](int ms) {
        clock->Step(testing_support::milliseconds(ms));
        ASSERT_TRUE(clock->WaitForReads(3));
    };
    peer_.SendText(Request("dev_find", 1), device_);  // a discovery makes no host
    ASSERT_TRUE(WaitUntil([&] { return peer_.ReceivedOfType("dev_info").size() == 1; }));
    advance(1000);
    peer_.SendText(Request("get_dev_info", 2), device_);  // makes the peer its host
    ASSERT_TRUE(WaitUntil([&] { return peer_.ReceivedOfType("dev_info").size() == 2; }));
    EXPECT_NE(peer_.ReceivedOfType("dev_info")[1].Text().find(R"("unit_id":"SIM9-0001","unit_type":"KX9"})"),
              std::string::npos);
    for (std::uint64_t n = 1; n <= 3; ++n) {
        advance(999);
        EXPECT_EQ(sim_.Kx9(0).time_requests, n - 1);
        advance(1);
        ASSERT_TRUE(WaitUntil([&] { return peer_.ReceivedOfType("get_time").size() == n; }));
    }
    ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).acks_in == 4; }));  // the peer is done sending (Wine)
    const std::string td = "2026/12/07 04:05:06.789", utc = "2026/12/07 03:05:06.789";
    // Kept; then refused: one that decodes (23 characters each) but whose "utc" is no time.
    peer_.SendText(Request("cur_time", 3, R"("td":")" + td + R"(","utc":")" + utc + R"(",)"), device_);
    peer_.SendText(Request("cur_time", 4, R"("td":")" + td + R"(","utc":"2026-12-07 03:05:06.789",)"),
                   device_);
    ASSERT_TRUE(WaitUntil([&] { return sim_.Counters(0).bad_datagrams == 1; }));
    const Sim::Kx9Status k = sim_.Kx9(0);
    EXPECT_EQ(std::tuple(k.times_received, k.last_td, k.last_utc), std::tuple(1u, td, utc));
    // One request waits at most: none while the last is unacknowledged.
    peer_.SetAcks(UdpPeer::Acks::kNone);
    advance(1000);
    advance(1000);
    EXPECT_EQ(sim_.Kx9(0).time_requests, 4u);
}

}  // namespace
