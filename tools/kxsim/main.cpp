// kxsim: simulated FM tuner devices on UDP, for trying the SDK, its CLI and applications without
// hardware. Runs until interrupted (Ctrl-C) or for --duration seconds.

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/terminal.h"
#include "sim/config.h"
#include "sim/simulator.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnSignal(int) {
    g_interrupted = 1;
}

constexpr std::uint16_t kDefaultFirstPort = 15001;
constexpr std::uint16_t kDefaultDiscoveryPort = 15000;

std::mutex g_print_mutex;

void PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_print_mutex);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void PrintCounters(const Sim::Simulator& sim) {
    for (const Sim::DeviceEndpoint& d : sim.Devices()) {
        const Sim::DeviceCounters c = sim.Counters(d.index);
        char line[512];
        std::snprintf(
            line, sizeof(line),
            "%s: datagrams in=%llu out=%llu, messages=%llu, duplicates=%llu, acks in=%llu out=%llu "
            "stray=%llu, answers=%llu, repeats=%llu, given up=%llu, lost in=%llu out=%llu, "
            "bad=%llu, send errors=%llu",
            d.unit_id.c_str(), static_cast<unsigned long long>(c.datagrams_in),
            static_cast<unsigned long long>(c.datagrams_out), static_cast<unsigned long long>(c.messages_in),
            static_cast<unsigned long long>(c.duplicates_in), static_cast<unsigned long long>(c.acks_in),
            static_cast<unsigned long long>(c.acks_out), static_cast<unsigned long long>(c.stray_acks_in),
            static_cast<unsigned long long>(c.answers_out), static_cast<unsigned long long>(c.repeats_out),
            static_cast<unsigned long long>(c.give_ups), static_cast<unsigned long long>(c.lost_in),
            static_cast<unsigned long long>(c.lost_out), static_cast<unsigned long long>(c.bad_datagrams),
            static_cast<unsigned long long>(c.send_errors));
        PrintLine(line);
    }
}

// A probability flag for one or both directions.
struct DirectionFlag {
    double both = 0, in = 0, out = 0;
    CLI::Option* both_opt = nullptr;
    CLI::Option* in_opt = nullptr;
    CLI::Option* out_opt = nullptr;
};

struct MsFlag {
    std::uint32_t both = 0, in = 0, out = 0;
    CLI::Option* both_opt = nullptr;
    CLI::Option* in_opt = nullptr;
    CLI::Option* out_opt = nullptr;
};

void AddProbability(CLI::App& app, DirectionFlag& f, const std::string& name, const std::string& what) {
    f.both_opt = app.add_option("--" + name, f.both, what + " probability, both directions (0..1)")
                     ->check(CLI::Range(0.0, 1.0))
                     ->group("Faults");
    f.in_opt = app.add_option("--" + name + "-in", f.in, what + " probability towards the devices")
                   ->check(CLI::Range(0.0, 1.0))
                   ->group("Faults");
    f.out_opt = app.add_option("--" + name + "-out", f.out, what + " probability from the devices")
                    ->check(CLI::Range(0.0, 1.0))
                    ->group("Faults");
}

void AddMs(CLI::App& app, MsFlag& f, const std::string& name, const std::string& what) {
    f.both_opt = app.add_option("--" + name, f.both, what + " in ms, both directions")
                     ->check(CLI::Range(0u, 600000u))
                     ->group("Faults");
    f.in_opt = app.add_option("--" + name + "-in", f.in, what + " in ms towards the devices")
                   ->check(CLI::Range(0u, 600000u))
                   ->group("Faults");
    f.out_opt = app.add_option("--" + name + "-out", f.out, what + " in ms from the devices")
                    ->check(CLI::Range(0u, 600000u))
                    ->group("Faults");
}

template <class T>
void ApplyDirection(const DirectionFlag& f, T Sim::DirectionFaults::*field, Sim::Faults& faults) {
    if (f.both_opt->count() > 0) {
        faults.in.*field = f.both;
        faults.out.*field = f.both;
    }
    if (f.in_opt->count() > 0) {
        faults.in.*field = f.in;
    }
    if (f.out_opt->count() > 0) {
        faults.out.*field = f.out;
    }
}

