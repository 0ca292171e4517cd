// Running kxctl in-process: a command line through the same parsing and commands as the tool, with the
// two output streams captured; and the JSON of its output taken apart.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "json/value.h"
#include "kxctl/kxctl_lib.h"
#include "platform/utf8.h"

namespace kxctl_test {

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

// Parses `args` (without the program name) as kxctl does and runs the command. `adjust` may change the
// console (terminal flags, interruption) before the command runs.
inline Outcome RunKxctl(const std::vector<std::string>& args,
                        const std::function<void(Kxctl::Console&)>& adjust = {}) {
    std::vector<const char*> argv = {"kxctl"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    std::ostringstream out;
    std::ostringstream err;
    Kxctl::Settings settings;
    const Kxctl::ParseOutcome parsed =
        Kxctl::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), settings, out, err);
    Outcome outcome;
    outcome.code = parsed.exit_code;
    if (parsed.run) {
        Kxctl::Console console(out, err);
        if (adjust) {
            adjust(console);
        }
        outcome.code = Kxctl::Run(settings, console);
    }
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
}

inline JSON::Value ParseJson(const std::string& text) {
    JSON::Value value;
    EXPECT_TRUE(JSON::ParseText(text, value)) << "not JSON: " << text;
    return value;
}

// The keys of a JSON object.
inline std::set<std::string> Keys(const JSON::Value& object) {
    std::set<std::string> keys;
    if (object.GetType() == JSON::kObject) {
        for (const auto& [key, value] : object.object) {
            keys.insert(WideToUtf8(key));
        }
    }
    return keys;
}

inline std::string Utf8(const JSON::Value& string_value) {
    return WideToUtf8(string_value.GetString());
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

inline const std::set<std::string> kInfoKeys = {"unit_id",  "hardware",       "firmware",
                                                "software", "audio_protocol", "control_protocol",
                                                "rtp_port", "inputs",         "device_freq"};
inline const std::set<std::string> kQualityKeys = {"rssi", "snr", "multipath", "pilot", "valid"};
inline const std::set<std::string> kRdsKeys = {"psrv", "text", "time"};

inline std::set<std::string> Union(std::set<std::string> a, const std::set<std::string>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

}  // namespace kxctl_test
