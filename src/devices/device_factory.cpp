#include <memory>
#include <new>

#include "common/environment.h"
#include "devices/device.h"
#include "devices/device_kx260.h"
#include "devices/device_kx410.h"
#include "devices/device_kx9.h"
#include "devices/device_text.h"

namespace Norvane {

std::unique_ptr<IDevice> CreateDevice(SDK::DeviceType type, Network::INetManager* control,
                                      Network::INetManager* audio) {
    switch (type) {
        case SDK::KX410:
            return std::unique_ptr<IDevice>(new (std::nothrow) DeviceKx410(control, audio));
        case SDK::KX260:
            return std::unique_ptr<IDevice>(new (std::nothrow) DeviceKx260(control, audio));
        case SDK::KX9:
            return std::unique_ptr<IDevice>(new (std::nothrow) DeviceKx9(control, audio));
    }
    WriteAtLevel(GetProcessDebugLog(), kLogErrors,
                 FormatLine(L"CreateDevice: unknown device model %u", static_cast<unsigned>(type)));
    return nullptr;
}

}  // namespace Norvane
