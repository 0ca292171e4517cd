#pragma once

// The Norvane SDK: find Kx410 FM-tuner receivers on the local network and drive them.
//
// Texts in the records are UTF-8, except the RDS texts, which are wide strings as the device sends them.
// No function of this interface throws: failures are a false result or an empty/zero value, and the
// reason is written to the SDK's debug log.

#include <norvane/export.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Norvane::SDK {

// What a device says about itself, plus its sample frequency.
struct NORVANE_SDK_API DeviceInfo {
    DeviceInfo();
    DeviceInfo(const DeviceInfo&);
    DeviceInfo(DeviceInfo&&) noexcept;
    DeviceInfo& operator=(const DeviceInfo&);
    DeviceInfo& operator=(DeviceInfo&&) noexcept;
    ~DeviceInfo();

    std::string unit_id;
    uint32_t hardware = 0;
    uint32_t firmware = 0;
    uint32_t software = 0;
    uint32_t audio_protocol = 0;  // selects the RTP payload type
    uint32_t control_protocol = 0;
    uint32_t rtp_port = 0;     // the host sends output stream i to rtp_port + 2*i
    uint32_t inputs = 0;       // for the FM tuner: the number of tuners
    uint32_t device_freq = 0;  // sample frequency in Hz; 0 until the device reported it
};

// A device found by discovery, with where it answered from.
struct NORVANE_SDK_API DeviceInfoEx : DeviceInfo {
    DeviceInfoEx();
    DeviceInfoEx(const DeviceInfoEx&);
    DeviceInfoEx(DeviceInfoEx&&) noexcept;
    DeviceInfoEx& operator=(const DeviceInfoEx&);
    DeviceInfoEx& operator=(DeviceInfoEx&&) noexcept;
    ~DeviceInfoEx();

    std::string address;    // dotted quad, without port
    uint16_t port = 15001;  // the device's control port
};

// How to reach one device. The control socket receives only when it is bound to a real local address
// and a non-zero port: give both host_addr and host_port.
struct NORVANE_SDK_API DeviceInitSettings {
    DeviceInitSettings();
    DeviceInitSettings(const DeviceInitSettings&);
    DeviceInitSettings(DeviceInitSettings&&) noexcept;
    DeviceInitSettings& operator=(const DeviceInitSettings&);
    DeviceInitSettings& operator=(DeviceInitSettings&&) noexcept;
    ~DeviceInitSettings();

    std::string device_addr;  // host name or dotted quad
    uint16_t device_port = 15001;
    std::string host_addr;  // local end of the session; the device sends its RTP streams here
    uint16_t host_port = 0;
};

// How to run audio.
struct NORVANE_SDK_API DeviceStartSettings {
    using AudioCallback = std::function<void(const std::vector<float*>& channels, size_t frames)>;
    using BuffersCallback = std::function<void(std::vector<float*>& channels, size_t frames)>;

    DeviceStartSettings();
    DeviceStartSettings(const DeviceStartSettings&);
    DeviceStartSettings(DeviceStartSettings&&) noexcept;
    DeviceStartSettings& operator=(const DeviceStartSettings&);
    DeviceStartSettings& operator=(DeviceStartSettings&&) noexcept;
    ~DeviceStartSettings();

    // Local RTP port base: input stream i is received on rtp_base_port + 2*i + 2. 0: the system chooses a
    // free port for each stream (the device is told which), so several receivers never clash.
    uint16_t rtp_base_port = 0;
    uint32_t buffer_window = 20;  // packets held per receive channel
    uint32_t start_latency = 10;  // packets behind the newest one where reading starts
    // Called once per audio block, one pointer per channel (two per device input), on the SDK's audio
    // thread. Init, Close, Start and Stop of the same device called from within it are refused (they
    // would wait for the very block that calls them) and leave a line in the debug log; nor may the
    // device be deleted there. An exception it throws is caught and counted in the debug log.
    AudioCallback on_audio;
    // When set, called at the start of every block to supply the buffers the audio is written to.
    BuffersCallback on_buffers;
};

// Reception quality of one tuner.
struct NORVANE_SDK_API Kx410TunerQualityValues {
    Kx410TunerQualityValues();
    Kx410TunerQualityValues(const Kx410TunerQualityValues&);
    Kx410TunerQualityValues(Kx410TunerQualityValues&&) noexcept;
    Kx410TunerQualityValues& operator=(const Kx410TunerQualityValues&);
    Kx410TunerQualityValues& operator=(Kx410TunerQualityValues&&) noexcept;
    ~Kx410TunerQualityValues();
    void Clear();

    uint32_t rssi = 0;
    uint32_t snr = 0;
    uint32_t multipath = 0;
    uint32_t pilot = 0;
    uint32_t valid = 0;
};

