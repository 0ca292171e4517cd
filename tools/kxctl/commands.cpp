// The commands of kxctl against the SDK's public interface; `info` of the models that interface does not
// carry (KX260, KX9) goes through the library's device classes.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <limits>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "common/environment.h"
#include "common/safe_text.h"
#include "devices/device_base.h"
#include "devices/device_probe.h"
#include "kxctl/audio.h"
#include "kxctl/kxctl_lib.h"
#include "net/inet.h"
#include "platform/socket.h"
#include "platform/utf8.h"
#include "sdk/kx410.h"
#include "sdk/local_address.h"

namespace Kxctl {

using Norvane::SDK::DeviceInfoEx;
using Norvane::SDK::IKx410;

namespace {

std::string SocketFailure(const platform::SocketResult& result) {
    return std::string(platform::SocketErrorKindName(result.kind)) + " (" + std::to_string(result.code) + ")";
}

bool Interrupted(const Console& console) {
    return console.interrupted && console.interrupted();
}

void Print(Console& console, const std::string& text) {
    console.out << text;
    console.out.flush();
}

void PrintJson(Console& console, const JSON::Value& value) {
    Print(console, JsonText(value) + "\n");
}

std::string CannotConnect(const Endpoint& device, const Endpoint& local) {
    return "cannot connect to " + device.ToString() + " from " + local.ToString() +
           ": the device did not answer, or the handshake failed";
}

Norvane::DeviceInitInfo InitInfo(const Endpoint& device, const Endpoint& local) {
    Norvane::DeviceInitInfo init;
    init.device_addr = Utf8ToWide(device.host);
    init.device_port = device.port;
    init.host_addr = Utf8ToWide(local.host);
    init.host_port = local.port;
    return init;
}

// `info` of a model the SDK's public interface does not carry (KX260, KX9): the library's device class.
int RunModelInfo(const Settings& settings, Console& console, Norvane::SDK::DeviceType model) {
    Endpoint local;
    std::string reason;
    if (!ChooseLocalEndpoint(settings.device, settings.local, local, reason)) {
        return Fail(console, reason);
    }
    // Declared first, destroyed last: the device's session runs on it.
    std::shared_ptr<Network::INetManager> control =
        Network::INetManager::Create(ComponentInfo{L"kxctl control"}, true, 0);
    std::unique_ptr<Norvane::IDevice> device =
        control ? Norvane::CreateDevice(model, control.get(), nullptr) : nullptr;
    if (!device) {
        return Fail(console, "cannot create the device object");
    }
    if (ErrInfo err = device->Init(InitInfo(settings.device, local)); !err.IsOk()) {
        return Fail(console, CannotConnect(settings.device, local));
    }
    DeviceReport report;
    report.model = model;
    report.info = Norvane::SDK::ToDeviceInfo(device->GetDeviceInfo());
    report.state = static_cast<Norvane::SDK::DeviceState>(device->GetState());
    report.frames_per_block = device->GetFramesPerBlock();
    if (Norvane::IDeviceKx260* kx260 = device->GetKx260()) {
        AudioInterfaceReading a;
        // Fresh: the handshake read the input state and, for a device with a bypass, its relay.
        kx260->GetInputState(&a.select, &a.gain, &a.input_freq, false);
        kx260->GetBypass(&a.bypass, false);
        report.audio_interface = a;
    }
    if (const auto* base = dynamic_cast<const Norvane::DeviceBase*>(device.get()); base && device->GetKx9()) {
        report.clock = ClockReading{base->GetAnsweredTimeRequests(), base->GetDroppedTimeRequests()};
    }
    if (settings.json) {
        PrintJson(console, DeviceReportJson(report));
    } else {
        Print(console, DeviceReportText(report, settings.device, local));
    }
    return kExitOk;
}

int ConnectOrFail(const Settings& settings, Console& console, Session& session) {
    std::string reason;
    if (!Connect(settings.device, settings.local, session, reason)) {
        return Fail(console, reason);
    }
    return kExitOk;
}

}  // namespace

bool ChooseLocalEndpoint(const Endpoint& remote, const std::optional<Endpoint>& local, Endpoint& out,
                         std::string& error) {
    if (local && local->port != 0) {
        out = *local;
        return true;
    }
    platform::SocketLibraryScope library;
    platform::SockAddrIn address;
    if (local) {
        if (platform::SocketResult r = platform::ResolveIPv4(local->host, address); !r) {
            error = "cannot resolve the local address '" + local->host + "': " + SocketFailure(r);
            return false;
        }
    } else if (!Norvane::SDK::LocalAddressTowards(remote.host, remote.port, address, error)) {
        return false;
    }
    // A free port: bind to port 0 and read what the system gave. The port is free again when the socket
    // closes, and the session binds it a moment later.
    address.SetPort(0);
    platform::SocketHandle handle = platform::kInvalidSocket;
    if (platform::SocketResult r = platform::OpenSocket(platform::SocketKind::kUdp, handle); !r) {
        error = "cannot open a UDP socket: " + SocketFailure(r);
        return false;
    }
    platform::UniqueSocket socket(handle);
    platform::SockAddrIn bound;
    if (platform::SocketResult r = platform::Bind(socket.Get(), address); !r) {
        error = "cannot bind to " + platform::FormatAddress(address) + ": " + SocketFailure(r);
        return false;
    }
    if (platform::SocketResult r = platform::GetLocalAddress(socket.Get(), bound); !r) {
        error = "cannot read the bound port on " + platform::FormatAddress(address) + ": " + SocketFailure(r);
        return false;
    }
    out.host = platform::FormatAddress(address);
    out.port = bound.Port();
    return true;
}

bool RunWithProgress(Console& console, const std::string& what, const std::function<bool()>& work) {
    if (!console.err_is_terminal) {
        return work();
    }
    std::future<bool> result = std::async(std::launch::async, work);
    static const char kSpinner[] = {'|', '/', '-', '\\'};
    const auto start = std::chrono::steady_clock::now();
    std::size_t line_width = 0;
    for (std::size_t step = 0; result.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready;
         ++step) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char elapsed[32];
        std::snprintf(elapsed, sizeof(elapsed), " %.1f s", seconds);
        const std::string line = std::string(1, kSpinner[step % 4]) + " " + what + elapsed;
        line_width = std::max(line_width, TextWidth(line));
        console.err << '\r' << line << std::flush;
    }
    // Blank the line again; plain blanks work on every console.
    console.err << '\r' << std::string(line_width, ' ') << '\r' << std::flush;
    return result.get();
}

