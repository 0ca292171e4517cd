// kxctl: find Kx410 FM tuners, show what they are, tune them, watch their reception and record their
// audio, from a shell; show what the other models (KX260 audio interfaces, KX9 clock devices) report.
//
// Everything but main() lives here so that the tests drive the same code in-process: the command line
// becomes Settings, each command runs against an output and an error stream and returns the process
// exit code:
//   0  the operation succeeded (a discovery that finds nothing succeeded too);
//   1  the operation failed: one line on the error stream names the reason and the debug log file;
//   2  the command line was wrong.
#pragma once

#include <norvane/sdk.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/tool_cli.h"
#include "json/value.h"

namespace Kxctl {

inline constexpr std::uint16_t kDefaultDevicePort = 15001;
// Where `discover` sends its request unless told otherwise: every device of the local network, on the
// devices' control port.
inline constexpr const char* kDefaultDiscoveryTarget = "255.255.255.255";

inline constexpr int kExitOk = ToolCli::kExitOk;
inline constexpr int kExitFailed = ToolCli::kExitFailed;
inline constexpr int kExitUsage = ToolCli::kExitUsage;

// "host[:port]"; the host is a name or a dotted quad.
struct Endpoint {
    std::string host;
    std::uint16_t port = 0;

    // "host:port".
    [[nodiscard]] std::string ToString() const;
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

// Reads "host[:port]". Without a port `default_port` is taken. With `allow_zero_port` false, a port of 0
// (written or defaulted) is refused. False, with the reason in `error`, for an empty host, more than one
// colon (IPv6 is not supported), an empty port or one that is not a decimal number in 0..65535.
bool ParseEndpoint(std::string_view text, std::uint16_t default_port, bool allow_zero_port, Endpoint& out,
                   std::string& error);

// Reads a frequency in the device's unit (kHz: "100500"), or in MHz when the text holds a decimal point
// ("100.5" = 100500 kHz, at most three decimals). False, with the reason, for anything else, for 0 and
// for values beyond 32 bits.
bool ParseFrequency(std::string_view text, std::uint32_t& khz, std::string& error);

// "100.5 MHz", "88.25 MHz", "104 MHz": kHz shown in MHz without trailing zeros.
[[nodiscard]] std::string FormatMHz(std::uint32_t khz);

// The FM band a tuner can be set to, in kHz; `tune` refuses frequencies outside it.
inline constexpr std::uint32_t kMinTuneKHz = 64000;
inline constexpr std::uint32_t kMaxTuneKHz = 108000;

// The longest recording `record` takes, in seconds (a day).
inline constexpr double kMaxRecordSeconds = 86400.0;

enum class Command { kDiscover, kInfo, kTune, kQuality, kRds, kMonitor, kDemo, kRecord };

struct Settings {
    Command command = Command::kDemo;
    bool json = false;                 // one JSON object on the output instead of tables
    std::optional<Endpoint> local;     // --local; port 0: a free port on that address
    Endpoint device;                   // DEVICE of info, tune, quality, rds, monitor
    Endpoint target;                   // discover: where the request goes
    std::vector<std::uint32_t> freqs;  // tune: kHz, tuner 1 first
    std::uint32_t count = 0;           // monitor: refreshes; 0 until interrupted
    std::uint32_t interval_ms = 1000;  // monitor: time between refreshes
    bool levels = false;               // monitor: start audio and show each channel's level
    std::uint16_t rtp_port = 0;  // monitor --levels, record: local RTP base port; 0: the system's choice
    double seconds = 0.0;        // record: how long
    std::filesystem::path out;   // record: the WAV file
    std::filesystem::path log_folder;  // --log-folder; empty: the default
};

// The outcome of reading the command line: `run` when a command is to run; otherwise the process ends
// with `exit_code` (0 after --help, 2 after a usage error, whose message went to the error stream).
struct ParseOutcome {
    bool run = false;
    int exit_code = kExitOk;
};

ParseOutcome ParseCommandLine(int argc, const char* const* argv, Settings& settings, std::ostream& out,
                              std::ostream& err);

// ---- text output ----

// Columns padded to their widest cell (counted in characters, not bytes), separated by two blanks, a
// header line first; no trailing blanks; every line ends with '\n'. Rows shorter than the header get
// empty cells.
[[nodiscard]] std::string FormatTable(const std::vector<std::string>& headers,
                                      const std::vector<std::vector<std::string>>& rows);
// Characters (code points) of UTF-8 text; bytes of invalid UTF-8 count one each.
[[nodiscard]] std::size_t TextWidth(std::string_view utf8);

// What one command read from one tuner.
struct TunerReading {
    std::uint32_t freq = 0;
    std::optional<Norvane::SDK::Kx410TunerQualityValues> quality;
    std::optional<Norvane::SDK::Kx410TunerRdsDataValues> rds;
};

[[nodiscard]] std::string DevicesTable(const std::vector<Norvane::SDK::DeviceInfoEx>& devices);
[[nodiscard]] std::string TunersTable(const std::vector<TunerReading>& tuners);

// What an audio interface (KX260) reports, in the library's values: select 0 analog, 1 digital (AES);
// gain 0 +4 dBu, 1 -10 dBu; bypass 0 none, 1 not reported yet, 2 off, 3 on.
struct AudioInterfaceReading {
    std::uint32_t select = 0;
    std::uint32_t gain = 0;
    std::uint32_t input_freq = 0;  // Hz
    std::uint32_t bypass = 0;
};

// What the host did for a clock device (KX9) while `info` was connected.
struct ClockReading {
    std::uint64_t time_requests_answered = 0;
    std::uint64_t time_requests_dropped = 0;  // while an answer was still on its way
};

// The connected device as `info` shows it. A KX410 has tuners; the other models carry their reading.
struct DeviceReport {
    Norvane::SDK::DeviceInfo info;
    Norvane::SDK::DeviceState state = Norvane::SDK::Disconnected;
    std::uint32_t frames_per_block = 0;
    std::vector<TunerReading> tuners;
    Norvane::SDK::DeviceType model = Norvane::SDK::KX410;
    std::optional<AudioInterfaceReading> audio_interface;
    std::optional<ClockReading> clock;
};
[[nodiscard]] std::string DeviceReportText(const DeviceReport& report, const Endpoint& device,
                                           const Endpoint& local);

// ---- JSON output ----

// {"devices":[...]}: every field of DeviceInfoEx under its own name.
[[nodiscard]] JSON::Value DevicesJson(const std::vector<Norvane::SDK::DeviceInfoEx>& devices);
// The fields of DeviceInfo plus "state" (its text), "frames_per_block" and "tuners"; for the other models
// "model" (its type text) instead of "tuners", and "input" (select, gain, freq) and "bypass" of a KX260,
// "time_requests_answered" and "time_requests_dropped" of a KX9.
[[nodiscard]] JSON::Value DeviceReportJson(const DeviceReport& report);
// {"tuners":[...]}: per tuner "freq", plus the five quality fields and the three RDS texts when read.
[[nodiscard]] JSON::Value TunersJson(const std::vector<TunerReading>& tuners);
// The compact UTF-8 text of a value.
[[nodiscard]] std::string JsonText(const JSON::Value& value);
// The UTF-8 form of an RDS text as the device sent it; text that is not valid Unicode becomes empty.
[[nodiscard]] std::string RdsText(const std::wstring& text);

// ---- running ----

// Where a command writes, and what it knows of its surroundings.
struct Console {
    Console(std::ostream& out_stream, std::ostream& err_stream) : out(out_stream), err(err_stream) {}

