// Kx410: the implementation of IKx410 behind CreateKx410. It owns the two socket services one FM tuner
// needs (control and audio) and the device object, and converts between the public records (UTF-8) and
// the library's own (wide texts, ErrInfo).
//
// What an Init creates is released by the next Init and by the destructor: the device is closed and
// destroyed first, then both socket services are stopped (their threads joined, their sockets closed).
//
// No call throws: each one catches what its body throws (a failed allocation, in practice), logs it and
// gives the call's empty result.
#pragma once

#include <norvane/sdk.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/environment.h"
#include "devices/device.h"
#include "net/inet.h"

namespace Norvane::SDK {

// Names of the two socket services of a Kx410.
inline constexpr const wchar_t* kControlServiceName = L"NorvaneKx410Device control";
inline constexpr const wchar_t* kAudioServiceName = L"NorvaneKx410Device audio";

class Kx410 final : public IKx410 {
public:
    Kx410();
    ~Kx410() override;
    Kx410(const Kx410&) = delete;
    Kx410& operator=(const Kx410&) = delete;

    bool Init(const DeviceInitSettings& norvane_settings) override;
    void Close() override;
    bool Start(const DeviceStartSettings& norvane_settings) override;
    void Stop() override;
    DeviceState GetState() override;
    std::string GetDeviceId() override;
    DeviceInfo GetDeviceInfo() override;
    unsigned int GetInputs() override;
    unsigned int GetFramesPerBlock() override;
    unsigned int GetSampleFreq() override;
    bool GetFmFreq(unsigned int* freqs, bool request) override;
    bool SetFmFreq(const unsigned int* freqs) override;
    bool GetFmQuality(Kx410TunerQualityValues* norvane_qvals, bool request) override;
    bool GetRdsData(Kx410TunerRdsDataValues* norvane_rdsv, bool request) override;

    // One entry per device input while audio runs (replacing the list); false, with the list untouched,
    // otherwise.
    bool GetStreamStats(std::vector<StreamStatistics>& stats);

    // Whether the caller is this tuner's own audio callback, which Stop and the end of the object would
    // wait for.
    [[nodiscard]] bool InOwnAudioCallback() const { return device_ && InAudioBlock(device_.get()); }

    // The services of the last Init (null before it), for diagnostics and tests.
    [[nodiscard]] std::weak_ptr<Network::INetManager> ControlService() const { return control_; }
    [[nodiscard]] std::weak_ptr<Network::INetManager> AudioService() const { return audio_; }

private:
    // Closes and destroys the device, then the services.
    void Release();
    // Init without the guard against exceptions.
    bool InitDevice(const DeviceInitSettings& norvane_settings);

    std::shared_ptr<Network::INetManager> control_;
    std::shared_ptr<Network::INetManager> audio_;
    std::unique_ptr<IDevice> device_;
    IDeviceKx410* tuner_ = nullptr;
    DeviceDescription cached_;
};

// Runs the body of a call of the interface, which must not throw: an exception (in practice a failed
// allocation) ends the call with `fallback` and a log line naming the call.
template <class Result, class Body>
Result NoThrowCall(const wchar_t* call, Result fallback, Body&& body) noexcept {
    const wchar_t* what = L"an unknown exception";
    try {
        return body();
    } catch (const std::bad_alloc&) {
        what = L"out of memory";
    } catch (const std::exception&) {
        what = L"an exception";
    } catch (...) {
    }
    try {
        WriteAtLevel(GetProcessDebugLog(), kLogErrors,
                     std::wstring(L"Kx410: ") + call + L": failed: " + what);
    } catch (...) {
        // Not even the line could be made: the result says enough.
    }
    return fallback;
}

// The device's description as the public record (the output count is not carried over).
DeviceInfo ToDeviceInfo(const DeviceDescription& description);
// The public state of a device state number; anything unknown is Disconnected.
DeviceState ToDeviceState(std::uint32_t state);

}  // namespace Norvane::SDK