std::string DebugLogPath() {
    std::shared_ptr<IDebugLog> log = GetProcessDebugLog();
    if (!log) {
        return {};
    }
    // The file is opened by the log's writer thread: let it catch up first.
    (void)log->Flush(std::chrono::milliseconds(2000));
    return WideToUtf8(log->GetFilePath());
}

int Fail(Console& console, const std::string& reason) {
    if (std::shared_ptr<IDebugLog> log = GetProcessDebugLog()) {
        log->Write("kxctl: " + reason);
    }
    const std::string path = DebugLogPath();
    return ToolCli::Failure(console.err, "kxctl", reason, path.empty() ? "none" : path);
}

bool Connect(const Endpoint& device, const std::optional<Endpoint>& local, Session& session,
             std::string& reason) {
    session = Session{};
    session.remote = device;
    if (!ChooseLocalEndpoint(device, local, session.local, reason)) {
        return false;
    }
    session.device.reset(Norvane::SDK::CreateKx410());
    if (!session.device) {
        reason = "cannot create the device object";
        return false;
    }
    Norvane::SDK::DeviceInitSettings init;
    init.device_addr = device.host;
    init.device_port = device.port;
    init.host_addr = session.local.host;
    init.host_port = session.local.port;
    if (!session.device->Init(init)) {
        reason = CannotConnect(device, session.local);
        return false;
    }
    const unsigned int tuners = session.device->GetInputs();
    if (tuners > kMaxTuners) {
        reason = device.ToString() + " reports " + std::to_string(tuners) + " tuners; at most " +
                 std::to_string(kMaxTuners) + " are supported";
        return false;
    }
    return true;
}

