// Kx410: the implementation of IKx410 behind CreateKx410. It owns the two socket services one FM tuner
// needs (control and audio) and the device object, and converts between the public records (UTF-8) and
// the library's own (wide texts, ErrInfo).
//
// What an Init creates is released by the next Init and by the destructor: the device is closed and
// destroyed first, then both socket services are stopped (their threads joined, their sockets closed).
#pragma once

#include <norvane/sdk.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

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

    // The services of the last Init (null before it), for diagnostics and tests.
    [[nodiscard]] std::weak_ptr<Network::INetManager> ControlService() const { return control_; }
    [[nodiscard]] std::weak_ptr<Network::INetManager> AudioService() const { return audio_; }

private:
    // Closes and destroys the device, then the services.
    void Release();

    std::shared_ptr<Network::INetManager> control_;
    std::shared_ptr<Network::INetManager> audio_;
    std::unique_ptr<IDevice> device_;
    IDeviceKx410* tuner_ = nullptr;
    DeviceDescription cached_;
    std::function<void(const std::vector<float*>&, std::size_t)> onAudio_;
};

// The device's description as the public record (the output count is not carried over).
DeviceInfo ToDeviceInfo(const DeviceDescription& description);
// The public state of a device state number; anything unknown is Disconnected.
DeviceState ToDeviceState(std::uint32_t state);

}  // namespace Norvane::SDK
