// The general device interface the SDK façade drives, the records it is initialised and started with, the
// interface of each model, and the device factory.
//
// A device keeps the control session with one networked device: it connects (the "get_dev_info" /
// "get_state" handshake), keeps the device's description and lets its owner read and change the model's
// values. The façade holds a device as IDevice and reaches the model's own operations through
// GetKx410() (or GetKx260(), GetKx9()).
#pragma once

#include <norvane/sdk.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/err_info.h"
#include "protocol/json_msg.h"
#include "rtp/rtp.h"

class IClock;

namespace Network {
class INetManager;
}

namespace Norvane {

// Control port a device listens on unless told otherwise.
inline constexpr std::uint16_t kDefaultDevicePort = 15001;
// Samples per channel in one audio block, for every model.
inline constexpr std::uint32_t kFramesPerBlock = 192;
// The most inputs, and the most outputs, a device may announce. The device and the façade size their
// lists and the application's arrays by these counts, so a description must not make them allocate
// without bound. Every answer that carries one entry per input has to fit into one control datagram
// (1472 bytes, at least two bytes an entry), which no device with more than about 700 inputs could do;
// 256 is the power of two below that, far above any model (two tuners) and the simulator's 64.
inline constexpr std::uint32_t kMaxDeviceChannels = 256;
// Texts a device describes itself with (its unit id) are cut to this many characters.
inline constexpr std::size_t kMaxDeviceTextLength = 256;

// What a device says about itself ("dev_info") plus its sample frequency ("state").
struct DeviceDescription {
    std::wstring unit_id;
    std::uint32_t hardware = 0;
    std::uint32_t firmware = 0;
    std::uint32_t software = 0;
    std::uint32_t audio_protocol = 0;
    std::uint32_t control_protocol = 0;
    std::uint32_t rtp_port = 0;
    std::uint32_t inputs = 0;
    std::uint32_t outputs = 0;
    std::uint32_t device_freq = 0;  // Hz, from "state"; 0 until reported
};

// How to reach one device.
struct DeviceInitInfo {
    std::wstring device_addr;  // host name or dotted quad
    std::uint16_t device_port = kDefaultDevicePort;
    std::wstring host_addr;  // local end of the session
    std::uint16_t host_port = 0;
    // Called (on the session's worker thread) with every message accepted from the device.
    std::function<void(const std::shared_ptr<Network::JsonMsg>&)> on_message;
    // The time the session's repeats and the device's own rules run on; not owned, must outlive the
    // connection. Null: the process's real clock.
    IClock* clock = nullptr;
};

// How to run audio. The callbacks run on the audio thread, once per block; from there Init, Close, Start
// and Stop of the same device are refused (they would wait for the very block that calls them). An
// exception they throw is caught, counted and logged.
struct DeviceStartInfo {
    using AudioIoCallback =
        std::function<void(const std::vector<float*>& in, std::vector<float*>& out, std::size_t frames)>;
    using BuffersCallback = std::function<void(std::vector<float*>& in, std::size_t frames)>;

