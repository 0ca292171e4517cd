// kxctl demo: a whole session against a simulated device in this process, told step by step. Every value
// shown was read through the SDK's public interface, exactly as the other commands read them.

#include <chrono>
#include <cstdlib>
#include <future>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/environment.h"
#include "common/safe_text.h"
#include "kxctl/kxctl_lib.h"
#include "platform/socket.h"
#include "sim/simulator.h"
#include "sim/stations.h"

namespace Kxctl {

namespace {

constexpr int kDemoRecordSeconds = 3;
constexpr const char* kDemoRecordFile = "demo.wav";

std::string Indent(const std::string& text) {
    std::string out;
    bool line_start = true;
    for (char c : text) {
        if (line_start && c != '\n') {
            out += "   ";
        }
        out += c;
        line_start = c == '\n';
    }
    return out;
}

// A frequency of the band no station of `stations` reaches: the tuner there hears only noise.
std::uint32_t QuietFrequency(const std::vector<Sim::Station>& stations) {
    for (std::int32_t f = 87500; f <= 108000; f += 100) {
        bool quiet = true;
        for (const Sim::Station& s : stations) {
            quiet = quiet && std::abs(s.freq - f) > Sim::kAudibleKHz;
        }
        if (quiet) {
            return static_cast<std::uint32_t>(f);
        }
    }
    return 87500;
}

// The first station with radiotext that `current` is not tuned to; null when the band has none.
const Sim::Station* StationToTune(const std::vector<Sim::Station>& stations, std::uint32_t current) {
    for (const Sim::Station& s : stations) {
        if (!s.radiotext.empty() && s.freq > 0 && static_cast<std::uint32_t>(s.freq) != current) {
            return &s;
        }
    }
    return nullptr;
}

}  // namespace

int RunDemo(const Settings& /*settings*/, Console& console) {
    auto say = [&](const std::string& text) {
        console.out << text;
        console.out.flush();
    };
    say("kxctl demo: a whole session with a simulated Kx410 FM tuner, all on this machine (127.0.0.1).\n\n");

    Sim::SimConfig config = Sim::SimConfig::WithDevices(1);
    config.bind_address = "127.0.0.1";
    config.debug_log = GetProcessDebugLog();
    Sim::Simulator sim;
    std::string error;
    if (!sim.Start(config, &error)) {
        return Fail(console, "the simulator did not start: " + error);
    }
    const std::vector<Sim::DeviceEndpoint> simulated = sim.Devices();
    const Network::SockAddr discovery_address = sim.DiscoveryAddress();
    if (simulated.empty() || !discovery_address.IsComplete()) {
        return Fail(console, "the simulator started without its device or its discovery port");
    }
    const Endpoint discovery{platform::FormatAddress(discovery_address.Native()),
                             discovery_address.GetPort()};
    say("1. The simulator runs device " + simulated.front().unit_id + " on " +
        platform::FormatEndpoint(simulated.front().address.Native()) + ". Its discovery port " +
        discovery.ToString() + "\n   stands in for the local network's broadcast address.\n\n");

    // ---- discovery ----
    say("2. Discovery: one \"dev_find\" request to " + discovery.ToString() +
        ",\n   then 3 seconds of listening for \"dev_info\" answers...\n");
    Endpoint local;
    if (!ChooseLocalEndpoint(discovery, std::nullopt, local, error)) {
        return Fail(console, error);
    }
    std::vector<Norvane::SDK::DeviceInfoEx> found;
    const auto started = std::chrono::steady_clock::now();
    const bool discovered = RunWithProgress(console, "Listening for answers", [&] {
        return Norvane::SDK::FindActiveDevices(local.host, local.port, discovery.host, discovery.port, found);
    });
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!discovered) {
        return Fail(console,
                    "discovery from " + local.ToString() + " to " + discovery.ToString() + " failed");
    }
    if (found.empty()) {
        return Fail(console, "the simulated device did not answer the discovery");
    }
    say(Indent(DevicesTable(found)));
    char line[128];
    std::snprintf(line, sizeof(line), "   %zu device%s answered in %.1f s.\n\n", found.size(),
                  found.size() == 1 ? "" : "s", waited);
    say(line);

