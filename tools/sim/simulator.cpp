#include "sim/simulator.h"

#include <algorithm>

#include "common/clock.h"
#include "common/debug_log.h"
#include "platform/utf8.h"

namespace Sim {

namespace {

// The cookie of the discovery socket in the socket wait; devices use their index, output sockets this bit
// with the device's index shifted by kOutputShift and the output's index.
constexpr std::uint64_t kDiscoveryCookie = ~std::uint64_t{0};
constexpr std::uint64_t kOutputCookie = std::uint64_t{1} << 62;
constexpr int kOutputShift = 16;
// Datagrams read from one output socket per visit; the socket wait reports it again while more wait, so
// a flooded output cannot hold up the device's audio.
constexpr int kOutputReadsPerVisit = 64;
// Attempts to find a free port whose neighbours at +2, +4, ... are free too.
constexpr int kOutputPortAttempts = 32;
// The longest the thread sleeps without anything due (it wakes at once for datagrams and Stop).
constexpr int kIdleWaitMs = 200;
// Large enough for any datagram.
constexpr std::size_t kReceiveBuffer = 65536;

std::string Describe(const platform::SocketResult& r) {
    return std::string(platform::SocketErrorKindName(r.kind)) + " (" + std::to_string(r.code) + ")";
}

// Opens a UDP socket bound to `local`; the bound address (with the port the system chose) in `bound`.
bool OpenBound(const platform::SockAddrIn& local, platform::UniqueSocket& out, platform::SockAddrIn& bound,
               std::string& error) {
    platform::SocketHandle h = platform::kInvalidSocket;
    platform::SocketResult r = platform::OpenSocket(platform::SocketKind::kUdp, h);
    if (!r.ok()) {
        error = "cannot open a UDP socket: " + Describe(r);
        return false;
    }
    platform::UniqueSocket sock(h);
    r = platform::Bind(h, local);
    if (!r.ok()) {
        error = "cannot bind " + platform::FormatEndpoint(local) + ": " + Describe(r);
        return false;
    }
    r = platform::GetLocalAddress(h, bound);
    if (!r.ok()) {
        error = "cannot read the local address of " + platform::FormatEndpoint(local) + ": " + Describe(r);
        return false;
    }
    // Many devices may answer one client at once: room for bursts.
    (void)platform::SetReceiveBufferSize(h, 1 << 20);
    out = std::move(sock);
    return true;
}

void Add(DeviceCounters& sum, const DeviceCounters& c) {
    sum.datagrams_in += c.datagrams_in;
    sum.datagrams_out += c.datagrams_out;
    sum.bad_datagrams += c.bad_datagrams;
    sum.messages_in += c.messages_in;
    sum.duplicates_in += c.duplicates_in;
    sum.acks_in += c.acks_in;
    sum.stray_acks_in += c.stray_acks_in;
    sum.acks_out += c.acks_out;
    sum.answers_out += c.answers_out;
    sum.repeats_out += c.repeats_out;
    sum.give_ups += c.give_ups;
    sum.answers_refused += c.answers_refused;
    sum.lost_in += c.lost_in;
    sum.lost_out += c.lost_out;
    sum.duplicated_in += c.duplicated_in;
    sum.duplicated_out += c.duplicated_out;
    sum.reordered_in += c.reordered_in;
    sum.reordered_out += c.reordered_out;
    sum.send_errors += c.send_errors;
    sum.set_fm_freq += c.set_fm_freq;
    sum.set_inputs += c.set_inputs;
    sum.unhandled += c.unhandled;
    sum.flood_out += c.flood_out;
    sum.rtp_out += c.rtp_out;
    sum.rtp_lost += c.rtp_lost;
    sum.rtp_duplicated += c.rtp_duplicated;
    sum.rtp_reordered += c.rtp_reordered;
    sum.rtp_overflow += c.rtp_overflow;
    sum.rtp_in += c.rtp_in;
    sum.rtp_bad_in += c.rtp_bad_in;
}

}  // namespace

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(const SimConfig& config, std::string* error) {
    std::lock_guard<std::mutex> lock(lifecycle_);
    std::string why;
    auto fail = [&](const std::string& text) {
        Close();
        if (error != nullptr) {
            *error = text;
        }
        return false;
    };
    if (running_.load()) {
        if (error != nullptr) {
            *error = "the simulator already runs";
        }
        return false;
    }
    config_ = config;
    if (config_.devices.empty()) {
        config_.devices.resize(1);
    }
    if (config_.max_sends == 0) {
        config_.max_sends = 1;
    }
    if (!platform::StartSocketLibrary().ok()) {
        return fail("cannot start the socket library");
    }
    socket_library_ = true;

    platform::SockAddrIn bind_address;
    const platform::SocketResult resolved = platform::ResolveIPv4(config_.bind_address, bind_address);
    if (!resolved.ok()) {
        return fail("cannot resolve the bind address \"" + config_.bind_address +
                    "\": " + Describe(resolved));
    }
    // Clients reach sockets bound to any address through the loopback address.
    const bool any = bind_address.addr[0] == 0 && bind_address.addr[1] == 0 && bind_address.addr[2] == 0 &&
                     bind_address.addr[3] == 0;

    poller_ = std::make_unique<platform::SocketPoller>();
    if (!poller_->IsValid()) {
        return fail("cannot create the socket wait: " + Describe(poller_->InitResult()));
    }

    auto band = std::make_shared<const Band>(config_.stations, config_.radiotext_ms, config_.seed);
    const TimePoint start = Now();
    slots_.resize(config_.devices.size());
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        Slot& slot = slots_[i];
        platform::SockAddrIn local = bind_address;
        local.SetPort(config_.devices[i].port);
        platform::SockAddrIn bound;
        if (!OpenBound(local, slot.socket, bound, why)) {
            return fail("device " + std::to_string(i + 1) + ": " + why);
        }
        if (any) {
            bound.SetAddress(127, 0, 0, 1);
        }
        slot.address = Network::SockAddr(bound);
        DeviceConfig device = config_.devices[i];
        if (device.outputs > 0 &&
            !OpenOutputs(slot, device.outputs, bind_address, any, device.rtp_port, why)) {
            return fail("device " + std::to_string(i + 1) + ": " + why);
        }
        slot.device = std::make_unique<SimDevice>(i, device, config_, band, start);
        slot.device->SetSocket(slot.socket.Get());
        const platform::SocketResult r = poller_->Add(slot.socket.Get(), platform::kSockRead, i);
        if (!r.ok()) {
            return fail("device " + std::to_string(i + 1) + ": cannot wait for its socket: " + Describe(r));
        }
        for (std::size_t o = 0; o < slot.output_sockets.size(); ++o) {
            const platform::SocketResult ro =
                poller_->Add(slot.output_sockets[o].Get(), platform::kSockRead,
                             kOutputCookie | (std::uint64_t{i} << kOutputShift) | o);
            if (!ro.ok()) {
                return fail("device " + std::to_string(i + 1) + ": cannot wait for the socket of output " +
                            std::to_string(o + 1) + ": " + Describe(ro));
            }
        }
    }
    if (config_.discovery) {
        platform::SockAddrIn local = bind_address;
        local.SetPort(config_.discovery_port);
        platform::SockAddrIn bound;
        if (!OpenBound(local, discovery_socket_, bound, why)) {
            return fail("discovery port: " + why);
        }
        // A broadcast "dev_find" reaches the port only with the broadcast option on some systems.
        (void)platform::SetBroadcast(discovery_socket_.Get(), true);
        if (any) {
            bound.SetAddress(127, 0, 0, 1);
        }
        discovery_address_ = Network::SockAddr(bound);
        const platform::SocketResult r =
            poller_->Add(discovery_socket_.Get(), platform::kSockRead, kDiscoveryCookie);
        if (!r.ok()) {
            return fail("discovery port: cannot wait for its socket: " + Describe(r));
        }
    }

