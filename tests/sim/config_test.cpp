// The simulator's settings: every key from a JSON document and, where kxsim has one, from its flag; the
// mistakes both refuse, naming the key; a settings file.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "json/value.h"
#include "sim/config.h"
#include "temp_folder.h"

namespace {

using Sim::SimConfig;

bool Load(const std::string& text, SimConfig& c, std::string& error) {
    JSON::Value v;
    EXPECT_TRUE(JSON::ParseText(text, v)) << text;
    return Sim::LoadConfig(v, c, error);
}

// Applies one kxsim flag to one device with the defaults.
bool ApplyFlag(const std::string& flag, const std::string& value, SimConfig& c, std::string& error) {
    for (const Sim::SettingFlag& f : Sim::SettingFlags(c)) {
        if (f.option == flag || f.option.ends_with("," + flag)) {
            return f.apply(c, f.takes_value ? value : "true", error);
        }
    }
    error = "no flag " + flag;
    return false;
}

// A field as text; lists and sets item by item.
std::string Text(const auto& v) {
    std::ostringstream s;
    if constexpr (requires { v.begin(); } && !std::is_convertible_v<decltype(v), std::string>) {
        for (const auto& item : v) {
            s << item << ';';
        }
    } else {
        s << v;
    }
    return s.str();
}

struct KeyCase {
    std::string json;
    std::string flag;  // kxsim's flag for the key, empty when it has none
    std::string value;
    std::function<std::string(const SimConfig&)> field;
    std::string expected;
};

// clang-format off
#define RUN(field) [](const SimConfig& c) { return Text(c.field); }
#define DEV(expr) [](const SimConfig& c) { const Sim::DeviceConfig& d = c.devices.at(0); return expr; }
#define DIR(field) DEV(Text(d.faults.in.field) + "/" + Text(d.faults.out.field))
// clang-format on

// Port and tuners of every device.
std::string Devices(const SimConfig& c) {
    std::string text;
    for (const Sim::DeviceConfig& d : c.devices) {
        text += Text(d.port) + ":" + Text(d.tuners) + " ";
    }
    return text;
}

class SettingsKey : public ::testing::TestWithParam<KeyCase> {};

TEST_P(SettingsKey, ReachesItsFieldFromTheFileAndFromItsFlag) {
    const KeyCase& k = GetParam();
    SimConfig c = SimConfig::WithDevices(1);
    std::string error;
    ASSERT_TRUE(Load(k.json, c, error)) << error;
    EXPECT_EQ(k.field(c), k.expected) << k.json;
    if (!k.flag.empty()) {
        SimConfig f = SimConfig::WithDevices(1);
        ASSERT_TRUE(ApplyFlag(k.flag, k.value, f, error)) << error;
        EXPECT_EQ(k.field(f), k.expected) << k.flag;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Keys, SettingsKey, ::testing::Values(
    KeyCase{R"({"bind": "127.0.0.2"})", "--bind", "127.0.0.2", RUN(bind_address), "127.0.0.2"},
    KeyCase{R"({"discovery": false})", "", "", RUN(discovery), "0"},
    KeyCase{R"({"discovery_port": 16000})", "--discovery-port", "16000", RUN(discovery_port), "16000"},
    KeyCase{R"({"seed": 99})", "--seed", "99", RUN(seed), "99"},
    KeyCase{R"({"repeat_ms": 150})", "--repeat-ms", "150", RUN(repeat_ms), "150"},
    KeyCase{R"({"max_sends": 5})", "--max-sends", "5", RUN(max_sends), "5"},
    KeyCase{R"({"radiotext_ms": 700})", "--radiotext-ms", "700", RUN(radiotext_ms), "700"},
    KeyCase{R"({"discovery_spread_ms": 20})", "--discovery-spread-ms", "20", RUN(discovery_spread_ms), "20"},
    KeyCase{R"({"verbose": true})", "--verbose", "", RUN(verbose), "1"},
    KeyCase{R"({"device": {"unit_id": "A-\u00FC", "freqs": [100500, 94300]}})", "", "",
            DEV(d.unit_id + Text(d.freqs)), "A-\xC3\xBC" "100500;94300;"},
    KeyCase{R"({"device": {"port": 17100, "outputs": 2, "rtp_port": 6000, "hardware": 3, "firmware": 4,
                           "software": 5, "audio_protocol": 6, "control_protocol": 7}})", "", "",
            DEV(Text(d.port) + Text(d.outputs) + Text(d.rtp_port) + Text(d.hardware) + Text(d.firmware) +
                Text(d.software) + Text(d.audio_protocol) + Text(d.control_protocol)), "171002600034567"},
    KeyCase{R"({"device": {"tuners": 4}})", "--tuners", "4", DEV(Text(d.tuners)), "4"},
    KeyCase{R"({"device": {"model": "KX260"}})", "--model", "kX260", DEV(Sim::ModelName(d.model)), "kx260"},
    KeyCase{R"({"device": {"model": "kx9", "time_request_ms": 250}})", "--time-request-ms", "250",
            DEV(Text(d.time_request_ms)), "250"},
    KeyCase{R"({"device": {"device_freq": 44100}})", "--device-freq", "44100", DEV(Text(d.device_freq)), "44100"},
    KeyCase{R"({"device": {"faults": {"no_ack": true}}})", "--no-ack", "", DEV(Text(d.faults.no_ack)), "1"},
    KeyCase{R"({"device": {"faults": {"list_length_delta": -1}}})", "--list-delta", "-1",
            DEV(Text(d.faults.list_length_delta)), "-1"},
    KeyCase{R"({"device": {"faults": {"list_keys": ["snr", "text"]}}})", "--list-keys", "snr,text",
            DEV(Text(d.faults.list_keys)), "snr;text;"},
    KeyCase{R"({"device": {"faults": {"type_text": "KX260"}}})", "--type-text", "KX260", DEV(d.faults.type_text), "KX260"},
    KeyCase{R"({"device": {"faults": {"zero_device_freq": true}}})", "--zero-device-freq", "",
            DEV(Text(d.faults.zero_device_freq)), "1"},
    KeyCase{R"({"device": {"faults": {"audio_mute": true}}})", "--audio-mute", "", DEV(Text(d.faults.audio_mute)), "1"},
    KeyCase{R"({"device": {"faults": {"both": {"loss": 0.5}}}})", "--loss", "0.5", DIR(loss), "0.5/0.5"},
    KeyCase{R"({"device": {"faults": {"in": {"loss": 0.5}}}})", "--loss-in", "0.5", DIR(loss), "0.5/0"},
    KeyCase{R"({"device": {"faults": {"out": {"loss": 0.5}}}})", "--loss-out", "0.5", DIR(loss), "0/0.5"},
    KeyCase{R"({"device": {"faults": {"out": {"dup": 0.25}}}})", "--dup-out", "0.25", DIR(duplicate), "0/0.25"},
    KeyCase{R"({"device": {"faults": {"in": {"reorder": 1}}}})", "--reorder-in", "1", DIR(reorder), "1/0"},
    KeyCase{R"({"device": {"faults": {"in": {"delay_ms": 5}}}})", "--delay-in", "5", DIR(delay_ms), "5/0"},
    KeyCase{R"({"device": {"faults": {"out": {"jitter_ms": 7}}}})", "--jitter-out", "7", DIR(jitter_ms), "0/7"},
    KeyCase{R"({"device": {"faults": {"in": {"reorder_hold_ms": 9}}}})", "", "", DIR(reorder_hold_ms), "9/50"},
    // Devices count from "port" (0: free ports); "device" holds defaults that entries of "devices" refine.
    KeyCase{R"({"count": 3, "port": 17000, "device": {"tuners": 4}, "devices": [{"port": 17100}, {"tuners": 1}]})",
            "", "", Devices, "17100:4 17001:1 17002:4 "},
    KeyCase{R"({"port": 0, "devices": [{}, {"port": 9}]})", "", "", Devices, "0:2 9:2 "},
    // "both" applies first whatever the order of the keys; "in" and "out" refine it.
    KeyCase{R"({"device": {"faults": {"in": {"loss": 0.1}, "both": {"loss": 0.5}}}})", "", "", DIR(loss), "0.1/0.5"},
    KeyCase{R"({"stations": [{"freq": 99000, "name": "S \uD834\uDD1E", "radiotext": ["a/b"], "rssi": 50, "stereo": false}]})",
            "", "", [](const SimConfig& c) { const Sim::Station& s = c.stations.at(0);
                return Text(s.freq) + s.name + Text(s.radiotext) + Text(s.rssi) + Text(s.stereo); },
            "99000S \xF0\x9D\x84\x9E" "a/b;500"},
    // A station without tones plays those of the built-in station at its place.
    KeyCase{R"({"stations": [{"freq": 1, "tone_left_hz": 1000.5, "tone_right_hz": 0}, {"freq": 2}]})", "", "",
            [](const SimConfig& c) { std::string t;
                for (const Sim::Station& s : c.stations) { t += Text(s.tone_left_hz) + "/" + Text(s.tone_right_hz) + " "; }
                return t; },
            "1000.5/0 523.25/783.99 "}));