void ApplyMs(const MsFlag& f, std::uint32_t Sim::DirectionFaults::*field, Sim::Faults& faults) {
    if (f.both_opt->count() > 0) {
        faults.in.*field = f.both;
        faults.out.*field = f.both;
    }
    if (f.in_opt->count() > 0) {
        faults.in.*field = f.in;
    }
    if (f.out_opt->count() > 0) {
        faults.out.*field = f.out;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "kxsim: simulated FM tuner devices (model KX410) on UDP.\n"
        "Each device has its own control port and answers every request of the control protocol; a\n"
        "discovery port stands for the LAN's broadcast domain: a \"dev_find\" sent there is answered by\n"
        "every device from its own port. Settings come from a JSON file (--config) and from the flags\n"
        "below, flags taking precedence. Runs until Ctrl-C or for --duration seconds."};
    app.get_formatter()->column_width(34);

    std::string config_file;
    std::size_t devices = 1;
    std::uint16_t port = kDefaultFirstPort;
    std::string bind = "127.0.0.1";
    std::uint16_t discovery_port = kDefaultDiscoveryPort;
    bool no_discovery = false;
    std::uint32_t tuners = 2;
    std::uint32_t device_freq = 48000;
    std::uint64_t seed = 1;
    std::uint32_t repeat_ms = 300;
    std::uint32_t max_sends = 3;
    std::uint32_t radiotext_ms = 5000;
    std::uint32_t spread_ms = 0;
    bool verbose = false;
    double duration = 0;
    DirectionFlag loss, dup, reorder;
    MsFlag delay, jitter;
    bool no_ack = false;
    int list_delta = 0;
    std::vector<std::string> list_keys;
    std::string type_text;
    bool zero_device_freq = false;

    app.add_option("-c,--config", config_file, "JSON settings file (keys in docs/simulator.md)")
        ->check(CLI::ExistingFile);
    auto* devices_opt = app.add_option("-n,--devices", devices, "number of simulated devices (default 1)")
                            ->check(CLI::Range(1, 4096));
    auto* port_opt =
        app.add_option("-p,--port", port,
                       "control port of the first device; the next ones count up from it; 0 picks "
                       "free ports (default 15001)");
    auto* bind_opt = app.add_option(
        "--bind", bind, "local address of every socket (default 127.0.0.1; 0.0.0.0 serves the LAN)");
    auto* discovery_opt = app.add_option("--discovery-port", discovery_port,
                                         "discovery port; 0 picks a free port (default 15000)");
    auto* no_discovery_opt = app.add_flag("--no-discovery", no_discovery, "open no discovery port");
    auto* tuners_opt =
        app.add_option("--tuners", tuners, "tuners per device (default 2)")->check(CLI::Range(0, 64));
    auto* device_freq_opt = app.add_option("--device-freq", device_freq,
                                           "sample frequency reported in \"state\", Hz (default 48000)");
    auto* seed_opt = app.add_option("--seed", seed, "seed of the fault decisions (default 1)");
    auto* repeat_opt = app.add_option("--repeat-ms", repeat_ms,
                                      "repetition interval of unacknowledged answers, ms (default 300)");
    auto* max_sends_opt = app.add_option("--max-sends", max_sends,
                                         "sends of an answer before it is given up "
                                         "(default 3)")
                              ->check(CLI::Range(1, 1000));
    auto* radiotext_opt = app.add_option("--radiotext-ms", radiotext_ms,
                                         "how long each radiotext stays, ms "
                                         "(default 5000)")
                              ->check(CLI::Range(1u, 86400000u));
    auto* spread_opt =
        app.add_option("--discovery-spread-ms", spread_ms,
                       "devices answer a discovery after a random delay up to this, ms (default 0)");
    auto* verbose_opt = app.add_flag("-v,--verbose", verbose, "one line per datagram in and out");
    app.add_option("-d,--duration", duration, "stop after this many seconds (default: run until Ctrl-C)")
        ->check(CLI::NonNegativeNumber);

    AddProbability(app, loss, "loss", "datagram loss");
    AddProbability(app, dup, "dup", "datagram duplication");
    AddProbability(app, reorder, "reorder", "datagram reordering");
    AddMs(app, delay, "delay", "fixed delay");
    AddMs(app, jitter, "jitter", "random extra delay (0 to N)");
    auto* no_ack_opt = app.add_flag("--no-ack", no_ack, "the devices acknowledge nothing")->group("Faults");
    auto* list_delta_opt = app.add_option("--list-delta", list_delta,
                                          "answer lists get this many entries more (or fewer) than tuners")
                               ->check(CLI::Range(-1000, 1000))
                               ->group("Faults");
    auto* list_keys_opt = app.add_option("--list-keys", list_keys,
                                         "only these lists get the wrong length (freq, rssi, snr, multipath, "
                                         "pilot, valid, psrv, text, time, inputs)")
                              ->delimiter(',')
                              ->group("Faults");
    auto* type_text_opt =
        app.add_option("--type-text", type_text, "\"unit_type\" reported instead of KX410 (e.g. KX260)")
            ->group("Faults");
    auto* zero_freq_opt =
        app.add_flag("--zero-device-freq", zero_device_freq, "\"state\" reports device frequency 0")
            ->group("Faults");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    Sim::SimConfig config;
    config.discovery_port = kDefaultDiscoveryPort;
    std::string error;
    if (!config_file.empty() && !Sim::LoadConfigFile(config_file, config, error)) {
        std::fprintf(stderr, "kxsim: %s\n", error.c_str());
        return 2;
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
                std::fprintf(stderr, "kxsim: --port %zu leaves no room for %zu devices\n", base,
                             config.devices.size());
                return 2;
            }
            d.port = base == 0 ? 0 : static_cast<std::uint16_t>(base + i);
        }
        if (tuners_opt->count() > 0) {
            d.tuners = tuners;
        }
        if (device_freq_opt->count() > 0) {
            d.device_freq = device_freq;
        }
        Sim::Faults& f = d.faults;
        ApplyDirection(loss, &Sim::DirectionFaults::loss, f);
        ApplyDirection(dup, &Sim::DirectionFaults::duplicate, f);
        ApplyDirection(reorder, &Sim::DirectionFaults::reorder, f);
        ApplyMs(delay, &Sim::DirectionFaults::delay_ms, f);
        ApplyMs(jitter, &Sim::DirectionFaults::jitter_ms, f);
        if (no_ack_opt->count() > 0) {
            f.no_ack = no_ack;
        }
        if (list_delta_opt->count() > 0) {
            f.list_length_delta = list_delta;
        }
        if (list_keys_opt->count() > 0) {
            f.list_keys = std::set<std::string>(list_keys.begin(), list_keys.end());
        }
        if (type_text_opt->count() > 0) {
            f.type_text = type_text;
        }
        if (zero_freq_opt->count() > 0) {
            f.zero_device_freq = zero_device_freq;
        }
    }
    if (bind_opt->count() > 0) {
        config.bind_address = bind;
    }
    if (discovery_opt->count() > 0) {
        config.discovery_port = discovery_port;
    }
    if (no_discovery_opt->count() > 0) {
        config.discovery = !no_discovery;
    }
    if (seed_opt->count() > 0) {
        config.seed = seed;
    }
    if (repeat_opt->count() > 0) {
        config.repeat_ms = repeat_ms;
    }
    if (max_sends_opt->count() > 0) {
        config.max_sends = max_sends;
    }
    if (radiotext_opt->count() > 0) {
        config.radiotext_ms = radiotext_ms;
    }
    if (spread_opt->count() > 0) {
        config.discovery_spread_ms = spread_ms;
    }
    if (verbose_opt->count() > 0) {
        config.verbose = verbose;
    }
    config.log = PrintLine;
    platform::UseUtf8Output();  // station names and radiotexts in the datagram lines are UTF-8

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    Sim::Simulator sim;
    if (!sim.Start(config, &error)) {
        std::fprintf(stderr, "kxsim: %s\n", error.c_str());
        return 1;
    }
    const auto started = std::chrono::steady_clock::now();
    while (g_interrupted == 0) {
        if (duration > 0 &&
            std::chrono::steady_clock::now() - started >= std::chrono::duration<double>(duration)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    PrintCounters(sim);
    sim.Stop();
    return 0;
}