    // ---- connect ----
    const Endpoint device{found.front().address, found.front().port};
    say("3. Connecting to " + SafeText(found.front().unit_id) + " at " + device.ToString() +
        " (handshake: \"get_dev_info\", then \"get_state\")...\n");
    Session session;
    if (!Connect(device, std::nullopt, session, error)) {
        return Fail(console, error);
    }
    DeviceReport report;
    report.info = session.device->GetDeviceInfo();
    report.state = session.device->GetState();
    report.frames_per_block = session.device->GetFramesPerBlock();
    if (!ReadTuners(*session.device, false, false, report.tuners, error)) {
        return Fail(console, error);
    }
    say(Indent(DeviceReportText(report, session.remote, session.local)) + "\n");

    // ---- tune ----
    const unsigned int tuners = session.device->GetInputs();
    if (tuners == 0) {
        return Fail(console, "the device reports no tuners");
    }
    std::vector<unsigned int> freqs(tuners);
    for (unsigned int i = 0; i < tuners; ++i) {
        freqs[i] = report.tuners[i].freq;
    }
    const std::vector<Sim::Station>& band = config.stations;
    const Sim::Station* station = StationToTune(band, freqs[0]);
    std::string plan;
    if (station != nullptr) {
        freqs[0] = static_cast<std::uint32_t>(station->freq);
        plan = "tuner 1 to " + FormatMHz(freqs[0]) + " (station \"" + station->name + "\")";
    }
    if (tuners > 1) {
        freqs[1] = QuietFrequency(band);
        plan += (plan.empty() ? "" : ",\n   and ") + std::string("tuner 2 to ") + FormatMHz(freqs[1]) +
                ", where no station transmits";
    }
    say("4. Tuning " + plan + "\n   (\"set_fm_freq\", then the frequencies are read back)...\n");
    if (!session.device->SetFmFreq(freqs.data())) {
        return Fail(console, "tuning failed");
    }
    std::vector<TunerReading> readings;
    if (!ReadTuners(*session.device, false, false, readings, error)) {
        return Fail(console, error);
    }
    say(Indent(TunersTable(readings)) + "\n");

    // ---- quality ----
    say("5. Reception quality (\"get_fm_quality\"):\n");
    if (!ReadTuners(*session.device, true, false, readings, error)) {
        return Fail(console, error);
    }
    say(Indent(TunersTable(readings)));
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const auto& q = *readings[i].quality;
        say("   Tuner " + std::to_string(i + 1) + ": " +
            (q.valid != 0 ? "locked onto a station (valid 1)" : "no station, only noise (valid 0)") +
            (q.valid != 0 ? (q.pilot != 0 ? ", stereo pilot present" : ", no stereo pilot (mono)") : "") +
            ".\n");
    }
    say("\n");

    // ---- RDS ----
    say("6. RDS texts (\"get_rds_data\"):\n");
    if (!ReadTuners(*session.device, false, true, readings, error)) {
        return Fail(console, error);
    }
    say(Indent(TunersTable(readings)) + "\n");

    // ---- record ----
    say("7. Recording " + std::to_string(kDemoRecordSeconds) +
        " seconds of audio, two channels per tuner, to " + kDemoRecordFile +
        "\n   (\"set_inputs\" names the RTP ports the system chose; 24-bit WAV)...\n");
    std::ostringstream record_out;
    std::ostringstream record_err;
    Console recording{record_out, record_err};
    recording.interrupted = console.interrupted;
    int recorded = kExitOk;
    (void)RunWithProgress(console, "Recording", [&] {
        recorded = RecordAudio(*session.device, kDemoRecordSeconds, kDemoRecordFile, 0, false, recording);
        return recorded == kExitOk;
    });
    say(Indent(record_out.str()));
    if (recorded != kExitOk) {
        console.err << record_err.str() << std::flush;
        return recorded;
    }
    say("   Tuner 1 carries its station's tones, tuner 2 the noise between stations; " +
        std::string(kDemoRecordFile) + " plays in any audio player.\n\n");

    // ---- close ----
    session.device->Close();
    const Sim::DeviceCounters counters = sim.Counters(0);
    say("8. Session closed. The device received " + std::to_string(counters.messages_in) +
        " requests, sent " + std::to_string(counters.acks_out) + " acknowledgements and " +
        std::to_string(counters.answers_out) + " answers (" + std::to_string(counters.repeats_out) +
        " repeated).\n");
    session = Session{};
    sim.Stop();
    say("Done.\n");
    return kExitOk;
}

}  // namespace Kxctl