    discovery_datagrams_.store(0);
    stop_.store(false);
    running_.store(true);
    std::string line = "simulator started: " + std::to_string(slots_.size()) + " device(s)";
    if (config_.discovery) {
        line += ", discovery port " + EndpointText(discovery_address_);
    }
    EmitLine(line);
    for (const Slot& slot : slots_) {
        std::string outputs;
        if (!slot.output_addresses.empty()) {
            outputs = ", " + std::to_string(slot.output_addresses.size()) + " output(s) from " +
                      EndpointText(slot.output_addresses[0]);
        }
        const std::string count = std::to_string(slot.device->TunerCount());
        const Model model = slot.device->GetModel();
        EmitLine("  " + slot.device->UnitId() + " at " + EndpointText(slot.address) + ", " +
                 (model == Model::kKx410
                      ? count + " tuner(s)"
                      : std::string(model == Model::kKx260 ? "KX260, " : "KX9, ") + count + " input(s)") +
                 outputs);
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Simulator::Stop() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (!running_.load()) {
        return;
    }
    stop_.store(true);
    poller_->Wake();
    thread_.join();
    running_.store(false);
    EmitLine("simulator stopped");
    Close();
}

bool Simulator::OpenOutputs(Slot& slot, std::uint32_t outputs, const platform::SockAddrIn& bind_address,
                            bool any, std::uint32_t& rtp_port, std::string& error) {
    const bool free_port = rtp_port == 0;
    for (int attempt = 0; attempt < (free_port ? kOutputPortAttempts : 1); ++attempt) {
        slot.output_sockets.clear();
        slot.output_addresses.clear();
        std::uint32_t first = rtp_port;
        for (std::uint32_t o = 0; o < outputs; ++o) {
            const std::uint32_t port = o == 0 ? first : first + 2 * o;
            if (port > 65535) {
                error = "output " + std::to_string(o + 1) + " would listen at port " + std::to_string(port) +
                        ", beyond 65535";
                break;
            }
            platform::SockAddrIn local = bind_address;
            local.SetPort(static_cast<std::uint16_t>(port));
            platform::UniqueSocket socket;
            platform::SockAddrIn bound;
            if (!OpenBound(local, socket, bound, error)) {
                error = "output " + std::to_string(o + 1) + ": " + error;
                break;
            }
            if (o == 0) {
                first = bound.Port();
            }
            if (any) {
                bound.SetAddress(127, 0, 0, 1);
            }
            slot.output_sockets.push_back(std::move(socket));
            slot.output_addresses.emplace_back(bound);
        }
        if (slot.output_sockets.size() == outputs) {
            rtp_port = first;
            return true;
        }
    }
    slot.output_sockets.clear();
    slot.output_addresses.clear();
    return false;
}

TimePoint Simulator::Now() const {
    return config_.clock ? TimePoint(std::chrono::milliseconds(config_.clock->NowMs())) : SimClock::now();
}

void Simulator::Close() {
    if (poller_) {
        for (Slot& slot : slots_) {
            if (slot.socket.IsOpen()) {
                poller_->Remove(slot.socket.Get());
            }
            for (platform::UniqueSocket& s : slot.output_sockets) {
                if (s.IsOpen()) {
                    poller_->Remove(s.Get());
                }
            }
        }
        if (discovery_socket_.IsOpen()) {
            poller_->Remove(discovery_socket_.Get());
        }
    }
    slots_.clear();
    discovery_socket_.Reset();
    discovery_address_.Clear();
    poller_.reset();
    if (socket_library_) {
        platform::StopSocketLibrary();
        socket_library_ = false;
    }
}

bool Simulator::IsRunning() const {
    return running_.load();
}

void Simulator::EmitLine(const std::string& line) {
    if (config_.log) {
        config_.log(line);
    }
    if (config_.debug_log) {
        WriteAtLevel(config_.debug_log, kLogThreads, L"Sim: " + Utf8ToWide(line));
    }
}

void Simulator::Emit(std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (config_.log) {
            config_.log(line);
        }
        if (config_.debug_log) {
            WriteAtLevel(config_.debug_log, kLogMessages, L"Sim: " + Utf8ToWide(line));
        }
    }
    lines.clear();
}

