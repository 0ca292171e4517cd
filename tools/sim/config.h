// Settings of a simulator run: the devices, the band, the timing of the device's own reliable sending,
// the faults, and where log lines go. Filled by code (tests, demos) or from a JSON settings file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/faults.h"
#include "sim/stations.h"

namespace JSON {
class Value;
}
class IDebugLog;
class IClock;

namespace Sim {

// The models a simulated device can be. Each reports its own "unit_type" in "dev_info": "KX410",
// "KX260", "KX9". A KX260 is an audio interface (its "inputs" are audio inputs with a select, an analog
// gain and a sample frequency, plus a bypass relay when its control_protocol is 2 or more); a KX9 keeps a
// clock and asks the host for the time every `time_request_ms`.
enum class Model : std::uint8_t { kKx410, kKx260, kKx9 };

// "kx410", "kx260", "kx9" (flag values and the settings file's "model"), case-insensitive on reading.
[[nodiscard]] const char* ModelName(Model model) noexcept;
[[nodiscard]] bool ParseModel(std::string_view text, Model& out) noexcept;
// "KX410", "KX260", "KX9": the "unit_type" a device of `model` reports unless a fault says otherwise.
[[nodiscard]] std::string ModelTypeText(Model model);

// Every member has an initializer, so code may name only the fields it sets ({.tuners = 3}).
struct DeviceConfig {
    Model model = Model::kKx410;
    std::string unit_id{};              // "unit_id" of "dev_info"; empty: DefaultUnitId(index, model)
    std::uint16_t port = 0;             // control port; 0: a free port
    std::uint32_t tuners = 2;           // tuners (a KX260's audio inputs), reported as the device's "inputs"
    std::uint32_t outputs = 0;          // "outputs" of "dev_info"
    std::uint32_t device_freq = 48000;  // "device_freq" of "state", Hz
    // "rtp_port" of "dev_info"; with outputs, output i listens for the host's stream at rtp_port + 2*i
    // (0: a free port is chosen and reported)
    std::uint32_t rtp_port = 0;
    std::uint32_t hardware = 1;
    std::uint32_t firmware = 1;
    std::uint32_t software = 1;
    std::uint32_t audio_protocol = 2;
    std::uint32_t control_protocol = 1;
    std::vector<std::int32_t> freqs{};     // first tuning of each tuner (kHz); missing: the band in order
    std::uint32_t time_request_ms = 5000;  // KX9: interval of its "get_time" requests
    Faults faults{};
};

struct SimConfig {
    std::string bind_address = "127.0.0.1";  // every socket's local address
    bool discovery = true;                   // open the discovery port
    std::uint16_t discovery_port = 0;        // 0: a free port
    std::uint64_t seed = 1;                  // fault decisions and the wandering of the quality values
    std::uint32_t repeat_ms = 300;           // repetition interval of the device's own messages
    std::uint32_t max_sends = 3;             // sends of one message before it is given up
    std::uint32_t radiotext_ms = 5000;       // how long each radiotext stays
    // A "dev_find" that came through the discovery port is answered by each device after a delay drawn
    // from [0, discovery_spread_ms], as devices on a LAN do not all answer in the same instant.
    std::uint32_t discovery_spread_ms = 0;
    std::vector<DeviceConfig> devices{};  // empty: one device with the defaults
    std::vector<Station> stations = DefaultStations();

    // One line per datagram in and out (and per dropped one) goes to `log` when set.
    bool verbose = false;
    // Receives the log lines: start, stop, errors, and the datagram lines with `verbose`. Called on the
    // simulator's thread (start and stop lines on the caller's), never with a lock of the simulator held.
    std::function<void(const std::string& line)> log{};
    // When set, the same lines also go to this debug log (datagram lines at level 4).
    std::shared_ptr<IDebugLog> debug_log{};
    // When set, the simulator's time comes from this clock instead of the system's monotonic one (tests
    // step it); its thread then waits in slices of a millisecond, so a step is acted on at once.
    std::shared_ptr<IClock> clock{};

    // `n` devices with the defaults.
    [[nodiscard]] static SimConfig WithDevices(std::size_t n);
};

// The unit id of device `index` (0-based) when its configuration gives none: "SIM410-0001", ...
[[nodiscard]] std::string DefaultUnitId(std::size_t index);
// The same for a device of `model`: "SIM410-0001", "SIM260-0001", "SIM9-0001", ...
[[nodiscard]] std::string DefaultUnitId(std::size_t index, Model model);

// Reads settings from a parsed JSON document into `config` (fields the document does not name keep
// their values). False with a message naming the key when the document has an unknown key, a value of
// the wrong kind or one out of range. The keys come from one table in config.cpp and are listed in
// docs/simulator.md.
bool LoadConfig(const JSON::Value& root, SimConfig& config, std::string& error);
// The same from a UTF-8 JSON file.
bool LoadConfigFile(const std::filesystem::path& path, SimConfig& config, std::string& error);

// Reads a fault object ({"in":{...},"out":{...},"both":{...},"no_ack":..., ...}) into `faults`.
bool LoadFaults(const JSON::Value& value, Faults& faults, std::string& error, const std::string& where);

// A kxsim flag that sets one settings key, with the same checks as the key in a settings file.
struct SettingFlag {
    std::string option;       // as the command line spells it: "--repeat-ms", "-v,--verbose", "--loss-in"
    std::string help;         // what it sets, with the default
    std::string group;        // "Faults" for the fault keys, else empty
    bool takes_value = true;  // false: a switch that sets the key to true
    std::string value_name;   // INT, NUMBER or TEXT
    // Reads `text` into `config`: a run key into the run, a device or fault key into every device. False
    // with the flag and the reason in `error`.
    std::function<bool(SimConfig& config, const std::string& text, std::string& error)> apply;
};
// The flags of the keys that have one, in the order they are to be applied (a fault flag for both
// directions before its "-in" and "-out" refinements). Help texts show the values of `defaults`.
[[nodiscard]] std::vector<SettingFlag> SettingFlags(const SimConfig& defaults);

}  // namespace Sim
