// The tuners as a client sees them: quality that depends on the tuned frequency, the station's RDS texts
// with their exact UTF-8 bytes on the wire, radiotext that changes over time.
#include <gtest/gtest.h>

#include <set>

#include "platform/utf8.h"
#include "sim_test_support.h"

namespace {

using namespace sim_test;
using Sim::SimConfig;
using Sim::Simulator;

// Name and radiotext with a non-ASCII letter, a character outside the BMP (U+1D11E, 4 bytes in UTF-8),
// a slash and a quotation mark.
const std::string kName = "K\xC3\xB6ln \xF0\x9D\x84\x9E";
const std::string kText = "A/B \"q\" \xF0\x9F\x8E\xB5 \xC3\xBC";

SimConfig TestBand(std::vector<std::string> radiotext = {kText}) {
    SimConfig config = SimConfig::WithDevices(1);
    config.stations = {Sim::Station{100500, kName, std::move(radiotext), 62, true},
                       Sim::Station{94300, "Mono", {"m"}, 50, false}};
    config.devices[0].freqs = {100500, 97000};
    return config;
}

bool Contains(const std::vector<std::uint8_t>& haystack, const std::string& needle) {
    const std::vector<std::uint8_t> bytes(needle.begin(), needle.end());
    return std::search(haystack.begin(), haystack.end(), bytes.begin(), bytes.end()) != haystack.end();
}

TEST(SimTuners, QualityDependsOnTheTunedFrequency) {
    Simulator sim;
    StartOrFail(sim, TestBand());
    RawClient client;
    const Network::SockAddr device = sim.DeviceAddress(0);

    auto quality = [&] {
        Received r = *client.Request(Network::JsonMsgGetFmQuality(), device, "fm_quality").answer;
        return r.As<Network::JsonMsgFmQuality>();
    };
    Network::JsonMsgFmQuality q = quality();
    // Tuner 0 on the strong stereo station, tuner 1 between stations.
    EXPECT_EQ(q.valid, (std::vector<std::int32_t>{1, 0}));
    EXPECT_EQ(q.pilot, (std::vector<std::int32_t>{1, 0}));
    EXPECT_GE(q.rssi.at(0), 55);
    EXPECT_LE(q.rssi.at(1), 13);
    EXPECT_GE(q.snr.at(0), 30);
    EXPECT_LE(q.snr.at(1), 4);

    // Retune: tuner 0 off into the noise, tuner 1 onto the mono station.
    Network::JsonMsgSetFmFreq set;
    set.freq = {103000, 94300};
    ASSERT_TRUE(client.Request(set, device, nullptr).ack.has_value());
    ASSERT_TRUE(Eventually([&] { return sim.Tuners(0).at(1).freq == 94300; }));
    q = quality();
    EXPECT_EQ(q.valid, (std::vector<std::int32_t>{0, 1}));
    EXPECT_EQ(q.pilot, (std::vector<std::int32_t>{0, 0}));
    EXPECT_LE(q.rssi.at(0), 13);
    EXPECT_GE(q.rssi.at(1), 45);

    // The tuner state read through the API agrees with what went out.
    const std::vector<Sim::TunerState> tuners = sim.Tuners(0);
    EXPECT_EQ(tuners.at(0).freq, 103000);
    EXPECT_EQ(tuners.at(0).quality.valid, 0);
    EXPECT_EQ(tuners.at(1).quality.valid, 1);
    EXPECT_EQ(tuners.at(1).rds.psrv, "Mono");
}

TEST(SimTuners, RdsTextsAreExactUtf8OnTheWire) {
    Simulator sim;
    StartOrFail(sim, TestBand());
    RawClient client;
    Received r = *client.Request(Network::JsonMsgGetRdsData(), sim.DeviceAddress(0), "rds_data").answer;

    // The writer escapes "/" and "\""; every other character is the plain UTF-8 of the text.
    EXPECT_TRUE(Contains(r.bytes, "\"psrv\":[\"K\xC3\xB6ln \xF0\x9D\x84\x9E\",\"\"]")) << r.Text();
    EXPECT_TRUE(Contains(r.bytes, "\"text\":[\"A\\/B \\\"q\\\" \xF0\x9F\x8E\xB5 \xC3\xBC\",\"\"]"))
        << r.Text();

    // Decoded, the texts are the station's exactly.
    const auto& rds = r.As<Network::JsonMsgRdsData>();
    ASSERT_EQ(rds.psrv.size(), 2u);
    EXPECT_EQ(WideToUtf8(rds.psrv[0]), kName);
    EXPECT_EQ(WideToUtf8(rds.text[0]), kText);
    EXPECT_EQ(rds.psrv[1], L"");
    EXPECT_EQ(rds.time[1], L"");
    // The station's clock: "YYYY/MM/DD hh:mm:ss.mmm" (23 characters), a time that parses.
    ASSERT_EQ(rds.time[0].size(), Network::kTimeTextLength);
    Network::SystemTime t;
    EXPECT_TRUE(Network::ParseTimeText(rds.time[0], t)) << WideToUtf8(rds.time[0]);
    EXPECT_GE(t.year, 2020);

    // The built-in band carries such characters too.
    Simulator plain;
    StartOrFail(plain, SimConfig::WithDevices(1));
    Received d = *client.Request(Network::JsonMsgGetRdsData(), plain.DeviceAddress(0), "rds_data").answer;
    EXPECT_TRUE(Contains(d.bytes, "\"psrv\":[\"Norvane FM\",\"Radio \xC3\x86ther\"]")) << d.Text();
}

TEST(SimTuners, RadiotextChangesOverTime) {
    SimConfig config = TestBand({kText, "second"});
    config.radiotext_ms = 100;
    Simulator sim;
    StartOrFail(sim, config);
    std::set<std::string> seen;
    const Clock::time_point end = Clock::now() + milliseconds(2000);
    while (seen.size() < 2 && Clock::now() < end) {
        const std::vector<Sim::TunerState> t = sim.Tuners(0);
        seen.insert(t.at(0).rds.text);
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(seen, (std::set<std::string>{kText, "second"}));
}

}  // namespace