void Simulator::ReadSocket(platform::SocketHandle socket, std::size_t slot, bool discovery,
                           std::vector<std::uint8_t>& buffer, std::vector<std::string>* log) {
    for (;;) {
        platform::SockAddrIn from;
        const platform::SocketIo io = platform::RecvFrom(socket, buffer.data(), buffer.size(), &from);
        if (!io.ok()) {
            // Windows reports an earlier datagram's "port unreachable" on the next read: keep reading.
            if (io.result.Is(platform::SocketErrorKind::kConnectionReset)) {
                continue;
            }
            return;  // would block (all read) or a failure the next wait reports again
        }
        const TimePoint now = Now();
        const Network::SockAddr sender(from);
        if (!discovery) {
            slots_[slot].device->FromWire(buffer.data(), io.bytes, sender, false, now, log);
            touched_[slot] = 1;
            continue;
        }
        discovery_datagrams_.fetch_add(1);
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            slots_[i].device->FromWire(buffer.data(), io.bytes, sender, true, now, log);
            touched_[i] = 1;
        }
    }
}

void Simulator::ReadOutput(platform::SocketHandle socket, std::size_t slot, std::size_t output,
                           std::vector<std::uint8_t>& buffer) {
    for (int n = 0; n < kOutputReadsPerVisit; ++n) {
        platform::SockAddrIn from;
        const platform::SocketIo io = platform::RecvFrom(socket, buffer.data(), buffer.size(), &from);
        if (!io.ok()) {
            if (io.result.Is(platform::SocketErrorKind::kConnectionReset)) {
                continue;
            }
            return;
        }
        slots_[slot].device->FromRtp(output, buffer.data(), io.bytes);
    }
}