bool ReadTuners(IKx410& device, bool quality, bool rds, std::vector<TunerReading>& out, std::string& reason) {
    const unsigned int n = device.GetInputs();
    out.assign(n, TunerReading{});
    if (n == 0) {
        return true;
    }
    std::vector<unsigned int> freqs(n, 0);
    if (!device.GetFmFreq(freqs.data(), true)) {
        reason = "reading the tuners' frequencies failed";
        return false;
    }
    for (unsigned int i = 0; i < n; ++i) {
        out[i].freq = freqs[i];
    }
    if (quality) {
        std::vector<Norvane::SDK::Kx410TunerQualityValues> values(n);
        if (!device.GetFmQuality(values.data(), true)) {
            reason = "reading the reception quality failed";
            return false;
        }
        for (unsigned int i = 0; i < n; ++i) {
            out[i].quality = values[i];
        }
    }
    if (rds) {
        std::vector<Norvane::SDK::Kx410TunerRdsDataValues> values(n);
        if (!device.GetRdsData(values.data(), true)) {
            reason = "reading the RDS data failed";
            return false;
        }
        for (unsigned int i = 0; i < n; ++i) {
            out[i].rds = values[i];
        }
    }
    return true;
}

int RunDiscover(const Settings& settings, Console& console) {
    Endpoint local;
    std::string reason;
    if (!ChooseLocalEndpoint(settings.target, settings.local, local, reason)) {
        return Fail(console, reason);
    }
    std::vector<DeviceInfoEx> devices;
    const bool ok =
        RunWithProgress(console, "Waiting 3 s for devices to answer " + settings.target.ToString(), [&] {
            return Norvane::SDK::FindActiveDevices(local.host, local.port, settings.target.host,
                                                   settings.target.port, devices);
        });
    if (!ok) {
        return Fail(console,
                    "discovery from " + local.ToString() + " to " + settings.target.ToString() + " failed");
    }
    if (settings.json) {
        PrintJson(console, DevicesJson(devices));
    } else if (devices.empty()) {
        Print(console, "No device answered " + settings.target.ToString() + " within 3 seconds.\n");
    } else {
        Print(console, DevicesTable(devices));
    }
    return kExitOk;
}

bool ReadModel(const Endpoint& device, const std::optional<Endpoint>& local, Norvane::SDK::DeviceType& model,
               std::string& reason) {
    Endpoint from;
    if (!ChooseLocalEndpoint(device, local, from, reason)) {
        return false;
    }
    std::shared_ptr<Network::INetManager> control =
        Network::INetManager::Create(ComponentInfo{L"kxctl probe"}, true, 0);
    if (!control) {
        reason = "cannot create the socket service";
        return false;
    }
    if (ErrInfo err = Norvane::ReadDeviceType(control.get(), InitInfo(device, from), model); !err.IsOk()) {
        reason = CannotConnect(device, from);
        return false;
    }
    return true;
}

int RunInfo(const Settings& settings, Console& console) {
    Norvane::SDK::DeviceType model = Norvane::SDK::KX410;
    if (std::string reason; !ReadModel(settings.device, settings.local, model, reason)) {
        return Fail(console, reason);
    }
    if (model != Norvane::SDK::KX410) {
        return RunModelInfo(settings, console, model);
    }
    Session session;
    if (int code = ConnectOrFail(settings, console, session); code != kExitOk) {
        return code;
    }
    DeviceReport report;
    report.info = session.device->GetDeviceInfo();
    report.state = session.device->GetState();
    report.frames_per_block = session.device->GetFramesPerBlock();
    std::string reason;
    if (!ReadTuners(*session.device, false, false, report.tuners, reason)) {
        return Fail(console, reason);
    }
    if (settings.json) {
        PrintJson(console, DeviceReportJson(report));
    } else {
        Print(console, DeviceReportText(report, session.remote, session.local));
    }
    return kExitOk;
}

int RunTune(const Settings& settings, Console& console) {
    Session session;
    if (int code = ConnectOrFail(settings, console, session); code != kExitOk) {
        return code;
    }
    const unsigned int n = session.device->GetInputs();
    if (settings.freqs.size() > n) {
        return ToolCli::UsageError(console.err, "kxctl",
                                   settings.device.ToString() + " has " + std::to_string(n) + " tuner" +
                                       (n == 1 ? "" : "s") + "; " + std::to_string(settings.freqs.size()) +
                                       " frequencies given");
    }
    std::vector<unsigned int> freqs(n, 0);
    if (settings.freqs.size() < n && !session.device->GetFmFreq(freqs.data(), true)) {
        return Fail(console, "reading the tuners' frequencies failed");
    }
    for (std::size_t i = 0; i < settings.freqs.size(); ++i) {
        freqs[i] = settings.freqs[i];
    }
    if (!session.device->SetFmFreq(freqs.data())) {
        return Fail(console, "tuning failed");
    }
    std::vector<TunerReading> tuners;
    std::string reason;
    if (!ReadTuners(*session.device, false, false, tuners, reason)) {
        return Fail(console, reason);
    }
    if (settings.json) {
        PrintJson(console, TunersJson(tuners));
    } else {
        Print(console, TunersTable(tuners));
    }
    return kExitOk;
}