    std::ostream& out;
    std::ostream& err;
    bool err_is_terminal = false;  // a progress line may be drawn on `err`
    bool out_redraw = false;       // `out` is a terminal that takes cursor sequences (monitor redraws)
    bool out_is_terminal = false;  // a progress bar may be drawn on `out` (record)
    // Asked between steps of long commands (monitor); true ends them as a success.
    std::function<bool()> interrupted;
};

// Picks the local end of a session or a discovery towards `remote`: `local` when it gives a port; else
// its address (or, without `local`, the address the system routes towards `remote` from) with a free
// port. False, with the reason in `error`, when the remote host does not resolve or no local address
// routes to it.
bool ChooseLocalEndpoint(const Endpoint& remote, const std::optional<Endpoint>& local, Endpoint& out,
                         std::string& error);

// A connected device and the two ends of its session.
struct Session {
    std::unique_ptr<Norvane::SDK::IKx410> device;
    Endpoint remote;
    Endpoint local;
};

// The model of the device at `device`, asked before connecting (Norvane::ReadDeviceType); false with the
// reason when it does not answer or names no known model.
bool ReadModel(const Endpoint& device, const std::optional<Endpoint>& local, Norvane::SDK::DeviceType& model,
               std::string& reason);

// Picks the local end (ChooseLocalEndpoint) and connects; false with the reason when that fails.
bool Connect(const Endpoint& device, const std::optional<Endpoint>& local, Session& session,
             std::string& reason);

// Devices reporting more tuners than this are refused: their lists would not fit any real receiver.
inline constexpr std::uint32_t kMaxTuners = 64;

// Reads every tuner's frequency from the device (a fresh reading), and with `quality` / `rds` its
// reception quality / RDS texts. False with the reason when a reading fails.
bool ReadTuners(Norvane::SDK::IKx410& device, bool quality, bool rds, std::vector<TunerReading>& out,
                std::string& reason);

// Runs `work` on a thread of its own and meanwhile, when the error stream is a terminal, draws a progress
// line there (a spinner, `what` and the seconds waited) that is blanked at the end. Returns what `work`
// returned.
bool RunWithProgress(Console& console, const std::string& what, const std::function<bool()>& work);

// The path of the process debug log's current file (UTF-8), after the records written so far have
// reached it; empty when there is none.
[[nodiscard]] std::string DebugLogPath();

// Ctrl-C and a polite kill set a flag (shared with kxsim); main() passes InterruptRequested as the
// console's `interrupted`.
using ToolCli::CatchInterrupts;
using ToolCli::InterruptRequested;

// What `record` does once connected: starts audio (local RTP ports from `rtp_port`, 0 the system's
// choice), writes every channel (two per tuner, in order) for `seconds` to the WAV file `out` as 24-bit
// PCM, stops audio and prints the summary (levels per channel, counters per stream). Ends early, with a
// complete file and the summary, when the console is interrupted. `out`'s text is how the summary names
// the file.
int RecordAudio(Norvane::SDK::IKx410& device, double seconds, const std::filesystem::path& out,
                std::uint16_t rtp_port, bool json, Console& console);

// Runs the command of `settings`; returns the exit code.
int Run(const Settings& settings, Console& console);

int RunDiscover(const Settings& settings, Console& console);
int RunInfo(const Settings& settings, Console& console);
int RunTune(const Settings& settings, Console& console);
int RunQuality(const Settings& settings, Console& console);
int RunRds(const Settings& settings, Console& console);
int RunMonitor(const Settings& settings, Console& console);
int RunDemo(const Settings& settings, Console& console);
int RunRecord(const Settings& settings, Console& console);

// Writes the failure line ("kxctl: <reason> (debug log: <path>)") to the error stream and to the debug
// log; returns kExitFailed.
int Fail(Console& console, const std::string& reason);

}  // namespace Kxctl