void Simulator::Run() {
    std::vector<platform::SocketEvent> ready;
    std::vector<std::uint8_t> buffer(kReceiveBuffer);
    std::vector<std::string> lines;
    std::vector<std::string>* log = config_.verbose && (config_.log || config_.debug_log) ? &lines : nullptr;
    // A clock of the caller's moves in steps the socket wait cannot see: look at it every millisecond.
    const int idle_wait = config_.clock ? 1 : kIdleWaitMs;
    // Only the devices that are due or were handed datagrams are stepped, so one streaming device does
    // not make a thousand idle ones work at its block rate. Every device is stepped at least every
    // kSweepRounds rounds, which also picks up deadlines that changed from outside (faults set at run
    // time).
    constexpr int kSweepRounds = 200;
    std::vector<std::optional<TimePoint>> due(slots_.size());
    touched_.assign(slots_.size(), 1);
    for (int round = 0; !stop_.load(); ++round) {
        TimePoint now = Now();
        int timeout = idle_wait;
        for (const std::optional<TimePoint>& next : due) {
            if (next) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
                timeout = std::clamp(static_cast<int>(left), 0, timeout);
            }
        }
        const platform::WaitResult wait = poller_->Wait(timeout, ready);
        if (stop_.load()) {
            break;
        }
        if (!wait.error.ok()) {
            lines.push_back("simulator: socket wait failed: " + Describe(wait.error));
            Emit(lines);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        for (const platform::SocketEvent& e : ready) {
            if (e.cookie == kDiscoveryCookie) {
                if (e.handle == discovery_socket_.Get()) {
                    ReadSocket(e.handle, 0, true, buffer, log);
                }
            } else if (e.cookie < slots_.size() && slots_[e.cookie].socket.Get() == e.handle) {
                ReadSocket(e.handle, static_cast<std::size_t>(e.cookie), false, buffer, log);
            } else if ((e.cookie & kOutputCookie) != 0) {
                const std::size_t s = static_cast<std::size_t>((e.cookie & ~kOutputCookie) >> kOutputShift);
                const std::size_t o = static_cast<std::size_t>(e.cookie & ((1u << kOutputShift) - 1));
                if (s < slots_.size() && o < slots_[s].output_sockets.size() &&
                    slots_[s].output_sockets[o].Get() == e.handle) {
                    ReadOutput(e.handle, s, o, buffer);
                }
            }
        }
        now = Now();
        const bool sweep = round % kSweepRounds == 0;
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (sweep || touched_[i] != 0 || (due[i] && *due[i] <= now)) {
                slots_[i].device->Step(now, log);
                touched_[i] = 0;
                due[i] = slots_[i].device->NextDeadline(now);
            }
        }
        Emit(lines);
    }
}