namespace {

int RunReading(const Settings& settings, Console& console, bool quality, bool rds) {
    Session session;
    if (int code = ConnectOrFail(settings, console, session); code != kExitOk) {
        return code;
    }
    std::vector<TunerReading> tuners;
    std::string reason;
    if (!ReadTuners(*session.device, quality, rds, tuners, reason)) {
        return Fail(console, reason);
    }
    if (settings.json) {
        PrintJson(console, TunersJson(tuners));
    } else {
        Print(console, TunersTable(tuners));
    }
    return kExitOk;
}

std::size_t LineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

}  // namespace

int RunQuality(const Settings& settings, Console& console) {
    return RunReading(settings, console, true, false);
}

int RunRds(const Settings& settings, Console& console) {
    return RunReading(settings, console, false, true);
}

int RunMonitor(const Settings& settings, Console& console) {
    Session session;
    if (int code = ConnectOrFail(settings, console, session); code != kExitOk) {
        return code;
    }
    AudioTap tap;
    std::string start_failure;
    if (settings.levels && !tap.Start(*session.device, settings.rtp_port, start_failure)) {
        return Fail(console, start_failure);
    }
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::milliseconds(settings.interval_ms);
    auto next = Clock::now();
    std::size_t previous_lines = 0;
    for (std::uint32_t refresh = 1; settings.count == 0 || refresh <= settings.count; ++refresh) {
        std::vector<TunerReading> tuners;
        std::string reason;
        if (!ReadTuners(*session.device, true, true, tuners, reason)) {
            return Fail(console, reason + " (refresh " + std::to_string(refresh) + ")");
        }
        if (settings.levels) {
            // The levels over the time since the last refresh.
            for (LevelMeter& meter : tap.Meters()) {
                meter.Reset();
            }
            (void)tap.Drain(std::numeric_limits<std::uint64_t>::max(), {});
        }
        if (settings.json) {
            JSON::Value document = TunersJson(tuners);
            if (settings.levels) {
                document[L"levels"] = LevelsJson(tap.Meters());
            }
            PrintJson(console, document);
        } else {
            // The unit id is the device's own text: made safe before it reaches the terminal.
            std::string text = SafeText(session.device->GetDeviceId()) + " at " + session.remote.ToString() +
                               ", refresh " + std::to_string(refresh);
            text += settings.count != 0 ? " of " + std::to_string(settings.count) : " (Ctrl-C ends)";
            text += '\n';
            text += TunersTable(tuners);
            if (settings.levels) {
                text += LevelsTable(tap.Meters(), true);
            }
            if (console.out_redraw && previous_lines > 0) {
                // Back to the start of the previous view and erase it.
                console.out << "\x1b[" << previous_lines << "A\x1b[J";
            } else if (!console.out_redraw && refresh > 1) {
                text.insert(text.begin(), '\n');
            }
            previous_lines = LineCount(text);
            Print(console, text);
        }
        if (settings.count != 0 && refresh == settings.count) {
            break;
        }
        next += interval;
        const auto now = Clock::now();
        if (next < now) {
            next = now;  // a slow reading does not make the next ones come in a burst
        }
        while (Clock::now() < next) {
            if (Interrupted(console)) {
                return kExitOk;
            }
            std::this_thread::sleep_for(
                std::min<Clock::duration>(std::chrono::milliseconds(50), next - Clock::now()));
        }
        if (Interrupted(console)) {
            return kExitOk;
        }
    }
    return kExitOk;
}

int Run(const Settings& settings, Console& console) {
    switch (settings.command) {
        case Command::kDiscover:
            return RunDiscover(settings, console);
        case Command::kInfo:
            return RunInfo(settings, console);
        case Command::kTune:
            return RunTune(settings, console);
        case Command::kQuality:
            return RunQuality(settings, console);
        case Command::kRds:
            return RunRds(settings, console);
        case Command::kMonitor:
            return RunMonitor(settings, console);
        case Command::kRecord:
            return RunRecord(settings, console);
        case Command::kDemo:
            break;
    }
    return RunDemo(settings, console);
}

}  // namespace Kxctl
