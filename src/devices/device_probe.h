// Which model a device is, before a model's object is made for it: one "get_dev_info" over a session of
// its own, and the "unit_type" of the answer. A tool that is handed only an address uses it to pick the
// device class.
#pragma once

#include <norvane/sdk.h>

#include "common/err_info.h"
#include "devices/device.h"

namespace Network {
class INetManager;
}

namespace Norvane {

// Asks the device of `settings` (its address and port, the local end, the clock) through a session on
// `control` and sets `type` from its answer. Only an answer from the device's address and port counts.
// Fails when no answer comes within kResponseTimeout ("Message response time has expired"), or when it
// names a type that is no model of this library (the error quotes it).
ErrInfo ReadDeviceType(Network::INetManager* control, const DeviceInitInfo& settings, SDK::DeviceType& type);

}  // namespace Norvane
