// Simulator settings from JSON documents and files.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "json/value.h"
#include "sim/config.h"

namespace {

using Sim::LoadConfig;
using Sim::SimConfig;

JSON::Value Parse(const std::string& text) {
    JSON::Value v;
    EXPECT_TRUE(JSON::ParseText(text, v)) << text;
    return v;
}

// The error of loading `text` into default settings; empty when it loads.
std::string ErrorOf(const std::string& text) {
    SimConfig config;
    std::string error;
    if (LoadConfig(Parse(text), config, error)) {
        return "";
    }
    EXPECT_FALSE(error.empty());
    return error;
}

TEST(SimConfigJson, EveryKeyReachesItsField) {
    const std::string text = R"({
        "bind": "127.0.0.2", "discovery": false, "discovery_port": 16000, "seed": 99,
        "repeat_ms": 150, "max_sends": 5, "radiotext_ms": 700, "discovery_spread_ms": 20, "verbose": true,
        "count": 3, "port": 17000,
        "device": {"tuners": 4, "device_freq": 44100, "outputs": 2, "rtp_port": 6000,
                   "hardware": 3, "firmware": 4, "software": 5, "audio_protocol": 1, "control_protocol": 7,
                   "faults": {"both": {"loss": 0.1, "delay_ms": 5}, "no_ack": true}},
        "devices": [
            {"unit_id": "A-\u00FC", "port": 17100, "freqs": [100500, 94300],
             "faults": {"in": {"dup": 0.5, "reorder": 0.25, "jitter_ms": 7, "reorder_hold_ms": 9},
                        "list_length_delta": -1, "list_keys": ["snr", "text"], "type_text": "KX260",
                        "zero_device_freq": true}},
            {"tuners": 1}
        ],
        "stations": [{"freq": 99000, "name": "S \uD834\uDD1E", "radiotext": ["a/b", "\"q\""], "rssi": 50,
                      "stereo": false}, {"freq": 90000}]
    })";
    SimConfig c;
    std::string error;
    ASSERT_TRUE(LoadConfig(Parse(text), c, error)) << error;
    EXPECT_EQ(c.bind_address, "127.0.0.2");
    EXPECT_FALSE(c.discovery);
    EXPECT_EQ(c.discovery_port, 16000);
    EXPECT_EQ(c.seed, 99u);
    EXPECT_EQ(c.repeat_ms, 150u);
    EXPECT_EQ(c.max_sends, 5u);
    EXPECT_EQ(c.radiotext_ms, 700u);
    EXPECT_EQ(c.discovery_spread_ms, 20u);
    EXPECT_TRUE(c.verbose);
    ASSERT_EQ(c.devices.size(), 3u);

    const Sim::DeviceConfig& a = c.devices[0];
    EXPECT_EQ(a.unit_id, "A-\xC3\xBC");
    EXPECT_EQ(a.port, 17100);  // its own port beats the numbering
    EXPECT_EQ(a.tuners, 4u);
    EXPECT_EQ(a.device_freq, 44100u);
    EXPECT_EQ(a.outputs, 2u);
    EXPECT_EQ(a.rtp_port, 6000u);
    EXPECT_EQ(a.hardware, 3u);
    EXPECT_EQ(a.firmware, 4u);
    EXPECT_EQ(a.software, 5u);
    EXPECT_EQ(a.audio_protocol, 1u);
    EXPECT_EQ(a.control_protocol, 7u);
    EXPECT_EQ(a.freqs, (std::vector<std::int32_t>{100500, 94300}));
    // "both" first, then "in" refines: out keeps both's values.
    EXPECT_DOUBLE_EQ(a.faults.in.loss, 0.1);
    EXPECT_DOUBLE_EQ(a.faults.out.loss, 0.1);
    EXPECT_EQ(a.faults.in.delay_ms, 5u);
    EXPECT_EQ(a.faults.out.delay_ms, 5u);
    EXPECT_DOUBLE_EQ(a.faults.in.duplicate, 0.5);
    EXPECT_DOUBLE_EQ(a.faults.out.duplicate, 0.0);
    EXPECT_DOUBLE_EQ(a.faults.in.reorder, 0.25);
    EXPECT_EQ(a.faults.in.jitter_ms, 7u);
    EXPECT_EQ(a.faults.in.reorder_hold_ms, 9u);
    EXPECT_TRUE(a.faults.no_ack);
    EXPECT_EQ(a.faults.list_length_delta, -1);
    EXPECT_EQ(a.faults.list_keys, (std::set<std::string>{"snr", "text"}));
    EXPECT_EQ(a.faults.type_text, "KX260");
    EXPECT_TRUE(a.faults.zero_device_freq);

    EXPECT_EQ(c.devices[1].port, 17001);
    EXPECT_EQ(c.devices[1].tuners, 1u);
    EXPECT_TRUE(c.devices[1].faults.no_ack);
    EXPECT_EQ(c.devices[2].port, 17002);
    EXPECT_EQ(c.devices[2].tuners, 4u);
    EXPECT_EQ(c.devices[2].unit_id, "");

    ASSERT_EQ(c.stations.size(), 2u);
    EXPECT_EQ(c.stations[0].freq, 99000);
    EXPECT_EQ(c.stations[0].name, "S \xF0\x9D\x84\x9E");  // the surrogate pair becomes one character
    EXPECT_EQ(c.stations[0].radiotext, (std::vector<std::string>{"a/b", "\"q\""}));
    EXPECT_EQ(c.stations[0].rssi, 50);
    EXPECT_FALSE(c.stations[0].stereo);
    EXPECT_EQ(c.stations[1].freq, 90000);
    EXPECT_EQ(c.stations[1].rssi, 60);
    EXPECT_TRUE(c.stations[1].stereo);
}

