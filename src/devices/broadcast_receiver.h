// Discovery: one "dev_find" to an address of the caller's choice (normally a broadcast address), then
// every "dev_info" answer that arrives within kDiscoveryWait, with the address it came from.
//
// Each search builds its own socket service, session and socket and tears them down before it returns.
// The socket is opened with the broadcast option, so a broadcast target works. Anybody may answer, so
// the list is bounded: one entry per sender (address and port), where a later answer of the same sender
// replaces the earlier one and keeps its place in arrival order (a device repeats its answer until it is
// acknowledged, the network may duplicate it, and a hostile sender may send any number of answers); at
// most kMaxDiscoveredDevices senders, answers of further ones are dropped and counted. An answer that
// does not describe a device we could drive (more than kMaxDeviceChannels inputs or outputs) is dropped
// and counted; texts are cut to kMaxDeviceTextLength characters. One log line after the search reports
// what was dropped.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "common/err_info.h"
#include "devices/device.h"
#include "net/json_udp_manager.h"
#include "protocol/sock_addr.h"

namespace Norvane {

// How long a search collects answers.
inline constexpr std::chrono::milliseconds kDiscoveryWait{3000};
// Senders one search lists at most: a few LANs full of devices, a small fraction of what a flood of
// answers would otherwise make us keep.
inline constexpr std::size_t kMaxDiscoveredDevices = 4096;
// The receive buffer the search's socket asks for. Every device answers a search at once with two
// datagrams (its acknowledgement of "dev_find" and its "dev_info", about 50 and 200 bytes), and Linux
// charges each such datagram 832 bytes of the socket's buffer on loopback (measured), so 1,000 answers
// take 1,664,000 bytes. Linux doubles what it is asked for (4 MiB here) up to twice net.core.rmem_max;
// Windows takes the value as it is. Either way room for a thousand devices answering in the same instant,
// with a margin for the service thread's slower moments.
inline constexpr std::uint32_t kDiscoveryReceiveBuffer = 2u << 20;

// One answer: the device's description (no sample frequency: device_freq is 0) and its sender.
struct DiscoveredDevice {
    DeviceDescription description;
    Network::SockAddr source;
};

class BroadcastReceiver : public Network::IJsonUdpReceiver {
public:
    // Sends one "dev_find" from `local` to `target` and fills `result` (emptied first) with the answers
    // in arrival order. No answer is not an error. Takes at least `wait`.
    ErrInfo FindActiveDevices(const Network::SockAddr& local, const Network::SockAddr& target,
                              std::vector<DiscoveredDevice>& result,
                              std::chrono::milliseconds wait = kDiscoveryWait);
    // The same with a receiver of its own.
    static ErrInfo Find(const Network::SockAddr& local, const Network::SockAddr& target,
                        std::vector<DiscoveredDevice>& result,
                        std::chrono::milliseconds wait = kDiscoveryWait);

    // IJsonUdpReceiver (the session's worker thread). Only "dev_info" is kept. Cheap whatever arrives: a
    // flood must not hold the search beyond its wait.
    void OnAck(Network::IJsonUdpManager* from, const std::shared_ptr<Network::JsonMsg>& msg) override;
    void OnMessage(Network::IJsonUdpManager* from, std::shared_ptr<Network::JsonMsg> msg,
                   const Network::SockAddr& sender) override;
    void OnError(Network::IJsonUdpManager* from, const ErrInfo& error) override;

    // The answers kept so far, in arrival order.
    [[nodiscard]] std::vector<DiscoveredDevice> Found();
    // Answers of senders beyond kMaxDiscoveredDevices, and answers describing no plausible device, dropped
    // since the search began.
    [[nodiscard]] std::uint64_t DroppedOverLimit();
    [[nodiscard]] std::uint64_t DroppedImplausible();

private:
    void Clear();

    std::mutex mutex_;
    std::vector<DiscoveredDevice> found_;
    std::map<Network::SockAddr, std::size_t> places_;  // sender -> its entry in found_
    std::uint64_t droppedOverLimit_ = 0;
    std::uint64_t droppedImplausible_ = 0;
};

}  // namespace Norvane
