#include "sim/config.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <span>
#include <type_traits>
#include <variant>

#include "json/value.h"
#include "platform/file.h"
#include "platform/utf8.h"

namespace Sim {

SimConfig SimConfig::WithDevices(std::size_t n) {
    SimConfig config;
    config.devices.resize(n);
    return config;
}

std::string DefaultUnitId(std::size_t index) {
    return DefaultUnitId(index, Model::kKx410);
}

std::string DefaultUnitId(std::size_t index, Model model) {
    char buffer[32];
    // The model's number: its name after "kx".
    std::snprintf(buffer, sizeof(buffer), "SIM%s-%04zu", ModelName(model) + 2, index + 1);
    return buffer;
}

const char* ModelName(Model model) noexcept {
    switch (model) {
        case Model::kKx260:
            return "kx260";
        case Model::kKx9:
            return "kx9";
        case Model::kKx410:
            break;
    }
    return "kx410";
}

std::string ModelTypeText(Model model) {
    std::string text = ModelName(model);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
    return text;
}

bool ParseModel(std::string_view text, Model& out) noexcept {
    for (const Model model : {Model::kKx410, Model::kKx260, Model::kKx9}) {
        const std::string_view name = ModelName(model);
        if (text.size() == name.size() &&
            std::equal(text.begin(), text.end(), name.begin(), [](char a, char b) {
                return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
            })) {
            out = model;
            return true;
        }
    }
    return false;
}

namespace {

bool Fail(std::string& error, const std::string& at, const std::string& what) {
    error = at + ": " + what;
    return false;
}

// Bounds of an integer key beyond those of its field's type.
struct Range {
    std::int64_t min = std::numeric_limits<std::int64_t>::min();
    std::int64_t max = std::numeric_limits<std::int64_t>::max();
};

// ---- one JSON value into one field, by the field's type ----

template <class T>
requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) bool Read(const JSON::Value& v, T& out,
                                                                      Range range, const std::string& at,
                                                                      std::string& error) {
    constexpr std::int64_t kTypeMax = std::numeric_limits<T>::max() > std::numeric_limits<std::int64_t>::max()
                                          ? std::numeric_limits<std::int64_t>::max()
                                          : static_cast<std::int64_t>(std::numeric_limits<T>::max());
    const std::int64_t lo = std::max<std::int64_t>(range.min, std::numeric_limits<T>::min());
    const std::int64_t hi = std::min<std::int64_t>(range.max, kTypeMax);
    if (v.type != JSON::kInteger || v.integer < lo || v.integer > hi) {
        return Fail(error, at, "must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
    }
    out = static_cast<T>(v.integer);
    return true;
}

// A double without bounds of its own is a probability.
bool Read(const JSON::Value& v, double& out, Range range, const std::string& at, std::string& error) {
    if (v.type != JSON::kInteger && v.type != JSON::kDouble) {
        return Fail(error, at, "must be a number");
    }
    const double d = v.type == JSON::kInteger ? static_cast<double>(v.integer) : v.number;
    if (range.max != Range{}.max) {
        if (!(d >= static_cast<double>(range.min) && d <= static_cast<double>(range.max))) {
            return Fail(
                error, at,
                "must be a number from " + std::to_string(range.min) + " to " + std::to_string(range.max));
        }
    } else if (!(d >= 0.0 && d <= 1.0)) {
        return Fail(error, at, "must be a probability from 0 to 1");
    }
    out = d;
    return true;
}

bool Read(const JSON::Value& v, bool& out, Range, const std::string& at, std::string& error) {
    if (v.type != JSON::kLiteral || (v.literal != JSON::kTrue && v.literal != JSON::kFalse)) {
        return Fail(error, at, "must be true or false");
    }
    out = v.literal == JSON::kTrue;
    return true;
}

bool Read(const JSON::Value& v, std::string& out, Range, const std::string& at, std::string& error) {
    if (v.type != JSON::kString) {
        return Fail(error, at, "must be a string");
    }
    std::string text = WideToUtf8(v.string);
    if (text.empty() && !v.string.empty()) {
        return Fail(error, at, "is not valid Unicode text");
    }
    out = std::move(text);
    return true;
}

bool Read(const JSON::Value& v, Model& out, Range, const std::string& at, std::string& error) {
    std::string text;
    if (!Read(v, text, {}, at, error)) {
        return false;
    }
    if (!ParseModel(text, out)) {
        return Fail(error, at, "\"" + text + "\" is not a model (kx410, kx260 or kx9)");
    }
    return true;
}

template <class T>
bool Read(const JSON::Value& v, std::vector<T>& out, Range range, const std::string& at, std::string& error) {
    if (v.type != JSON::kArray) {
        return Fail(error, at, "must be an array");
    }
    std::vector<T> list(v.array.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!Read(v.array[i], list[i], range, at + "[" + std::to_string(i) + "]", error)) {
            return false;
        }
    }
    out = std::move(list);
    return true;
}

bool Read(const JSON::Value& v, std::set<std::string>& out, Range range, const std::string& at,
          std::string& error) {
    std::vector<std::string> list;
    if (!Read(v, list, range, at, error)) {
        return false;
    }
    out = std::set<std::string>(list.begin(), list.end());
    return true;
}

// ---- the table of keys ----

template <class T>
using Field = std::variant<bool T::*, Model T::*, std::uint16_t T::*, std::uint32_t T::*, std::uint64_t T::*,
                           std::int32_t T::*, double T::*, std::string T::*, std::vector<std::string> T::*,
                           std::vector<std::int32_t> T::*, std::set<std::string> T::*>;

// One settings key of an object of type T: its JSON name, its field, its bounds and, when kxsim takes it
// as a flag, the flag and its help.
template <class T>
struct Key {
    const char* name;
    Field<T> field;
    Range range = {};
    const char* flag = nullptr;
    const char* help = nullptr;
};

constexpr Range kMs{0, 600000};

const Key<SimConfig> kRunKeys[] = {
    {"bind",
     &SimConfig::bind_address,
     {},
     "--bind",
     "local address of every socket (0.0.0.0 serves the LAN)"},
    {"discovery", &SimConfig::discovery},
    {"discovery_port",
     &SimConfig::discovery_port,
     {},
     "--discovery-port",
     "discovery port; 0 picks a free port"},
    {"seed", &SimConfig::seed, {}, "--seed", "seed of the fault decisions"},
    {"repeat_ms", &SimConfig::repeat_ms, kMs, "--repeat-ms",
     "repetition interval of unacknowledged answers, ms"},
    {"max_sends",
     &SimConfig::max_sends,
     {1, 1000},
     "--max-sends",
     "sends of an answer before it is given up"},
    {"radiotext_ms",
     &SimConfig::radiotext_ms,
     {1, 86400000},
     "--radiotext-ms",
     "how long each radiotext stays, ms"},
    {"discovery_spread_ms",
     &SimConfig::discovery_spread_ms,
     {0, 60000},
     "--discovery-spread-ms",
     "devices answer a discovery after a random delay up to this, ms"},
    {"verbose", &SimConfig::verbose, {}, "-v,--verbose", "one line per datagram in and out"},
};

const Key<DeviceConfig> kDeviceKeys[] = {
    {"model",
     &DeviceConfig::model,
     {},
     "--model",
     "model of the devices: kx410 (FM tuners), kx260 (audio interface), kx9 (asks for the time)"},
    {"unit_id", &DeviceConfig::unit_id},
    {"port", &DeviceConfig::port},
    {"tuners", &DeviceConfig::tuners, {0, 64}, "--tuners", "tuners per device (a KX260's: its inputs)"},
    {"outputs", &DeviceConfig::outputs, {0, 64}},
    {"device_freq",
     &DeviceConfig::device_freq,
     {},
     "--device-freq",
     "sample frequency reported in \"state\", Hz"},
    {"rtp_port", &DeviceConfig::rtp_port, {0, 65535}},
    {"hardware", &DeviceConfig::hardware},
    {"firmware", &DeviceConfig::firmware},
    {"software", &DeviceConfig::software},
    {"audio_protocol", &DeviceConfig::audio_protocol},
    {"control_protocol", &DeviceConfig::control_protocol},
    {"freqs", &DeviceConfig::freqs},
    {"time_request_ms",
     &DeviceConfig::time_request_ms,
     {1, 86400000},
     "--time-request-ms",
     "a KX9 asks its host for the time this often, ms"},
};

const Key<Faults> kFaultKeys[] = {
    {"no_ack", &Faults::no_ack, {}, "--no-ack", "the devices acknowledge nothing"},
    {"list_length_delta",
     &Faults::list_length_delta,
     {-1000, 1000},
     "--list-delta",
     "answer lists get this many entries more (or fewer) than tuners"},
    {"list_keys",
     &Faults::list_keys,
     {},
     "--list-keys",
     "only these lists get the wrong length (freq, rssi, snr, multipath, pilot, valid, psrv, text, time, "
     "inputs)"},
    {"type_text",
     &Faults::type_text,
     {},
     "--type-text",
     "\"unit_type\" reported instead of KX410 (e.g. KX260)"},
    {"zero_device_freq",
     &Faults::zero_device_freq,
     {},
     "--zero-device-freq",
     "\"state\" reports device frequency 0"},
    {"audio_mute",
     &Faults::audio_mute,
     {},
     "--audio-mute",
     "the devices send no audio (their streams pause)"},
    {"dev_info_flood",
     &Faults::dev_info_flood,
     {},
     "--dev-info-flood",
     "each dev_find starts a stream of dev_info answers at N per second (4294967295: at full speed)"},
    {"get_time_flood",
     &Faults::get_time_flood,
     {},
     "--get-time-flood",
     "a host that talks to a device gets get_time requests at N per second (4294967295: at full speed)"},
};

const Key<DirectionFaults> kDirectionKeys[] = {
    {"loss", &DirectionFaults::loss, {}, "--loss", "datagram loss probability (0..1)"},
    {"dup", &DirectionFaults::duplicate, {}, "--dup", "datagram duplication probability (0..1)"},
    {"reorder", &DirectionFaults::reorder, {}, "--reorder", "datagram reordering probability (0..1)"},
    {"delay_ms", &DirectionFaults::delay_ms, kMs, "--delay", "fixed delay, ms"},
    {"jitter_ms", &DirectionFaults::jitter_ms, kMs, "--jitter", "random extra delay (0 to N), ms"},
    {"reorder_hold_ms", &DirectionFaults::reorder_hold_ms, kMs},
};

// Tones up to 20 kHz: below half the lower device frequency (44100 Hz), so every tone is a tone.
constexpr Range kToneHz{0, 20000};

const Key<Station> kStationKeys[] = {
    {"freq", &Station::freq},
    {"name", &Station::name},
    {"radiotext", &Station::radiotext},
    {"rssi", &Station::rssi},
    {"stereo", &Station::stereo},
    {"tone_left_hz", &Station::tone_left_hz, kToneHz},
    {"tone_right_hz", &Station::tone_right_hz, kToneHz},
};

template <class T>
bool ReadKey(const Key<T>& key, const JSON::Value& v, T& target, const std::string& at, std::string& error) {
    return std::visit([&](auto member) { return Read(v, target.*member, key.range, at, error); }, key.field);
}

// Reads every item of object `v` through `keys`; an item the table lacks goes to `other`.
template <class T, class Other>
bool ReadObject(const JSON::Value& v, std::span<const Key<T>> keys, T& target, const std::string& where,
                std::string& error, Other&& other) {
    if (v.type != JSON::kObject) {
        return Fail(error, where, "must be an object");
    }
    for (const auto& [wkey, item] : v.object) {
        const std::string key = WideToUtf8(wkey);
        const std::string at = where.empty() ? key : where + "." + key;
        const auto row =
            std::find_if(keys.begin(), keys.end(), [&](const Key<T>& k) { return key == k.name; });
        if (!(row != keys.end() ? ReadKey(*row, item, target, at, error) : other(key, item, at))) {
            return false;
        }
    }
    return true;
}

template <class T>
bool ReadObject(const JSON::Value& v, std::span<const Key<T>> keys, T& target, const std::string& where,
                std::string& error) {
    return ReadObject(v, keys, target, where, error,
                      [&](const std::string&, const JSON::Value&, const std::string& at) {
                          return Fail(error, at, "unknown key");
                      });
}

bool LoadFaultsWith(const JSON::Value& v, Faults& f, const std::string& where, std::string& error) {
    const std::span<const Key<DirectionFaults>> direction(kDirectionKeys);
    // "both" first, so "in" and "out" refine it whatever the key order.
    if (const JSON::Value* both = v.type == JSON::kObject ? v.FindItem(L"both") : nullptr) {
        if (!ReadObject(*both, direction, f.in, where + ".both", error) ||
            !ReadObject(*both, direction, f.out, where + ".both", error)) {
            return false;
        }
    }
    return ReadObject(v, std::span<const Key<Faults>>(kFaultKeys), f, where, error,
                      [&](const std::string& key, const JSON::Value& item, const std::string& at) {
                          if (key == "both") {
                              return true;
                          }
                          if (key == "in" || key == "out") {
                              return ReadObject(item, direction, key == "in" ? f.in : f.out, at, error);
                          }
                          return Fail(error, at, "unknown key");
                      });
}

bool LoadDevice(const JSON::Value& v, DeviceConfig& d, const std::string& where, std::string& error) {
    return ReadObject(v, std::span<const Key<DeviceConfig>>(kDeviceKeys), d, where, error,
                      [&](const std::string& key, const JSON::Value& item, const std::string& at) {
                          return key == "faults" ? LoadFaultsWith(item, d.faults, at, error)
                                                 : Fail(error, at, "unknown key");
                      });
}

bool LoadStation(const JSON::Value& v, Station& s, const std::string& where, std::string& error) {
    if (v.type == JSON::kObject && v.FindItem(L"freq") == nullptr) {
        return Fail(error, where, "needs \"freq\"");
    }
    return ReadObject(v, std::span<const Key<Station>>(kStationKeys), s, where, error);
}

// ---- flags ----

// The JSON value a flag's text stands for, of the kind field type F takes.
template <class F>
JSON::Value FromText(const std::string& text) {
    JSON::Value v;
    if constexpr (std::is_same_v<F, std::string> || std::is_same_v<F, Model>) {
        v.SetString(Utf8ToWide(text));
    } else if constexpr (std::is_same_v<F, std::set<std::string>> ||
                         std::is_same_v<F, std::vector<std::string>>) {
        v.ClearArray();
        for (std::size_t start = 0; start <= text.size();) {
            const std::size_t comma = std::min(text.find(',', start), text.size());
            v[static_cast<std::uint64_t>(v.ArraySize())].SetString(
                Utf8ToWide(text.substr(start, comma - start)));
            start = comma + 1;
        }
    } else if (!JSON::ParseText(text, v)) {
        v.SetString(Utf8ToWide(text));  // refused by the field's check, naming the flag
    }
    return v;
}

template <class F>
std::string DefaultText(const F& value) {
    if constexpr (std::is_same_v<F, std::string>) {
        return value.empty() ? std::string() : " (default " + value + ")";
    } else if constexpr (std::is_same_v<F, Model>) {
        return std::string(" (default ") + ModelName(value) + ")";
    } else if constexpr (std::is_arithmetic_v<F> && !std::is_same_v<F, bool>) {
        char buffer[32];
        if constexpr (std::is_floating_point_v<F>) {
            std::snprintf(buffer, sizeof(buffer), "%g", value);
        } else {
            std::snprintf(buffer, sizeof(buffer), "%lld", static_cast<long long>(value));
        }
        return std::string(" (default ") + buffer + ")";
    } else {
        return std::string();
    }
}

// Adds the flags of `keys`; `targets` hands the objects of a config that one flag sets.
template <class T, class Targets>
void AddFlags(std::vector<SettingFlag>& out, std::span<const Key<T>> keys, const T& defaults,
              const char* suffix, const char* help_suffix, const char* group, Targets targets) {
    for (const Key<T>& key : keys) {
        if (key.flag == nullptr) {
            continue;
        }
        std::visit(
            [&](auto member) {
                using F = std::remove_cvref_t<decltype(defaults.*member)>;
                const std::string option = std::string(key.flag) + suffix;
                const std::string name = option.substr(option.rfind(',') + 1);
                SettingFlag flag;
                flag.option = option;
                flag.help = std::string(key.help) + help_suffix + DefaultText(defaults.*member);
                flag.group = group;
                flag.takes_value = !std::is_same_v<F, bool>;
                flag.value_name = std::is_integral_v<F> ? "INT" : std::is_arithmetic_v<F> ? "NUMBER" : "TEXT";
                flag.apply = [key, name, targets](SimConfig& config, const std::string& text,
                                                  std::string& error) {
                    const JSON::Value v = FromText<F>(text);
                    for (T* target : targets(config)) {
                        if (!ReadKey(key, v, *target, name, error)) {
                            return false;
                        }
                    }
                    return true;
                };
                out.push_back(std::move(flag));
            },
            key.field);
    }
}

}  // namespace

