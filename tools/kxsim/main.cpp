// kxsim: simulated FM tuner devices on UDP, for trying the SDK, its CLI and applications without
// hardware. Runs until interrupted (Ctrl-C) or for --duration seconds.
//
// With --flood KIND it is a hostile peer instead, for checking one's own deployment: it floods
// --target from a socket of its own (on --bind) at --rate datagrams per second (0: as fast as it can) for
// --seconds, or, for dev-info and get-time, runs devices that stream those messages at whoever talks to
// them. It prints the rate reached at the end.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/tool_cli.h"
#include "platform/terminal.h"
#include "sim/config.h"
#include "sim/flood.h"
#include "sim/simulator.h"

namespace {

constexpr std::uint16_t kDefaultFirstPort = 15001;
constexpr std::uint16_t kDefaultDiscoveryPort = 15000;

std::mutex g_print_mutex;

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_print_mutex);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::atomic<bool> g_flood_stop{false};

// The sender kinds: their own socket, their own loop on this thread, with a watcher for Ctrl-C.
int RunSenderFlood(const Sim::FloodSettings& settings) {
    Sim::FloodOutcome outcome;
    std::string error;
    std::thread watcher([] {
        while (!ToolCli::InterruptRequested() && !g_flood_stop.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        g_flood_stop.store(true);
    });
    const bool ok = Sim::RunFlood(settings, g_flood_stop, outcome, error);
    g_flood_stop.store(true);
    watcher.join();
    if (!ok) {
        return ToolCli::Failure(std::cerr, "kxsim", error);
    }
    PrintLine(Sim::DescribeFlood(settings, outcome));
    return ToolCli::kExitOk;
}

// The built-in band with each station's programme, for --help.
std::string BandTable() {
    std::string text = "Built-in band; a tuner locked on a station plays its tones (left / right):\n";
    for (const Sim::Station& s : Sim::DefaultStations()) {
        char line[160];
        // Names are UTF-8: pad by characters, not bytes.
        const auto chars = std::count_if(s.name.begin(), s.name.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        });
        std::snprintf(line, sizeof(line), "  %5.1f MHz  %s%*s  %7.2f Hz / %7.2f Hz\n", s.freq / 1000.0,
                      s.name.c_str(), static_cast<int>(12 - std::min<std::ptrdiff_t>(12, chars)), "",
                      s.tone_left_hz, s.tone_right_hz);
        text += line;
    }
    return text + "Off a station: white noise at amplitude 0.05 on both channels.";
}

