#include "devices/broadcast_receiver.h"

#include <thread>

#include "common/environment.h"
#include "devices/device_text.h"
#include "net/inet.h"
#include "net/json_udp_connect.h"
#include "protocol/device_msgs.h"

namespace Norvane {

namespace {

const Network::AsioDriverJsonMsgFactory& DiscoveryFactory() {
    static const Network::AsioDriverJsonMsgFactory factory;
    return factory;
}

// Sleeps until `duration` has passed on the steady clock (a single sleep may end a little early on some
// systems).
void SleepFully(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
        std::this_thread::sleep_for(deadline - now);
    }
}

}  // namespace

ErrInfo BroadcastReceiver::Find(const Network::SockAddr& local, const Network::SockAddr& target,
                                std::vector<DiscoveredDevice>& result, std::chrono::milliseconds wait) {
    BroadcastReceiver receiver;
    return receiver.FindActiveDevices(local, target, result, wait);
}

ErrInfo BroadcastReceiver::FindActiveDevices(const Network::SockAddr& local, const Network::SockAddr& target,
                                             std::vector<DiscoveredDevice>& result,
                                             std::chrono::milliseconds wait) {
    ErrInfo err(ERR_PLACE("Norvane::BroadcastReceiver::FindActiveDevices"));
    result.clear();
    Clear();
    // Declared first so that it is destroyed last: the session's socket belongs to it.
    std::shared_ptr<Network::INetManager> service =
        Network::INetManager::Create(ComponentInfo{L"BroadcastReceiver NetManager"}, true, 0);
    if (!service) {
        return err.SetError(L"Can not create UdpNetMan");
    }
    std::shared_ptr<Network::JsonUdpConnect> session =
        Network::JsonUdpConnect::Create(ComponentInfo{L"BroadcastReceiver.JsonUdpConnect"}, *service);
    if (!session) {
        return err.SetError(L"Can not create JsonUdpConnect");
    }

    Network::JsonUdpConnectInfo info;
    info.receiver = this;
    info.factory = &DiscoveryFactory();
    info.local_addr = local;
    // The target is normally a broadcast address, which the system refuses without this option.
    info.broadcast = true;
    // Answers come in a burst and are never repeated: the socket and the worker's queue hold them all.
    info.socket_recv_buffer = kDiscoveryReceiveBuffer;
    info.max_received_waiting = kMaxDiscoveredDevices;
    if (ErrInfo e = session->Init(info); !e.IsOk()) {
        return e;
    }
    if (ErrInfo e = session->Start(); !e.IsOk()) {
        return e;
    }
    if (ErrInfo e = session->SendDirect(std::make_shared<Network::JsonMsgDevFind>(), target); !e.IsOk()) {
        session->Stop();
        return e;
    }
    SleepFully(wait);
    // No callback after this: the list is complete.
    session->Stop();
    const std::int32_t queueDropped = session->GetStats().ReceiveQueueDropped;
    session.reset();
    service.reset();

    result = Found();
    const std::uint64_t overLimit = DroppedOverLimit();
    const std::uint64_t implausible = DroppedImplausible();
    if (overLimit != 0 || implausible != 0) {
        WriteAtLevel(GetProcessDebugLog(), kLogErrors,
                     FormatLine(L"Discovery from %ls: %llu answers of further senders dropped (at most %zu "
                                L"devices are listed), %llu answers announcing more than %u inputs or "
                                L"outputs dropped",
                                local.ToString().c_str(), static_cast<unsigned long long>(overLimit),
                                kMaxDiscoveredDevices, static_cast<unsigned long long>(implausible),
                                kMaxDeviceChannels));
    }
    if (queueDropped != 0) {
        WriteAtLevel(
            GetProcessDebugLog(), kLogErrors,
            FormatLine(L"Discovery from %ls: %d messages dropped, %zu were already waiting to be handed "
                       L"on (the limit)",
                       local.ToString().c_str(), queueDropped, kMaxDiscoveredDevices));
    }
    return err;
}

void BroadcastReceiver::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    found_.clear();
    places_.clear();
    droppedOverLimit_ = 0;
    droppedImplausible_ = 0;
}

std::vector<DiscoveredDevice> BroadcastReceiver::Found() {
    std::lock_guard<std::mutex> lock(mutex_);
    return found_;
}

std::uint64_t BroadcastReceiver::DroppedOverLimit() {
    std::lock_guard<std::mutex> lock(mutex_);
    return droppedOverLimit_;
}

std::uint64_t BroadcastReceiver::DroppedImplausible() {
    std::lock_guard<std::mutex> lock(mutex_);
    return droppedImplausible_;
}

void BroadcastReceiver::OnAck(Network::IJsonUdpManager* /*from*/,
                              const std::shared_ptr<Network::JsonMsg>& /*msg*/) {}

void BroadcastReceiver::OnError(Network::IJsonUdpManager* /*from*/, const ErrInfo& /*error*/) {}

void BroadcastReceiver::OnMessage(Network::IJsonUdpManager* /*from*/, std::shared_ptr<Network::JsonMsg> msg,
                                  const Network::SockAddr& sender) {
    const auto* info = dynamic_cast<const Network::JsonMsgDevInfo*>(msg.get());
    if (info == nullptr) {
        return;
    }
    if (info->inputs > kMaxDeviceChannels || info->outputs > kMaxDeviceChannels) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++droppedImplausible_;
        return;
    }
    DiscoveredDevice device;
    device.description.unit_id = CutDeviceText(info->unit_id);
    device.description.hardware = info->hardware;
    device.description.firmware = info->firmware;
    device.description.software = info->software;
    device.description.audio_protocol = info->audio_protocol;
    device.description.control_protocol = info->control_protocol;
    device.description.rtp_port = info->rtp_port;
    device.description.inputs = info->inputs;
    device.description.outputs = info->outputs;
    device.source = sender;

    std::lock_guard<std::mutex> lock(mutex_);
    if (const auto place = places_.find(sender); place != places_.end()) {
        found_[place->second] = std::move(device);
        return;
    }
    if (found_.size() >= kMaxDiscoveredDevices) {
        ++droppedOverLimit_;
        return;
    }
    places_.emplace(sender, found_.size());
    found_.push_back(std::move(device));
}

}  // namespace Norvane
