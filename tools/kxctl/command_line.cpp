// The command line of kxctl: subcommands, their arguments and the checks that make a usage error.

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "kxctl/kxctl_lib.h"

namespace Kxctl {

namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Decimal digits to a number no larger than `limit`.
bool ReadNumber(std::string_view digits, std::uint64_t limit, std::uint64_t& value) {
    if (!AllDigits(digits)) {
        return false;
    }
    value = 0;
    for (char c : digits) {
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > limit) {
            return false;
        }
    }
    return true;
}

constexpr const char* kDescription =
    "kxctl: find Kx410 FM tuners on the local network, show what they are, tune them, watch their\n"
    "reception and record their audio. DEVICE is host[:port] (port 15001 unless given). The local end of the "
    "session is the\n"
    "address that routes to the device, with a free port, unless --local says otherwise.\n"
    "Exit status: 0 success, 1 the operation failed (the reason and the debug log file are named on\n"
    "standard error), 2 a usage error.";

}  // namespace

std::string Endpoint::ToString() const {
    return host + ":" + std::to_string(port);
}

bool ParseEndpoint(std::string_view text, std::uint16_t default_port, bool allow_zero_port, Endpoint& out,
                   std::string& error) {
    const std::size_t colon = text.find(':');
    if (colon != std::string_view::npos && text.find(':', colon + 1) != std::string_view::npos) {
        error = "'" + std::string(text) + "' is not host[:port] (IPv6 addresses are not supported)";
        return false;
    }
    const std::string_view host = text.substr(0, colon);
    if (host.empty()) {
        error = "'" + std::string(text) + "' names no host";
        return false;
    }
    std::uint64_t port = default_port;
    if (colon != std::string_view::npos && !ReadNumber(text.substr(colon + 1), 65535, port)) {
        error = "'" + std::string(text) + "': the port must be a number from " +
                (allow_zero_port ? "0" : "1") + " to 65535";
        return false;
    }
    if (port == 0 && !allow_zero_port) {
        error = "'" + std::string(text) + "': the port must be a number from 1 to 65535";
        return false;
    }
    out.host = std::string(host);
    out.port = static_cast<std::uint16_t>(port);
    return true;
}

bool ParseFrequency(std::string_view text, std::uint32_t& khz, std::string& error) {
    const std::size_t dot = text.find('.');
    std::uint64_t value = 0;
    bool ok = false;
    if (dot == std::string_view::npos) {
        ok = ReadNumber(text, 0xFFFFFFFFull, value);
    } else {
        const std::string_view whole = text.substr(0, dot);
        std::string fraction(text.substr(dot + 1));
        std::uint64_t mhz = 0;
        std::uint64_t part = 0;
        ok = fraction.size() <= 3 && ReadNumber(whole, 0xFFFFFFFFull / 1000, mhz) &&
             (fraction.empty() || ReadNumber(fraction, 999, part));
        if (ok) {
            fraction.append(3 - fraction.size(), '0');
            (void)ReadNumber(fraction, 999, part);
            value = mhz * 1000 + part;
            ok = value <= 0xFFFFFFFFull;
        }
    }
    if (!ok || value == 0) {
        error = "'" + std::string(text) +
                "' is not a frequency: give kHz (100500) or MHz with a decimal point (100.5), above 0";
        return false;
    }
    khz = static_cast<std::uint32_t>(value);
    return true;
}