// clang-format on

struct MistakeCase {
    std::string json;  // or "--flag value"
    std::string error;
};

class SettingsMistake : public ::testing::TestWithParam<MistakeCase> {};

TEST_P(SettingsMistake, IsRefusedWithTheKeyNamedAndChangesNothing) {
    const std::string& in = GetParam().json;
    SimConfig c = SimConfig::WithDevices(1);
    c.seed = 3;
    std::string error;
    if (in.starts_with("--")) {
        const std::size_t blank = in.find(' ');
        EXPECT_FALSE(ApplyFlag(in.substr(0, blank), in.substr(blank + 1), c, error));
    } else {
        EXPECT_FALSE(Load(in, c, error));
        EXPECT_EQ(c.seed, 3u);
    }
    EXPECT_EQ(error, GetParam().error);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Mistakes, SettingsMistake, ::testing::Values(
    MistakeCase{R"({"seed": 8, "sead": 1})", "sead: unknown key"},
    MistakeCase{R"({"device": {"faults": {"in": {"lost": 0.1}}}})", "device.faults.in.lost: unknown key"},
    MistakeCase{R"({"device": {"faults": {"out": {"loss": 1.5}}}})", "device.faults.out.loss: must be a probability from 0 to 1"},
    MistakeCase{R"({"device": {"faults": {"both": {"dup": "half"}}}})", "device.faults.both.dup: must be a number"},
    MistakeCase{R"({"devices": [{"port": 70000}]})", "devices[0].port: must be an integer from 0 to 65535"},
    MistakeCase{R"({"devices": [{"freqs": [1, "x"]}]})", "devices[0].freqs[1]: must be an integer from -2147483648 to 2147483647"},
    MistakeCase{R"({"max_sends": 0})", "max_sends: must be an integer from 1 to 1000"},
    MistakeCase{R"({"count": 1, "devices": [{}, {}]})", "devices: has more entries than \"count\""},
    MistakeCase{R"({"port": 65535, "count": 2})", "port: leaves no room for 2 devices"},
    MistakeCase{R"({"verbose": 1})", "verbose: must be true or false"},
    MistakeCase{R"({"stations": [{"name": "x"}]})", "stations[0]: needs \"freq\""},
    MistakeCase{R"({"stations": [{"freq": 1, "tone_right_hz": 20001}]})", "stations[0].tone_right_hz: must be a number from 0 to 20000"},
    MistakeCase{R"({"devices": [{"unit_id": "\uD800"}]})", "devices[0].unit_id: is not valid Unicode text"},
    MistakeCase{R"([1])", "settings: must be an object"},
    MistakeCase{"--loss-out 2", "--loss-out: must be a probability from 0 to 1"},
    MistakeCase{R"({"devices": [{"model": "kx999"}]})", "devices[0].model: \"kx999\" is not a model (kx410, kx260 or kx9)"},
    MistakeCase{"--tuners x", "--tuners: must be an integer from 0 to 64"}));
// clang-format on

TEST(SimConfig, FromAFileWithAByteOrderMark) {
    const testing_support::TempFolder folder("sim-config");
    std::ofstream(folder / "settings.json", std::ios::binary)
        << "\xEF\xBB\xBF{\"count\": 2, \"device\": {\"unit_id\": \"K\xC3\xB6ln\"}}";
    SimConfig c;
    std::string error;
    ASSERT_TRUE(Sim::LoadConfigFile(folder / "settings.json", c, error)) << error;
    ASSERT_EQ(c.devices.size(), 2u);
    EXPECT_EQ(c.devices[1].unit_id, "K\xC3\xB6ln");
    EXPECT_FALSE(Sim::LoadConfigFile(folder / "missing.json", c, error));
    EXPECT_EQ(error.rfind("cannot read JSON settings from "), 0u) << error;
    std::ofstream(folder / "big.json", std::ios::binary) << std::string(65537, ' ');
    EXPECT_FALSE(Sim::LoadConfigFile(folder / "big.json", c, error));
    EXPECT_NE(error.find("holds 65537 bytes"), std::string::npos) << error;
}

}  // namespace