std::vector<SettingFlag> SettingFlags(const SimConfig& defaults) {
    std::vector<SettingFlag> flags;
    AddFlags(flags, std::span<const Key<SimConfig>>(kRunKeys), defaults, "", "", "",
             [](SimConfig& c) { return std::vector<SimConfig*>{&c}; });
    AddFlags(flags, std::span<const Key<DeviceConfig>>(kDeviceKeys), DeviceConfig{}, "", "", "",
             [](SimConfig& c) {
                 std::vector<DeviceConfig*> all;
                 for (DeviceConfig& d : c.devices) {
                     all.push_back(&d);
                 }
                 return all;
             });
    AddFlags(flags, std::span<const Key<Faults>>(kFaultKeys), Faults{}, "", "", "Faults", [](SimConfig& c) {
        std::vector<Faults*> all;
        for (DeviceConfig& d : c.devices) {
            all.push_back(&d.faults);
        }
        return all;
    });
    // Each direction key gives three flags: both directions, then towards and from the devices.
    struct Direction {
        const char* suffix;
        const char* help;
        bool in, out;
    };
    for (const Key<DirectionFaults>& key : kDirectionKeys) {
        for (const Direction& dir : {Direction{"", ", both directions", true, true},
                                     Direction{"-in", ", towards the devices", true, false},
                                     Direction{"-out", ", from the devices", false, true}}) {
            AddFlags(flags, std::span<const Key<DirectionFaults>>(&key, 1), DirectionFaults{}, dir.suffix,
                     dir.help, "Faults", [dir](SimConfig& c) {
                         std::vector<DirectionFaults*> all;
                         for (DeviceConfig& d : c.devices) {
                             if (dir.in) {
                                 all.push_back(&d.faults.in);
                             }
                             if (dir.out) {
                                 all.push_back(&d.faults.out);
                             }
                         }
                         return all;
                     });
        }
    }
    return flags;
}

