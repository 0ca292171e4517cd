#include "devices/device_kx9.h"

namespace Norvane {

DeviceKx9::DeviceKx9(Network::INetManager* control, Network::INetManager* audio)
    : DeviceBase(L"NorvaneKx9Device", control, audio) {}

DeviceKx9::~DeviceKx9() {
    Shutdown();
}

void DeviceKx9::SendCurrentTimeToDevice(ErrInfo& result) {
    if (GetState() == SDK::Disconnected) {
        result.SetError(L"Device is not connected");
        return;
    }
    result = SendCurTime();
}

}  // namespace Norvane