TEST(SimConfigJson, KeysNotNamedKeepTheirValues) {
    SimConfig c = SimConfig::WithDevices(2);
    c.devices[1].tuners = 3;
    c.devices[1].port = 4444;
    c.seed = 5;
    std::string error;
    ASSERT_TRUE(LoadConfig(Parse(R"({"repeat_ms": 100})"), c, error)) << error;
    EXPECT_EQ(c.repeat_ms, 100u);
    EXPECT_EQ(c.seed, 5u);
    ASSERT_EQ(c.devices.size(), 2u);
    EXPECT_EQ(c.devices[1].tuners, 3u);
    EXPECT_EQ(c.devices[1].port, 4444);
    EXPECT_EQ(c.stations, Sim::DefaultStations());

    // A devices array longer than the current list adds devices; "port": 0 asks for free ports.
    ASSERT_TRUE(LoadConfig(Parse(R"({"port": 0, "devices": [{}, {}, {"tuners": 6}]})"), c, error)) << error;
    ASSERT_EQ(c.devices.size(), 3u);
    EXPECT_EQ(c.devices[1].port, 0);
    EXPECT_EQ(c.devices[2].tuners, 6u);
}

TEST(SimConfigJson, MistakesAreRefusedWithTheKeyNamed) {
    EXPECT_EQ(ErrorOf(R"({"sead": 1})"), "sead: unknown key");
    EXPECT_EQ(ErrorOf(R"({"device": {"faults": {"in": {"lost": 0.1}}}})"),
              "device.faults.in.lost: unknown key");
    EXPECT_EQ(ErrorOf(R"({"device": {"faults": {"out": {"loss": 1.5}}}})"),
              "device.faults.out.loss: must be a probability from 0 to 1");
    EXPECT_EQ(ErrorOf(R"({"device": {"faults": {"in": {"dup": "half"}}}})"),
              "device.faults.in.dup: must be a number");
    EXPECT_EQ(ErrorOf(R"({"devices": [{"port": 70000}]})"),
              "devices[0].port: must be an integer from 0 to 65535");
    EXPECT_EQ(ErrorOf(R"({"devices": [{"freqs": [1, "x"]}]})"),
              "devices[0].freqs[1]: must be a 32-bit integer");
    EXPECT_EQ(ErrorOf(R"({"count": 0})"), "count: must be at least 1");
    EXPECT_EQ(ErrorOf(R"({"count": 1, "devices": [{}, {}]})"), "devices: has more entries than \"count\"");
    EXPECT_EQ(ErrorOf(R"({"port": 65535, "count": 2})"), "port: leaves no room for 2 devices");
    EXPECT_EQ(ErrorOf(R"({"max_sends": 0})"), "max_sends: must be at least 1");
    EXPECT_EQ(ErrorOf(R"({"verbose": 1})"), "verbose: must be true or false");
    EXPECT_EQ(ErrorOf(R"({"stations": [{"name": "x"}]})"), "stations[0]: needs \"freq\"");
    EXPECT_EQ(ErrorOf(R"({"stations": [{"freq": 1, "radiotext": "x"}]})"),
              "stations[0].radiotext: must be an array of strings");
    EXPECT_EQ(ErrorOf(R"({"devices": [{"unit_id": "\uD800"}]})"),
              "devices[0].unit_id: is not valid Unicode text");
    EXPECT_EQ(ErrorOf(R"([1])"), "settings: must be an object");
}

TEST(SimConfigJson, RefusedDocumentChangesNothing) {
    SimConfig c;
    c.seed = 3;
    std::string error;
    EXPECT_FALSE(LoadConfig(Parse(R"({"seed": 8, "bogus": true})"), c, error));
    EXPECT_EQ(c.seed, 3u);
    EXPECT_TRUE(c.devices.empty());
}

TEST(SimConfigJson, FromFile) {
    const std::filesystem::path dir =
        std::filesystem::path(NORVANE_TEST_BINARY_DIR) /
        ("sim_config_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / "settings.json";
    {
        std::ofstream out(file, std::ios::binary);
        out << "\xEF\xBB\xBF{\"count\": 2, \"device\": {\"unit_id\": \"K\xC3\xB6ln\"}}";
    }
    SimConfig c;
    std::string error;
    ASSERT_TRUE(Sim::LoadConfigFile(file, c, error)) << error;
    ASSERT_EQ(c.devices.size(), 2u);
    EXPECT_EQ(c.devices[1].unit_id, "K\xC3\xB6ln");

    EXPECT_FALSE(Sim::LoadConfigFile(dir / "missing.json", c, error));
    EXPECT_NE(error.find("cannot read JSON settings from"), std::string::npos) << error;
    EXPECT_NE(error.find("missing.json"), std::string::npos) << error;
    std::filesystem::remove_all(dir);
}

TEST(SimConfigJson, DefaultUnitIds) {
    EXPECT_EQ(Sim::DefaultUnitId(0), "SIM410-0001");
    EXPECT_EQ(Sim::DefaultUnitId(255), "SIM410-0256");
}

}  // namespace
