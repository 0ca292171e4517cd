// DeviceKx9: the clock device. It keeps a wall-clock time that it sets from the host: every so often it
// asks "get_time" and the library answers with "cur_time" (the current local and UTC time). DeviceBase
// answers those requests for every model, at most one answer on its way at a time (the requests meanwhile
// are counted, never queued); this class adds the application's own way to send the time.
#pragma once

#include "devices/device_base.h"

namespace Norvane {

class DeviceKx9 final : public DeviceBase, public IDeviceKx9 {
public:
    DeviceKx9(Network::INetManager* control, Network::INetManager* audio);
    ~DeviceKx9() override;

    // IDevice
    [[nodiscard]] SDK::DeviceType GetType() override { return SDK::KX9; }
    [[nodiscard]] IDeviceKx9* GetKx9() override { return this; }

    // Sends the current time and waits for its acknowledgement; "Device is not connected", with nothing
    // sent, while the device is disconnected.
    void SendCurrentTimeToDevice(ErrInfo& result);

protected:
    void OnConnected() override {}
    void OnDisconnected() override {}
};

}  // namespace Norvane