    // Input stream i is received on rtp_base_port + 2*i + 2; 0: on ports the system chooses.
    std::uint16_t rtp_base_port = 0;
    std::uint32_t buffer_window = 20;
    std::uint32_t start_latency = 10;
    AudioIoCallback on_audio_io;       // once per block with the input and output channel buffers
    BuffersCallback on_buffers;        // when set, supplies the input buffers at the start of each block
    bool alloc_output_buffers = true;  // the library allocates the output buffers
};

// Reception quality of one tuner (the device's "rssi", "snr", "multipath", "pilot" and "valid").
struct TunerQualityValues {
    std::uint32_t rssi = 0;
    std::uint32_t snr = 0;
    std::uint32_t multipath = 0;
    std::uint32_t pilot = 0;
    std::uint32_t valid = 0;
    friend bool operator==(const TunerQualityValues&, const TunerQualityValues&) = default;
};

// RDS texts of one tuner, as the device sends them.
struct TunerRdsDataValues {
    std::wstring psrv;
    std::wstring text;
    std::wstring time;
    friend bool operator==(const TunerRdsDataValues&, const TunerRdsDataValues&) = default;
};

// The clock device's own interface: it has no operations; the device asks for the time ("get_time") and
// the library answers by itself.
class IDeviceKx9 {
public:
    virtual ~IDeviceKx9() = default;
};

// The audio interface's own operations. Values are the library's: select 0 analog, 1 digital (AES);
// gain 0 +4dBu, 1 -10dBu; bypass 0 none (or not yet known), 1 present but not yet reported, 2 off, 3 on.
// Each "set" returns false when its message is not acknowledged, otherwise whether the read-back that
// follows it got a new answer.
class IDeviceKx260 {
public:
    virtual ~IDeviceKx260() = default;
    // Sets the device's sample frequency (Hz) and reads the state back.
    virtual bool SetDeviceFreq(unsigned int freq) = 0;
    // With `request`, asks the device first and waits for a new answer.
    virtual bool GetInputState(unsigned int* select, unsigned int* gain, unsigned int* input_freq,
                               bool request) = 0;
    // Selects the input and the analog gain (a value outside the table is sent as undefined, which the
    // device leaves as it is) and reads the state back.
    virtual bool SetInput(unsigned int select, unsigned int gain) = 0;
    virtual bool GetBypass(unsigned int* bypass, bool request) = 0;
    // Switches the bypass relay and reads it back; false at once for a device without one.
    virtual bool SetBypass(bool on) = 0;
};

// The FM tuner's own operations. The arrays hold one element per tuner (the device's inputs).
class IDeviceKx410 {
public:
    virtual ~IDeviceKx410() = default;
    // With `request`, asks the device first and waits for a new answer.
    virtual bool GetFmFreq(unsigned int* freqs, bool request) = 0;
    // Tunes every tuner and reads the frequencies back.
    virtual bool SetFmFreq(const unsigned int* freqs) = 0;
    virtual bool GetFmQuality(TunerQualityValues* values, bool request) = 0;
    virtual bool GetRdsData(TunerRdsDataValues* values, bool request) = 0;
};

class IDevice {
public:
    virtual ~IDevice() = default;

    // Connects and completes the handshake.
    virtual ErrInfo Init(const DeviceInitInfo& settings) = 0;
    // Stops audio if it runs and disconnects; nothing when disconnected.
    virtual void Close() = 0;
    // Starts audio from a connected device; a failure leaves it connected, with no audio objects and
    // the device told to stop sending.
    virtual ErrInfo Start(const DeviceStartInfo& settings) = 0;
    // Stops audio; no callback runs any more when it returns.
    virtual void Stop() = 0;
    // One entry per input stream while audio runs; false, with `stats` empty, otherwise.
    virtual bool GetStreamStats(std::vector<Network::RtpStreamStats>& stats) = 0;

    [[nodiscard]] virtual SDK::DeviceType GetType() = 0;
    // 0 Disconnected, 1 Connected, 2 RtpActive.
    [[nodiscard]] virtual std::uint32_t GetState() = 0;
    // Copies: the session's worker thread may update the description at any time.
    [[nodiscard]] virtual std::wstring GetDeviceId() = 0;
    [[nodiscard]] virtual DeviceDescription GetDeviceInfo() = 0;
    [[nodiscard]] virtual std::uint32_t GetInputs() = 0;
    [[nodiscard]] virtual std::uint32_t GetOutputs() = 0;
    [[nodiscard]] virtual std::uint32_t GetFramesPerBlock() = 0;
    [[nodiscard]] virtual std::uint32_t GetSampleFreq() = 0;

    // The model's own interface; null for the other models.
    [[nodiscard]] virtual IDeviceKx260* GetKx260() { return nullptr; }
    [[nodiscard]] virtual IDeviceKx410* GetKx410() { return nullptr; }
    [[nodiscard]] virtual IDeviceKx9* GetKx9() { return nullptr; }
};

// True when the calling thread is running an audio block of `device` (its callbacks run there).
[[nodiscard]] bool InAudioBlock(const IDevice* device);

// A new device of `type` using the two socket services (not owned; they must outlive the device; the audio
// one may be null for a device that never starts audio), or null for a number outside the model table.
// The caller owns the result.
std::unique_ptr<IDevice> CreateDevice(SDK::DeviceType type, Network::INetManager* control,
                                      Network::INetManager* audio);

}  // namespace Norvane