void PrintCounters(const Sim::Simulator& sim) {
    for (const Sim::DeviceEndpoint& d : sim.Devices()) {
        const Sim::DeviceCounters c = sim.Counters(d.index);
        char line[512];
        std::snprintf(
            line, sizeof(line),
            "%s: datagrams in=%llu out=%llu, messages=%llu, duplicates=%llu, acks in=%llu out=%llu "
            "stray=%llu, answers=%llu, repeats=%llu, given up=%llu, lost in=%llu out=%llu, "
            "bad=%llu, send errors=%llu; rtp out=%llu lost=%llu overflow=%llu, rtp in=%llu bad=%llu",
            d.unit_id.c_str(), static_cast<unsigned long long>(c.datagrams_in),
            static_cast<unsigned long long>(c.datagrams_out), static_cast<unsigned long long>(c.messages_in),
            static_cast<unsigned long long>(c.duplicates_in), static_cast<unsigned long long>(c.acks_in),
            static_cast<unsigned long long>(c.acks_out), static_cast<unsigned long long>(c.stray_acks_in),
            static_cast<unsigned long long>(c.answers_out), static_cast<unsigned long long>(c.repeats_out),
            static_cast<unsigned long long>(c.give_ups), static_cast<unsigned long long>(c.lost_in),
            static_cast<unsigned long long>(c.lost_out), static_cast<unsigned long long>(c.bad_datagrams),
            static_cast<unsigned long long>(c.send_errors), static_cast<unsigned long long>(c.rtp_out),
            static_cast<unsigned long long>(c.rtp_lost), static_cast<unsigned long long>(c.rtp_overflow),
            static_cast<unsigned long long>(c.rtp_in), static_cast<unsigned long long>(c.rtp_bad_in));
        PrintLine(line);
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "kxsim: simulated devices on UDP: FM tuners (model KX410, the default), audio interfaces (--model\n"
        "kx260: inputs with select, gain and frequency in \"state\"/\"set_state\", and a bypass relay from\n"
        "control_protocol 2 on) or clock devices (--model kx9: they ask the host that talks to them for the\n"
        "time every --time-request-ms). --model applies to every device (-n 4 --model kx9: four clock\n"
        "devices); the settings file's \"model\" chooses per device.\n"
        "Each device has its own control port and answers every request of its model; a\n"
        "discovery port stands for the LAN's broadcast domain: a \"dev_find\" sent there is answered by\n"
        "every device from its own port. Settings come from a JSON file (--config) and from the flags\n"
        "below, flags taking precedence. Runs until Ctrl-C or for --duration seconds.\n\n"
        "Audio: once \"set_inputs\" names an address for a tuner, the device streams that tuner there over\n"
        "RTP (\"off\" stops it): 192 frames of 2 channels of 24-bit samples per packet, payload type 100\n"
        "at 48000 Hz and 101 at 44100 Hz (72 and 74 when audio_protocol is below 2; no audio at other\n"
        "frequencies), one sequence number and timestamp for all streams of a device, paced by the device's\n"
        "sample clock (after a stall at most 10 packets catch up). The outgoing faults (--loss-out,\n"
        "--dup-out, --reorder-out, --delay-out, --jitter-out and their both-way forms) apply to the packets\n"
        "too; --audio-mute pauses them. A device with outputs counts the host's RTP packets at rtp_port +\n"
        "2*i (settings keys \"outputs\" and \"rtp_port\"; rtp_port 0 picks a free port).",
        "kxsim"};
    app.get_formatter()->column_width(34);
    app.footer(BandTable());

    Sim::SimConfig config;
    config.discovery_port = kDefaultDiscoveryPort;
    std::string config_file;
    std::size_t devices = 1;
    std::uint16_t port = kDefaultFirstPort;
    bool no_discovery = false;
    double duration = 0;
    app.add_option("-c,--config", config_file, "JSON settings file (keys in docs/simulator.md)")
        ->check(CLI::ExistingFile);
    auto* devices_opt = app.add_option("-n,--devices", devices, "number of simulated devices (default 1)")
                            ->check(CLI::Range(1, 4096));
    auto* port_opt =
        app.add_option("-p,--port", port,
                       "control port of the first device; the next ones count up from it; 0 picks "
                       "free ports (default 15001)");
    auto* no_discovery_opt = app.add_flag("--no-discovery", no_discovery, "open no discovery port");
    app.add_option("-d,--duration", duration, "stop after this many seconds (default: run until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);
    std::string flood_kind;
    std::string flood_target;
    std::uint64_t flood_rate = 0;
    double flood_seconds = 10;
    auto* flood_opt =
        app.add_option("--flood", flood_kind,
                       "be a hostile peer: ping, ping-pair, big-att, garbage (sent to --target from --bind), "
                       "dev-info, get-time (devices streaming those to whoever talks to them)")
            ->group("Flood");
    auto* target_opt =
        app.add_option("--target", flood_target, "HOST:PORT the sent kinds flood")->group("Flood");
    app.add_option("--rate", flood_rate, "datagrams per second; 0: as fast as possible (default 0)")
        ->group("Flood");
    app.add_option("--seconds", flood_seconds, "how long the flood lasts (default 10)")
        ->check(CLI::PositiveNumber)
        ->group("Flood");
    // Every other flag sets one settings key, with the key's own checks.
    const std::vector<Sim::SettingFlag> flags = Sim::SettingFlags(config);
    std::vector<std::string> values(flags.size());
    std::vector<CLI::Option*> options;
    for (std::size_t i = 0; i < flags.size(); ++i) {
        CLI::Option* option =
            flags[i].takes_value
                ? app.add_option(flags[i].option, values[i], flags[i].help)->type_name(flags[i].value_name)
                : app.add_flag(flags[i].option, flags[i].help);
        options.push_back(option->group(flags[i].group.empty() ? "Options" : flags[i].group));
    }
    platform::UseUtf8Output();  // station names (--help) and radiotexts (datagram lines) are UTF-8
    if (const std::optional<int> code = ToolCli::Parse(app, argc, argv, std::cout, std::cerr)) {
        return *code;
    }

    std::string error;
    if (!config_file.empty() && !Sim::LoadConfigFile(config_file, config, error)) {
        return ToolCli::UsageError(std::cerr, "kxsim", error);
    }
    if (config.devices.empty()) {
        config.devices.resize(1);
    }
    if (devices_opt->count() > 0) {
        config.devices.resize(devices);
    }
    for (std::size_t i = 0; i < config.devices.size(); ++i) {
        Sim::DeviceConfig& d = config.devices[i];
        if (port_opt->count() > 0 || d.port == 0) {
            const std::size_t base = port_opt->count() > 0 ? port : kDefaultFirstPort;
            if (base != 0 && base + i > 65535) {
                return ToolCli::UsageError(std::cerr, "kxsim",
                                           "--port " + std::to_string(base) + " leaves no room for " +
                                               std::to_string(config.devices.size()) + " devices");
            }
            d.port = base == 0 ? 0 : static_cast<std::uint16_t>(base + i);
        }
    }
    for (std::size_t i = 0; i < flags.size(); ++i) {
        if (options[i]->count() > 0 &&
            !flags[i].apply(config, flags[i].takes_value ? values[i] : "true", error)) {
            return ToolCli::UsageError(std::cerr, "kxsim", error);
        }
    }
    if (no_discovery_opt->count() > 0) {
        config.discovery = !no_discovery;
    }
    config.log = PrintLine;

    // Ctrl-C and a polite kill end the run (the simulator closes its sockets).
    ToolCli::CatchInterrupts();

    Sim::FloodSettings flood;
    const bool flooding = flood_opt->count() > 0;
    if (flooding) {
        if (!Sim::ParseFloodKind(flood_kind, flood.kind)) {
            return ToolCli::UsageError(std::cerr, "kxsim",
                                       "--flood " + flood_kind + " is not a kind of flood");
        }
        flood.rate = flood_rate;
        flood.seconds = flood_seconds;
        duration = flood_seconds;
        if (!Sim::IsDeviceFlood(flood.kind)) {
            if (target_opt->count() == 0) {
                return ToolCli::UsageError(std::cerr, "kxsim", "--flood " + flood_kind + " needs --target");
            }
            if (!Sim::ParseFloodTarget(flood_target, flood.target, error)) {
                return ToolCli::UsageError(std::cerr, "kxsim", "--target " + error);
            }
            if (platform::SocketResult r = platform::ResolveIPv4(config.bind_address, flood.local); !r) {
                return ToolCli::UsageError(std::cerr, "kxsim",
                                           "--bind " + config.bind_address + " does not resolve");
            }
            if (!platform::StartSocketLibrary().ok()) {
                return ToolCli::Failure(std::cerr, "kxsim", "the socket library does not start");
            }
            const int code = RunSenderFlood(flood);
            platform::StopSocketLibrary();
            return code;
        }
        // A device kind: every device streams at the rate (0 here: as fast as it can).
        const std::uint32_t rate = flood_rate == 0 || flood_rate >= Sim::kFloodUnlimited
                                       ? Sim::kFloodUnlimited
                                       : static_cast<std::uint32_t>(flood_rate);
        for (Sim::DeviceConfig& d : config.devices) {
            (flood.kind == Sim::FloodKind::kDevInfo ? d.faults.dev_info_flood : d.faults.get_time_flood) =
                rate;
        }
    }

    Sim::Simulator sim;
    if (!sim.Start(config, &error)) {
        return ToolCli::Failure(std::cerr, "kxsim", error);
    }
    const auto started = std::chrono::steady_clock::now();
    while (!ToolCli::InterruptRequested()) {
        if (duration > 0 &&
            std::chrono::steady_clock::now() - started >= std::chrono::duration<double>(duration)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    PrintCounters(sim);
    if (flooding) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const std::uint64_t sent = sim.TotalCounters().flood_out;
        char line[160];
        std::snprintf(line, sizeof(line), "flood %s: %llu datagrams in %.2f s, %.0f datagrams/s",
                      flood_kind.c_str(), static_cast<unsigned long long>(sent), seconds,
                      static_cast<double>(sent) / seconds);
        PrintLine(line);
    }
    sim.Stop();
    return ToolCli::kExitOk;
}
