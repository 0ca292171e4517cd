// Discovery: one "dev_find" to an address of the caller's choice (normally a broadcast address), then
// every "dev_info" answer that arrives within kDiscoveryWait, with the address it came from.
//
// Each search builds its own socket service, session and socket and tears them down before it returns.
// The socket is opened with the broadcast option, so a broadcast target works. An answer is listed once
// per message: a repeat of the same message from the same sender (the device repeats its answer until it
// is acknowledged, and the network may duplicate it) is listed only the first time, whenever it arrives;
// the same device answering with two different messages is listed twice.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "common/err_info.h"
#include "devices/device.h"
#include "net/json_udp_manager.h"
#include "protocol/sock_addr.h"

namespace Norvane {

// How long a search collects answers.
inline constexpr std::chrono::milliseconds kDiscoveryWait{3000};

// One answer: the device's description (no sample frequency: device_freq is 0) and its sender.
struct DiscoveredDevice {
    DeviceDescription description;
    Network::SockAddr source;
};

class BroadcastReceiver : public Network::IJsonUdpReceiver {
public:
    // Sends one "dev_find" from `local` to `target` and fills `result` (emptied first) with the answers
    // in arrival order. No answer is not an error. Takes at least kDiscoveryWait.
    ErrInfo FindActiveDevices(const Network::SockAddr& local, const Network::SockAddr& target,
                              std::vector<DiscoveredDevice>& result);
    // The same with a receiver of its own.
    static ErrInfo Find(const Network::SockAddr& local, const Network::SockAddr& target,
                        std::vector<DiscoveredDevice>& result);

    // IJsonUdpReceiver (the session's worker thread). Only "dev_info" is kept.
    void OnAck(Network::IJsonUdpManager* from, const std::shared_ptr<Network::JsonMsg>& msg) override;
    void OnMessage(Network::IJsonUdpManager* from, std::shared_ptr<Network::JsonMsg> msg,
                   const Network::SockAddr& sender) override;
    void OnError(Network::IJsonUdpManager* from, const ErrInfo& error) override;

    // The answers kept so far, in arrival order.
    [[nodiscard]] std::vector<DiscoveredDevice> Found();

private:
    std::mutex mutex_;
    std::vector<DiscoveredDevice> found_;
    std::set<std::pair<Network::SockAddr, std::uint32_t>> seen_;  // sender and msg_id of every answer
};

}  // namespace Norvane