bool LoadFaults(const JSON::Value& value, Faults& faults, std::string& error, const std::string& where) {
    Faults f = faults;
    if (!LoadFaultsWith(value, f, where, error)) {
        return false;
    }
    faults = std::move(f);
    return true;
}

bool LoadConfig(const JSON::Value& root, SimConfig& config, std::string& error) {
    if (root.type != JSON::kObject) {
        return Fail(error, "settings", "must be an object");
    }
    SimConfig c = config;
    std::size_t count = c.devices.empty() ? 1 : c.devices.size();
    bool has_count = false;
    std::uint16_t base_port = 0;
    bool has_port = false;
    const JSON::Value* device_defaults = nullptr;
    const JSON::Value* devices = nullptr;

    const bool ok =
        ReadObject(root, std::span<const Key<SimConfig>>(kRunKeys), c, "", error,
                   [&](const std::string& key, const JSON::Value& item, const std::string& at) {
                       if (key == "count") {
                           has_count = true;
                           return Read(item, count, Range{1, 4096}, at, error);
                       }
                       if (key == "port") {
                           has_port = true;
                           return Read(item, base_port, Range{}, at, error);
                       }
                       if (key == "device") {
                           device_defaults = &item;
                           return true;
                       }
                       if (key == "devices") {
                           devices = &item;
                           return item.type == JSON::kArray || Fail(error, at, "must be an array of objects");
                       }
                       if (key == "stations") {
                           if (item.type != JSON::kArray) {
                               return Fail(error, at, "must be an array of objects");
                           }
                           std::vector<Station> stations(item.array.size());
                           const std::vector<Station>& built_in = DefaultStations();
                           for (std::size_t i = 0; i < stations.size(); ++i) {
                               // Without tone keys a station plays the tones of the built-in
                               // station at its place, so the stations of a file differ too.
                               stations[i].tone_left_hz = built_in[i % built_in.size()].tone_left_hz;
                               stations[i].tone_right_hz = built_in[i % built_in.size()].tone_right_hz;
                               if (!LoadStation(item.array[i], stations[i],
                                                "stations[" + std::to_string(i) + "]", error)) {
                                   return false;
                               }
                           }
                           c.stations = std::move(stations);
                           return true;
                       }
                       return Fail(error, at, "unknown key");
                   });
    if (!ok) {
        return false;
    }

    if (devices != nullptr && devices->array.size() > count) {
        if (has_count) {
            return Fail(error, "devices", "has more entries than \"count\"");
        }
        count = devices->array.size();
    }
    c.devices.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        DeviceConfig& d = c.devices[i];
        if (device_defaults != nullptr && !LoadDevice(*device_defaults, d, "device", error)) {
            return false;
        }
        if (has_port && base_port != 0) {
            if (base_port + i > 65535) {
                return Fail(error, "port", "leaves no room for " + std::to_string(count) + " devices");
            }
            d.port = static_cast<std::uint16_t>(base_port + i);
        } else if (has_port) {
            d.port = 0;
        }
        if (devices != nullptr && i < devices->array.size() &&
            !LoadDevice(devices->array[i], d, "devices[" + std::to_string(i) + "]", error)) {
            return false;
        }
    }
    config = std::move(c);
    return true;
}

bool LoadConfigFile(const std::filesystem::path& path, SimConfig& config, std::string& error) {
    const std::u8string name8 = path.u8string();
    const std::string name(name8.begin(), name8.end());
    // Only a small regular file is read: a FIFO or device named here is refused at once, not waited on.
    std::string bytes;
    std::string why;
    if (!platform::ReadSettingsFile(path, platform::kMaxSettingsFileBytes, bytes, why).ok()) {
        error = "cannot read JSON settings from " + name + ": the file " + why;
        return false;
    }
    std::string_view text(bytes);
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    JSON::Value root;
    if (!JSON::ParseText(text, root)) {
        error = "cannot read JSON settings from " + name;
        return false;
    }
    return LoadConfig(root, config, error);
}

}  // namespace Sim