const SimDevice* Simulator::DeviceAt(std::size_t index) const {
    return running_.load() && index < slots_.size() ? slots_[index].device.get() : nullptr;
}

std::size_t Simulator::DeviceCount() const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    return running_.load() ? slots_.size() : 0;
}

std::vector<DeviceEndpoint> Simulator::Devices() const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    std::vector<DeviceEndpoint> out;
    if (running_.load()) {
        for (const Slot& slot : slots_) {
            out.push_back(DeviceEndpoint{slot.device->Index(), slot.device->UnitId(), slot.address});
        }
    }
    return out;
}

Network::SockAddr Simulator::DeviceAddress(std::size_t index) const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    return DeviceAt(index) != nullptr ? slots_[index].address : Network::SockAddr();
}

Network::SockAddr Simulator::DiscoveryAddress() const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    return running_.load() ? discovery_address_ : Network::SockAddr();
}

DeviceCounters Simulator::Counters(std::size_t index) const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    const SimDevice* d = DeviceAt(index);
    return d != nullptr ? d->Counters() : DeviceCounters{};
}

DeviceCounters Simulator::TotalCounters() const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    DeviceCounters sum;
    if (running_.load()) {
        for (const Slot& slot : slots_) {
            Add(sum, slot.device->Counters());
        }
    }
    return sum;
}

std::uint64_t Simulator::DiscoveryDatagrams() const {
    return discovery_datagrams_.load();
}

Faults Simulator::GetFaults(std::size_t index) const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    const SimDevice* d = DeviceAt(index);
    return d != nullptr ? d->GetFaults() : Faults{};
}

void Simulator::SetFaults(std::size_t index, const Faults& faults) {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (DeviceAt(index) != nullptr) {
        slots_[index].device->SetFaults(faults);
    }
}

void Simulator::SetFaultsAll(const Faults& faults) {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (running_.load()) {
        for (Slot& slot : slots_) {
            slot.device->SetFaults(faults);
        }
    }
}

std::vector<TunerState> Simulator::Tuners(std::size_t index) const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    const SimDevice* d = DeviceAt(index);
    return d != nullptr ? d->Tuners(Now()) : std::vector<TunerState>{};
}

Kx260Status Simulator::Kx260(std::size_t index) const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    const SimDevice* d = DeviceAt(index);
    return d != nullptr ? d->Kx260() : Kx260Status{};
}

Kx9Status Simulator::Kx9(std::size_t index) const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    const SimDevice* d = DeviceAt(index);
    return d != nullptr ? d->Kx9() : Kx9Status{};
}

std::vector<Network::SockAddr> Simulator::InputRoutes(std::size_t index) const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    const SimDevice* d = DeviceAt(index);
    return d != nullptr ? d->InputRoutes() : std::vector<Network::SockAddr>{};
}

std::vector<Network::SockAddr> Simulator::OutputAddresses(std::size_t index) const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    return DeviceAt(index) != nullptr ? slots_[index].output_addresses : std::vector<Network::SockAddr>{};
}

std::vector<std::uint64_t> Simulator::OutputPackets(std::size_t index) const {
    std::lock_guard<std::mutex> lock(lifecycle_);
    const SimDevice* d = DeviceAt(index);
    return d != nullptr ? d->OutputPackets() : std::vector<std::uint64_t>{};
}

}  // namespace Sim