ParseOutcome ParseCommandLine(int argc, const char* const* argv, Settings& settings, std::ostream& out,
                              std::ostream& err) {
    CLI::App app{kDescription, "kxctl"};
    app.require_subcommand(1);
    app.get_formatter()->column_width(30);

    bool json = false;
    std::string local_text;
    std::string log_folder;
    app.add_flag("--json", json, "Print one JSON object (UTF-8) on standard output instead of tables");
    app.add_option("--local", local_text,
                   "Local end host[:port] of the session or discovery (default: the address that routes "
                   "to the device, a free port)");
    app.add_option("--log-folder", log_folder,
                   "Folder of the debug log and its settings file (default: norvane-kxctl in the user's own "
                   "temporary folder, <temp>/norvane-<uid> on Linux)");

    std::string device_text;
    std::string target_text = std::string(kDefaultDiscoveryTarget) + ":" + std::to_string(kDefaultDevicePort);
    std::vector<std::string> freq_texts;
    std::uint32_t count = 0;
    double interval_s = 1.0;
    bool levels = false;
    std::uint16_t rtp_port = 0;
    double seconds = 0.0;
    std::string out_text;
    const std::string rtp_port_help =
        "Local RTP base port: tuner i's audio arrives on it + 2*i + 2 (default 0: ports of the system's "
        "choice)";

    CLI::App* discover =
        app.add_subcommand("discover", "Ask every device to answer and list those that do within 3 seconds");
    discover->add_option("TARGET", target_text,
                         "Where the request goes, host[:port] (default: the broadcast address "
                         "255.255.255.255:15001)");
    CLI::App* info = app.add_subcommand("info", "Connect and show what the device says about itself");
    info->add_option("DEVICE", device_text, "The device, host[:port]")->required();
    CLI::App* tune = app.add_subcommand("tune",
                                        "Tune the tuners (tuner 1 first; tuners not given keep "
                                        "their frequency) and show what they are tuned to");
    tune->add_option("DEVICE", device_text, "The device, host[:port]")->required();
    tune->add_option("FREQ", freq_texts, "Frequency per tuner, kHz (100500) or MHz (100.5)")->required();
    CLI::App* quality = app.add_subcommand("quality", "Show each tuner's frequency and reception quality");
    quality->add_option("DEVICE", device_text, "The device, host[:port]")->required();
    CLI::App* rds = app.add_subcommand("rds", "Show each tuner's frequency and RDS texts");
    rds->add_option("DEVICE", device_text, "The device, host[:port]")->required();
    CLI::App* monitor = app.add_subcommand(
        "monitor", "Live view of frequencies, quality and RDS per tuner, until Ctrl-C or --count refreshes");
    monitor->add_option("DEVICE", device_text, "The device, host[:port]")->required();
    monitor->add_option("--count", count, "Refreshes before ending (default: until interrupted)")
        ->check(CLI::Range(1u, 1000000u));
    monitor->add_option("--interval", interval_s, "Seconds between refreshes (default 1)")
        ->check(CLI::Range(0.05, 3600.0));
    monitor->add_flag("--levels", levels,
                      "Also start audio and show each channel's peak and RMS level over the last refresh");
    monitor->add_option("--rtp-port", rtp_port, rtp_port_help);
    CLI::App* record = app.add_subcommand(
        "record",
        "Record every tuner's audio (two channels each) to a 24-bit WAV file, until done or Ctrl-C");
    record->add_option("DEVICE", device_text, "The device, host[:port]")->required();
    record->add_option("--seconds", seconds, "How long to record, at most 86400 (a day)")->required();
    record->add_option("--out", out_text, "The WAV file to write (replaced when it exists)")->required();
    record->add_option("--rtp-port", rtp_port, rtp_port_help);
    CLI::App* demo = app.add_subcommand(
        "demo", "Start a simulated device on 127.0.0.1 and narrate a whole session against it");
    for (CLI::App* sub : {discover, info, tune, quality, rds, monitor, demo, record}) {
        // The global options may also follow the subcommand.
        sub->fallthrough();
    }

    if (const std::optional<int> code = ToolCli::Parse(app, argc, argv, out, err)) {
        return {false, *code};
    }
    auto usage_error = [&](const std::string& message) {
        return ParseOutcome{false, ToolCli::UsageError(err, "kxctl", message)};
    };

    Settings s;
    s.json = json;
    s.log_folder = log_folder;
    std::string error;
    if (!local_text.empty()) {
        Endpoint local;
        if (!ParseEndpoint(local_text, 0, true, local, error)) {
            return usage_error("--local " + error);
        }
        s.local = local;
    }
    if (discover->parsed()) {
        s.command = Command::kDiscover;
        if (!ParseEndpoint(target_text, kDefaultDevicePort, false, s.target, error)) {
            return usage_error(error);
        }
    } else if (demo->parsed()) {
        s.command = Command::kDemo;
        if (s.json || s.local) {
            return usage_error("demo narrates on 127.0.0.1: --json and --local do not apply to it");
        }
    } else {
        s.command = info->parsed()      ? Command::kInfo
                    : tune->parsed()    ? Command::kTune
                    : quality->parsed() ? Command::kQuality
                    : rds->parsed()     ? Command::kRds
                    : record->parsed()  ? Command::kRecord
                                        : Command::kMonitor;
        if (!ParseEndpoint(device_text, kDefaultDevicePort, false, s.device, error)) {
            return usage_error(error);
        }
    }
    if (record->parsed() && !(seconds > 0.0 && seconds <= kMaxRecordSeconds)) {
        char given[32];
        std::snprintf(given, sizeof(given), "%g", seconds);
        return usage_error("--seconds " + std::string(given) + ": give a time above 0 and at most " +
                           std::to_string(static_cast<int>(kMaxRecordSeconds)) + " s (a day)");
    }
    for (const std::string& text : freq_texts) {
        std::uint32_t khz = 0;
        if (!ParseFrequency(text, khz, error)) {
            return usage_error(error);
        }
        if (khz < kMinTuneKHz || khz > kMaxTuneKHz) {
            return usage_error("'" + text + "' (" + FormatMHz(khz) + ") is outside the FM band of " +
                               FormatMHz(kMinTuneKHz) + " to " + FormatMHz(kMaxTuneKHz));
        }
        s.freqs.push_back(khz);
    }
    s.count = count;
    s.levels = levels;
    s.rtp_port = rtp_port;
    s.seconds = seconds;
    s.out = std::filesystem::path(std::u8string(out_text.begin(), out_text.end()));
    s.interval_ms = static_cast<std::uint32_t>(std::lround(interval_s * 1000.0));
    settings = std::move(s);
    return {true, kExitOk};
}

}  // namespace Kxctl
