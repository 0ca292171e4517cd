// Discovery with a wait of the caller's choosing, for the C interface; FindActiveDevices is this with
// the standard 3000 ms.
#pragma once

#include <norvane/sdk.h>

#include <chrono>
#include <string>
#include <vector>

namespace Norvane::SDK {

// FindActiveDevices collecting answers for `wait` instead of the standard wait.
bool FindDevicesWaiting(const std::string& host_network_addr, unsigned int host_port,
                        const std::string& broadcast_network_addr, unsigned int broadcast_port,
                        std::chrono::milliseconds wait, std::vector<DeviceInfoEx>& norvane_devices_list);

}  // namespace Norvane::SDK
