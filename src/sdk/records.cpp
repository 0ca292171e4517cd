#include <norvane/sdk.h>

// The records' special members live in the library so that their layout and behaviour are the SDK's,
// whichever compiler settings the application uses around them.

namespace Norvane::SDK {

#define NORVANE_DEFAULT_MEMBERS(T)           \
    T::T() = default;                        \
    T::T(const T&) = default;                \
    T::T(T&&) noexcept = default;            \
    T& T::operator=(const T&) = default;     \
    T& T::operator=(T&&) noexcept = default; \
    T::~T() = default;

NORVANE_DEFAULT_MEMBERS(DeviceInfo)
NORVANE_DEFAULT_MEMBERS(DeviceInfoEx)
NORVANE_DEFAULT_MEMBERS(DeviceInitSettings)
NORVANE_DEFAULT_MEMBERS(DeviceStartSettings)
NORVANE_DEFAULT_MEMBERS(Kx410TunerQualityValues)
NORVANE_DEFAULT_MEMBERS(Kx410TunerRdsDataValues)

#undef NORVANE_DEFAULT_MEMBERS

void Kx410TunerQualityValues::Clear() {
    rssi = 0;
    snr = 0;
    multipath = 0;
    pilot = 0;
    valid = 0;
}

void Kx410TunerRdsDataValues::Clear() {
    psrv.clear();
    text.clear();
    time.clear();
}

IKx410::~IKx410() = default;

const char* GetSdkVersion() {
    return NORVANE_VERSION;
}

}  // namespace Norvane::SDK
