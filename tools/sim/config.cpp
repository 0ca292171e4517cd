#include "sim/config.h"

#include <cstdio>
#include <limits>

#include "json/value.h"
#include "platform/utf8.h"

namespace Sim {

SimConfig SimConfig::WithDevices(std::size_t n) {
    SimConfig config;
    config.devices.resize(n);
    return config;
}

std::string DefaultUnitId(std::size_t index) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "SIM410-%04zu", index + 1);
    return buffer;
}

namespace {

// Reads typed values out of JSON, naming the offending key in its message.
class Reader {
public:
    explicit Reader(std::string& error) : error_(error) {}

    bool Fail(const std::string& where, const std::string& what) {
        error_ = where + ": " + what;
        return false;
    }

    bool Object(const JSON::Value& v, const std::string& where) {
        return v.type == JSON::kObject || Fail(where, "must be an object");
    }

    template <class T>
    bool UInt(const JSON::Value& v, const std::string& where, T& out,
              std::uint64_t max = std::numeric_limits<T>::max()) {
        if (v.type != JSON::kInteger || v.integer < 0 || static_cast<std::uint64_t>(v.integer) > max) {
            return Fail(where, "must be an integer from 0 to " + std::to_string(max));
        }
        out = static_cast<T>(v.integer);
        return true;
    }

    bool Int32(const JSON::Value& v, const std::string& where, std::int32_t& out) {
        if (v.type != JSON::kInteger || v.integer < std::numeric_limits<std::int32_t>::min() ||
            v.integer > std::numeric_limits<std::int32_t>::max()) {
            return Fail(where, "must be a 32-bit integer");
        }
        out = static_cast<std::int32_t>(v.integer);
        return true;
    }

    bool Probability(const JSON::Value& v, const std::string& where, double& out) {
        double d = 0;
        if (v.type == JSON::kInteger) {
            d = static_cast<double>(v.integer);
        } else if (v.type == JSON::kDouble) {
            d = v.number;
        } else {
            return Fail(where, "must be a number");
        }
        if (!(d >= 0.0 && d <= 1.0)) {
            return Fail(where, "must be a probability from 0 to 1");
        }
        out = d;
        return true;
    }

    bool Bool(const JSON::Value& v, const std::string& where, bool& out) {
        if (v.type != JSON::kLiteral || (v.literal != JSON::kTrue && v.literal != JSON::kFalse)) {
            return Fail(where, "must be true or false");
        }
        out = v.literal == JSON::kTrue;
        return true;
    }

    bool String(const JSON::Value& v, const std::string& where, std::string& out) {
        if (v.type != JSON::kString) {
            return Fail(where, "must be a string");
        }
        std::string text = WideToUtf8(v.string);
        if (text.empty() && !v.string.empty()) {
            return Fail(where, "is not valid Unicode text");
        }
        out = std::move(text);
        return true;
    }

