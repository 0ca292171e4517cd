#include "devices/device_probe.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "devices/device_base.h"
#include "devices/device_text.h"
#include "net/json_udp_connect.h"
#include "protocol/device_msgs.h"

namespace Norvane {

namespace {

const Network::AsioDriverJsonMsgFactory& ProbeFactory() {
    static const Network::AsioDriverJsonMsgFactory factory;
    return factory;
}

// Hears the device alone, and keeps the type text of its first "dev_info" (cut like every device text).
class TypeReceiver final : public Network::IJsonUdpReceiver {
public:
    explicit TypeReceiver(Network::SockAddr device) : device_(std::move(device)) {}

    void OnAck(Network::IJsonUdpManager* /*from*/,
               const std::shared_ptr<Network::JsonMsg>& /*msg*/) override {}
    void OnError(Network::IJsonUdpManager* /*from*/, const ErrInfo& /*error*/) override {}
    bool AcceptsFrom(Network::IJsonUdpManager* /*from*/, const Network::SockAddr& sender) override {
        return sender == device_;
    }
    void OnMessage(Network::IJsonUdpManager* /*from*/, std::shared_ptr<Network::JsonMsg> msg,
                   const Network::SockAddr& sender) override {
        const auto* info = dynamic_cast<const Network::JsonMsgDevInfo*>(msg.get());
        if (info == nullptr || sender != device_) {
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!type_) {
            type_ = CutDeviceText(info->unit_type);
            cv_.notify_all();
        }
    }
    std::optional<std::wstring> Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, kResponseTimeout, [this] { return type_.has_value(); });
        return type_;
    }

private:
    const Network::SockAddr device_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<std::wstring> type_;
};

}  // namespace

ErrInfo ReadDeviceType(Network::INetManager* control, const DeviceInitInfo& settings, SDK::DeviceType& type) {
    ErrInfo result(ERR_PLACE("Norvane::ReadDeviceType"));
    const Network::SockAddr device(settings.device_addr, settings.device_port);
    if (!device.IsValid()) {
        return result.SetError(L"Can not resolve device address '" + settings.device_addr + L"'");
    }
    std::shared_ptr<Network::JsonUdpConnect> session;
    if (control != nullptr) {
        session = Network::JsonUdpConnect::Create(ComponentInfo{L"NorvaneDevice.TypeProbe"}, *control);
    }
    if (!session) {
        return result.SetError(L"Can not create objects");
    }
    TypeReceiver receiver(device);
    Network::JsonUdpConnectInfo info;
    info.receiver = &receiver;
    info.factory = &ProbeFactory();
    info.default_send_addr = device;
    info.local_addr = Network::SockAddr(settings.host_addr, settings.host_port);
    if (settings.clock != nullptr) {
        info.clock = settings.clock;
    }
    std::optional<std::wstring> text;
    ErrInfo err = session->Init(info);
    if (err.IsOk()) {
        err = session->Start();
    }
    if (err.IsOk()) {
        err = session->Send(std::make_shared<Network::JsonMsgGetDevInfo>(), Network::SockAddr());
    }
    if (err.IsOk()) {
        text = receiver.Wait();
    }
    // Joins the worker: the receiver is not called after this.
    session->Stop();
    if (!err.IsOk()) {
        return err;
    }
    if (!text) {
        return result.SetError(L"Message response time has expired");
    }
    for (const SDK::DeviceType known : {SDK::KX260, SDK::KX410, SDK::KX9}) {
        if (*text == DeviceTypeToText(known)) {
            type = known;
            return result;
        }
    }
    return result.SetError(L"Device " + device.ToString() + L" reports the type '" + *text +
                           L"', which is no model this library drives");
}

}  // namespace Norvane