// RDS texts of one tuner, as the device sends them: UTF-16 where wchar_t has 16 bits (Windows), one
// character per wchar_t where it has 32 bits (Linux).
struct NORVANE_SDK_API Kx410TunerRdsDataValues {
    Kx410TunerRdsDataValues();
    Kx410TunerRdsDataValues(const Kx410TunerRdsDataValues&);
    Kx410TunerRdsDataValues(Kx410TunerRdsDataValues&&) noexcept;
    Kx410TunerRdsDataValues& operator=(const Kx410TunerRdsDataValues&);
    Kx410TunerRdsDataValues& operator=(Kx410TunerRdsDataValues&&) noexcept;
    ~Kx410TunerRdsDataValues();
    void Clear();

    std::wstring psrv;
    std::wstring text;
    std::wstring time;
};

// Connection state of a device.
enum DeviceState : uint32_t {
    Disconnected = 0,
    Connected = 1,
    RtpActive = 2,  // audio running
};

// Device model; the same numbers select the device class inside the library.
enum DeviceType : uint32_t {
    KX260 = 0,  // audio interface with inputs and bypass
    KX410 = 1,  // FM tuner
    KX9 = 2,    // device with a clock
};

// One FM-tuner device. Arrays passed to GetFmFreq, SetFmFreq, GetFmQuality and GetRdsData belong to the
// caller and hold at least GetInputs() elements.
class NORVANE_SDK_API IKx410 {
public:
    IKx410() = default;
    IKx410(const IKx410&) {}
    IKx410& operator=(const IKx410&) { return *this; }
    virtual ~IKx410();

    // Creates the socket services and the device object, connects and completes the handshake.
    virtual bool Init(const DeviceInitSettings& norvane_settings) = 0;
    // Stops audio if running and disconnects.
    virtual void Close() = 0;
    // Starts audio from a connected device; true when the state has become RtpActive.
    virtual bool Start(const DeviceStartSettings& norvane_settings) = 0;
    // Stops audio; a running device returns to Connected.
    virtual void Stop() = 0;
    virtual DeviceState GetState() = 0;
    virtual std::string GetDeviceId() = 0;
    virtual DeviceInfo GetDeviceInfo() = 0;
    virtual unsigned int GetInputs() = 0;
    virtual unsigned int GetFramesPerBlock() = 0;
    virtual unsigned int GetSampleFreq() = 0;
    // With request true, asks the device first and waits for its answer.
    virtual bool GetFmFreq(unsigned int* freqs, bool request) = 0;
    // Tunes every tuner, then reads the frequencies back.
    virtual bool SetFmFreq(const unsigned int* freqs) = 0;
    virtual bool GetFmQuality(Kx410TunerQualityValues* norvane_qvals, bool request) = 0;
    virtual bool GetRdsData(Kx410TunerRdsDataValues* norvane_rdsv, bool request) = 0;
};

// What happened to one audio stream (one device input, two channels) since Start. Each RTP packet is
// counted once: taken into the jitter buffer (packets_received, of which duplicate_packets were a second
// copy of one already there) or dropped (late, foreign, malformed). Each block delivered to on_audio is
// counted once per stream: played, silent (its packet never came), bad (its packet had another format or
// size, delivered as silence) or fill (the jitter buffer was still filling after a lock).
struct StreamStatistics {
    uint64_t packets_received = 0;
    uint64_t duplicate_packets = 0;
    uint64_t late_packets = 0;       // arrived after their block was delivered, or too far ahead
    uint64_t foreign_dropped = 0;    // sent by another host than the device
    uint64_t malformed_dropped = 0;  // not an RTP packet of the stream's payload type
    uint64_t blocks_played = 0;
    uint64_t silent_blocks = 0;
    uint64_t bad_blocks = 0;
    uint64_t relocks = 0;  // the stream lost its timing and was locked again
    // Blocks of silence while the jitter buffer filled after a lock (start_latency blocks at each lock):
    // the buffering delay, not lost packets, so they are not counted in silent_blocks.
    uint64_t fill_blocks = 0;
};

// One entry per device input while audio runs (the counts of the current Start); false, with the list
// empty, when `device` is null or not running audio.
NORVANE_SDK_API bool GetStreamStatistics(IKx410* device, std::vector<StreamStatistics>& stats);

// A new, unconnected FM-tuner object owned by the caller (delete it); null when allocation fails.
NORVANE_SDK_API IKx410* CreateKx410();

// Sends one discovery request to broadcast_network_addr:broadcast_port from host_network_addr:host_port
// and collects the devices that answer within 3000 ms: one entry per answering address and port (its
// latest answer), at most 4096 of them, none announcing more than 256 inputs or outputs.
NORVANE_SDK_API bool FindActiveDevices(const std::string& host_network_addr, unsigned int host_port,
                                       const std::string& broadcast_network_addr, unsigned int broadcast_port,
                                       std::vector<DeviceInfoEx>& norvane_devices_list);

// The SDK's version as "major.minor.patch".
NORVANE_SDK_API const char* GetSdkVersion();

}  // namespace Norvane::SDK