    bool StringList(const JSON::Value& v, const std::string& where, std::vector<std::string>& out) {
        if (v.type != JSON::kArray) {
            return Fail(where, "must be an array of strings");
        }
        std::vector<std::string> list;
        for (std::size_t i = 0; i < v.array.size(); ++i) {
            std::string s;
            if (!String(v.array[i], where + "[" + std::to_string(i) + "]", s)) {
                return false;
            }
            list.push_back(std::move(s));
        }
        out = std::move(list);
        return true;
    }

private:
    std::string& error_;
};

std::string Key(const std::wstring& key) {
    return WideToUtf8(key);
}

bool LoadDirection(Reader& r, const JSON::Value& v, DirectionFaults& d, const std::string& where) {
    if (!r.Object(v, where)) {
        return false;
    }
    for (const auto& [wkey, item] : v.object) {
        const std::string key = Key(wkey);
        const std::string at = where + "." + key;
        bool ok = true;
        if (key == "loss") {
            ok = r.Probability(item, at, d.loss);
        } else if (key == "dup") {
            ok = r.Probability(item, at, d.duplicate);
        } else if (key == "reorder") {
            ok = r.Probability(item, at, d.reorder);
        } else if (key == "delay_ms") {
            ok = r.UInt(item, at, d.delay_ms, 600000);
        } else if (key == "jitter_ms") {
            ok = r.UInt(item, at, d.jitter_ms, 600000);
        } else if (key == "reorder_hold_ms") {
            ok = r.UInt(item, at, d.reorder_hold_ms, 600000);
        } else {
            ok = r.Fail(at, "unknown key");
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool LoadFaultsWith(Reader& r, const JSON::Value& v, Faults& f, const std::string& where) {
    if (!r.Object(v, where)) {
        return false;
    }
    // "both" first, so "in" and "out" refine it whatever the key order.
    if (const JSON::Value* both = v.FindItem(L"both")) {
        if (!LoadDirection(r, *both, f.in, where + ".both") ||
            !LoadDirection(r, *both, f.out, where + ".both")) {
            return false;
        }
    }
    for (const auto& [wkey, item] : v.object) {
        const std::string key = Key(wkey);
        const std::string at = where + "." + key;
        bool ok = true;
        if (key == "both") {
            continue;
        } else if (key == "in") {
            ok = LoadDirection(r, item, f.in, at);
        } else if (key == "out") {
            ok = LoadDirection(r, item, f.out, at);
        } else if (key == "no_ack") {
            ok = r.Bool(item, at, f.no_ack);
        } else if (key == "list_length_delta") {
            std::int32_t delta = 0;
            ok = r.Int32(item, at, delta);
            if (ok && (delta < -1000 || delta > 1000)) {
                ok = r.Fail(at, "must be from -1000 to 1000");
            }
            f.list_length_delta = delta;
        } else if (key == "list_keys") {
            std::vector<std::string> keys;
            ok = r.StringList(item, at, keys);
            f.list_keys = std::set<std::string>(keys.begin(), keys.end());
        } else if (key == "type_text") {
            ok = r.String(item, at, f.type_text);
        } else if (key == "zero_device_freq") {
            ok = r.Bool(item, at, f.zero_device_freq);
        } else {
            ok = r.Fail(at, "unknown key");
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool LoadDevice(Reader& r, const JSON::Value& v, DeviceConfig& d, const std::string& where) {
    if (!r.Object(v, where)) {
        return false;
    }
    for (const auto& [wkey, item] : v.object) {
        const std::string key = Key(wkey);
        const std::string at = where + "." + key;
        bool ok = true;
        if (key == "unit_id") {
            ok = r.String(item, at, d.unit_id);
        } else if (key == "port") {
            ok = r.UInt(item, at, d.port);
        } else if (key == "tuners") {
            ok = r.UInt(item, at, d.tuners, 64);
        } else if (key == "outputs") {
            ok = r.UInt(item, at, d.outputs, 64);
        } else if (key == "device_freq") {
            ok = r.UInt(item, at, d.device_freq);
        } else if (key == "rtp_port") {
            ok = r.UInt(item, at, d.rtp_port, 65535);
        } else if (key == "hardware") {
            ok = r.UInt(item, at, d.hardware);
        } else if (key == "firmware") {
            ok = r.UInt(item, at, d.firmware);
        } else if (key == "software") {
            ok = r.UInt(item, at, d.software);
        } else if (key == "audio_protocol") {
            ok = r.UInt(item, at, d.audio_protocol);
        } else if (key == "control_protocol") {
            ok = r.UInt(item, at, d.control_protocol);
        } else if (key == "freqs") {
            if (item.type != JSON::kArray) {
                ok = r.Fail(at, "must be an array of integers");
            } else {
                std::vector<std::int32_t> freqs;
                for (std::size_t i = 0; ok && i < item.array.size(); ++i) {
                    std::int32_t f = 0;
                    ok = r.Int32(item.array[i], at + "[" + std::to_string(i) + "]", f);
                    freqs.push_back(f);
                }
                if (ok) {
                    d.freqs = std::move(freqs);
                }
            }
        } else if (key == "faults") {
            ok = LoadFaultsWith(r, item, d.faults, at);
        } else {
            ok = r.Fail(at, "unknown key");
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool LoadStation(Reader& r, const JSON::Value& v, Station& s, const std::string& where) {
    if (!r.Object(v, where)) {
        return false;
    }
    if (v.FindItem(L"freq") == nullptr) {
        return r.Fail(where, "needs \"freq\"");
    }
    for (const auto& [wkey, item] : v.object) {
        const std::string key = Key(wkey);
        const std::string at = where + "." + key;
        bool ok = true;
        if (key == "freq") {
            ok = r.Int32(item, at, s.freq);
        } else if (key == "name") {
            ok = r.String(item, at, s.name);
        } else if (key == "radiotext") {
            ok = r.StringList(item, at, s.radiotext);
        } else if (key == "rssi") {
            ok = r.Int32(item, at, s.rssi);
        } else if (key == "stereo") {
            ok = r.Bool(item, at, s.stereo);
        } else {
            ok = r.Fail(at, "unknown key");
        }
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool LoadFaults(const JSON::Value& value, Faults& faults, std::string& error, const std::string& where) {
    Reader r(error);
    Faults f = faults;
    if (!LoadFaultsWith(r, value, f, where)) {
        return false;
    }
    faults = std::move(f);
    return true;
}

bool LoadConfig(const JSON::Value& root, SimConfig& config, std::string& error) {
    Reader r(error);
    if (!r.Object(root, "settings")) {
        return false;
    }
    SimConfig c = config;
    std::size_t count = c.devices.empty() ? 1 : c.devices.size();
    bool has_count = false;
    std::uint16_t base_port = 0;
    bool has_port = false;
    const JSON::Value* device_defaults = nullptr;
    const JSON::Value* devices = nullptr;

    for (const auto& [wkey, item] : root.object) {
        const std::string key = Key(wkey);
        bool ok = true;
        if (key == "bind") {
            ok = r.String(item, key, c.bind_address);
        } else if (key == "discovery") {
            ok = r.Bool(item, key, c.discovery);
        } else if (key == "discovery_port") {
            ok = r.UInt(item, key, c.discovery_port);
        } else if (key == "seed") {
            ok = r.UInt(item, key, c.seed,
                        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()));
        } else if (key == "repeat_ms") {
            ok = r.UInt(item, key, c.repeat_ms, 600000);
        } else if (key == "max_sends") {
            ok = r.UInt(item, key, c.max_sends, 1000);
            if (ok && c.max_sends == 0) {
                ok = r.Fail(key, "must be at least 1");
            }
        } else if (key == "radiotext_ms") {
            ok = r.UInt(item, key, c.radiotext_ms, 86400000);
            if (ok && c.radiotext_ms == 0) {
                ok = r.Fail(key, "must be at least 1");
            }
        } else if (key == "discovery_spread_ms") {
            ok = r.UInt(item, key, c.discovery_spread_ms, 60000);
        } else if (key == "verbose") {
            ok = r.Bool(item, key, c.verbose);
        } else if (key == "count") {
            ok = r.UInt(item, key, count, 4096);
            if (ok && count == 0) {
                ok = r.Fail(key, "must be at least 1");
            }
            has_count = true;
        } else if (key == "port") {
            ok = r.UInt(item, key, base_port);
            has_port = true;
        } else if (key == "device") {
            device_defaults = &item;
        } else if (key == "devices") {
            devices = &item;
            if (item.type != JSON::kArray) {
                ok = r.Fail(key, "must be an array of objects");
            }
        } else if (key == "stations") {
            if (item.type != JSON::kArray) {
                ok = r.Fail(key, "must be an array of objects");
            } else {
                std::vector<Station> stations;
                for (std::size_t i = 0; ok && i < item.array.size(); ++i) {
                    Station s;
                    s.rssi = 60;
                    ok = LoadStation(r, item.array[i], s, "stations[" + std::to_string(i) + "]");
                    stations.push_back(std::move(s));
                }
                if (ok) {
                    c.stations = std::move(stations);
                }
            }
        } else {
            ok = r.Fail(key, "unknown key");
        }
        if (!ok) {
            return false;
        }
    }

    if (!has_count && devices != nullptr && devices->array.size() > count) {
        count = devices->array.size();
    }
    if (has_count && devices != nullptr && devices->array.size() > count) {
        return r.Fail("devices", "has more entries than \"count\"");
    }
    c.devices.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        DeviceConfig& d = c.devices[i];
        if (device_defaults != nullptr && !LoadDevice(r, *device_defaults, d, "device")) {
            return false;
        }
        if (has_port && base_port != 0) {
            if (base_port + i > 65535) {
                return r.Fail("port", "leaves no room for " + std::to_string(count) + " devices");
            }
            d.port = static_cast<std::uint16_t>(base_port + i);
        } else if (has_port) {
            d.port = 0;
        }
        if (devices != nullptr && i < devices->array.size() &&
            !LoadDevice(r, devices->array[i], d, "devices[" + std::to_string(i) + "]")) {
            return false;
        }
    }
    config = std::move(c);
    return true;
}

bool LoadConfigFile(const std::filesystem::path& path, SimConfig& config, std::string& error) {
    JSON::Value root;
    if (!JSON::ParseFile(path, root)) {
        const std::u8string name = path.u8string();
        error = "cannot read JSON settings from " + std::string(name.begin(), name.end());
        return false;
    }
    return LoadConfig(root, config, error);
}

}  // namespace Sim
