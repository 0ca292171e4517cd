// The device simulator: any number of simulated FM tuner devices in one process, each with its own
// control socket and port, plus a discovery port that plays the LAN's broadcast domain (a "dev_find"
// arriving there reaches every device, and each answers from its own control socket).
//
// One thread serves every socket through the platform's socket wait and steps every device whenever
// something is due (an incoming datagram, a delayed one, a repetition, a block of audio). A device with
// outputs has one more socket per output, where it counts the host's RTP packets; a device's RTP streams
// leave from its control socket. Tests, benchmarks, the CLI's demo
// and the kxsim tool all start it the same way:
//
//     Sim::Simulator sim;
//     std::string error;
//     if (!sim.Start(Sim::SimConfig::WithDevices(2), &error)) { ... }
//     Network::SockAddr device = sim.DeviceAddress(0);   // 127.0.0.1:<its control port>
//     ...
//     sim.Stop();
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/poller.h"
#include "platform/socket.h"
#include "protocol/sock_addr.h"
#include "sim/config.h"
#include "sim/faults.h"
#include "sim/sim_device.h"

namespace Sim {

// A running device as a client reaches it.
struct DeviceEndpoint {
    std::size_t index = 0;
    std::string unit_id;
    Network::SockAddr address;  // the control socket (127.0.0.1 when bound to any address)
};

class Simulator {
public:
    Simulator() = default;
    // Stops the simulator.
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens every socket and starts the thread. False, with the reason in `error` when given, when a
    // socket cannot be opened or bound, or when the simulator already runs; nothing stays open then.
    bool Start(const SimConfig& config, std::string* error = nullptr);
    // Stops the thread and closes every socket; what is still on its way is dropped. Counters, tuners
    // and faults can no longer be read. Start may be called again.
    void Stop();
    [[nodiscard]] bool IsRunning() const;

    // ---- while running; any thread. Out-of-range indexes give empty results and change nothing. ----
    [[nodiscard]] std::size_t DeviceCount() const;
    [[nodiscard]] std::vector<DeviceEndpoint> Devices() const;
    [[nodiscard]] Network::SockAddr DeviceAddress(std::size_t index) const;
    // Cleared when the discovery port is off or the simulator does not run.
    [[nodiscard]] Network::SockAddr DiscoveryAddress() const;

    [[nodiscard]] DeviceCounters Counters(std::size_t index) const;
    // Every device's counters added up.
    [[nodiscard]] DeviceCounters TotalCounters() const;
    // Datagrams read at the discovery port.
    [[nodiscard]] std::uint64_t DiscoveryDatagrams() const;

    [[nodiscard]] Faults GetFaults(std::size_t index) const;
    void SetFaults(std::size_t index, const Faults& faults);
    void SetFaultsAll(const Faults& faults);

    [[nodiscard]] std::vector<TunerState> Tuners(std::size_t index) const;
    // The state of a KX260 / KX9 device (defaults for a device of another model).
    [[nodiscard]] Kx260Status Kx260(std::size_t index) const;
    [[nodiscard]] Kx9Status Kx9(std::size_t index) const;
    [[nodiscard]] std::vector<Network::SockAddr> InputRoutes(std::size_t index) const;
    // Where each output listens for the host's stream (rtp_port + 2*i; 127.0.0.1 when bound to any).
    [[nodiscard]] std::vector<Network::SockAddr> OutputAddresses(std::size_t index) const;
    // RTP packets received per output.
    [[nodiscard]] std::vector<std::uint64_t> OutputPackets(std::size_t index) const;

private:
    struct Slot {
        std::unique_ptr<SimDevice> device;
        platform::UniqueSocket socket;
        Network::SockAddr address;
        std::vector<platform::UniqueSocket> output_sockets;
        std::vector<Network::SockAddr> output_addresses;
    };

    // The simulator's time: the configured clock, or the system's monotonic one.
    [[nodiscard]] TimePoint Now() const;
    // Opens the output sockets of a device at `rtp_port` + 2*i (0: the first at a free port); the port
    // of the first in `rtp_port`.
    bool OpenOutputs(Slot& slot, std::uint32_t outputs, const platform::SockAddrIn& bind_address, bool any,
                     std::uint32_t& rtp_port, std::string& error);
    void ReadOutput(platform::SocketHandle socket, std::size_t slot, std::size_t output,
                    std::vector<std::uint8_t>& buffer);

    void Run();
    void ReadSocket(platform::SocketHandle socket, std::size_t slot, bool discovery,
                    std::vector<std::uint8_t>& buffer, std::vector<std::string>* log);
    void Emit(std::vector<std::string>& lines);
    void EmitLine(const std::string& line);
    [[nodiscard]] const SimDevice* DeviceAt(std::size_t index) const;
    void Close();

    mutable std::mutex lifecycle_;  // Start, Stop and every reader of slots_
    SimConfig config_;
    std::vector<Slot> slots_;
    platform::UniqueSocket discovery_socket_;
    Network::SockAddr discovery_address_;
    std::unique_ptr<platform::SocketPoller> poller_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> discovery_datagrams_{0};
    // The thread's own: devices that were handed datagrams since their last Step.
    std::vector<char> touched_;
    bool socket_library_ = false;
};

}  // namespace Sim
