#include <memory>
#include <new>

#include "common/environment.h"
#include "devices/device.h"
#include "devices/device_kx410.h"
#include "devices/device_text.h"

namespace Norvane {

std::unique_ptr<IDevice> CreateDevice(SDK::DeviceType type, Network::INetManager* control,
                                      Network::INetManager* audio) {
    switch (type) {
        case SDK::KX410:
            return std::unique_ptr<IDevice>(new (std::nothrow) DeviceKx410(control, audio));
        case SDK::KX260:
        case SDK::KX9:
            WriteAtLevel(GetProcessDebugLog(), kLogErrors,
                         FormatLine(L"CreateDevice: device model %ls is not available in this build",
                                    DeviceTypeToText(type).c_str()));
            return nullptr;
    }
    WriteAtLevel(GetProcessDebugLog(), kLogErrors,
                 FormatLine(L"CreateDevice: unknown device model %u", static_cast<unsigned>(type)));
    return nullptr;
}

}  // namespace Norvane
