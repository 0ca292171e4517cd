#include "sdk/kx410.h"

#include <new>
#include <utility>

#include "common/environment.h"
#include "platform/utf8.h"

namespace Norvane::SDK {

namespace {

void LogLine(const std::wstring& text) {
    WriteAtLevel(GetProcessDebugLog(), kLogErrors, L"Kx410: " + text);
}

}  // namespace

DeviceInfo ToDeviceInfo(const DeviceDescription& d) {
    DeviceInfo info;
    info.unit_id = WideToUtf8(d.unit_id);
    info.hardware = d.hardware;
    info.firmware = d.firmware;
    info.software = d.software;
    info.audio_protocol = d.audio_protocol;
    info.control_protocol = d.control_protocol;
    info.rtp_port = d.rtp_port;
    info.inputs = d.inputs;
    info.device_freq = d.device_freq;
    return info;
}

DeviceState ToDeviceState(std::uint32_t state) {
    switch (state) {
        case Connected:
            return Connected;
        case RtpActive:
            return RtpActive;
        default:
            return Disconnected;
    }
}

Kx410::Kx410() = default;

Kx410::~Kx410() {
    (void)NoThrowCall(L"~Kx410", false, [this] {
        Release();
        return true;
    });
}

void Kx410::Release() {
    tuner_ = nullptr;
    if (device_) {
        device_->Close();
        // The device's session has a socket on the control service: the device goes first.
        device_.reset();
    }
    control_.reset();
    audio_.reset();
    cached_ = DeviceDescription{};
}

bool Kx410::Init(const DeviceInitSettings& norvane_settings) {
    return NoThrowCall(L"Init", false, [&] { return InitDevice(norvane_settings); });
}

bool Kx410::InitDevice(const DeviceInitSettings& norvane_settings) {
    if (device_ && InAudioBlock(device_.get())) {
        // Releasing the device would destroy the object whose callback is running.
        LogLine(L"Init refused: called from within the audio callback");
        return false;
    }
    // Whatever an earlier Init made is closed and released; its threads and sockets do not linger.
    Release();

    control_ = Network::INetManager::Create(ComponentInfo{kControlServiceName}, true, 0);
    audio_ = Network::INetManager::Create(ComponentInfo{kAudioServiceName}, true, 0);
    if (!control_ || !audio_) {
        LogLine(L"Init: the socket services could not be created");
        return false;
    }
    device_ = CreateDevice(KX410, control_.get(), audio_.get());
    if (!device_) {
        return false;
    }
    tuner_ = device_->GetKx410();
    if (tuner_ == nullptr) {
        return false;
    }

    DeviceInitInfo settings;
    settings.device_addr = Utf8ToWide(norvane_settings.device_addr);
    settings.device_port = norvane_settings.device_port;
    settings.host_addr = Utf8ToWide(norvane_settings.host_addr);
    settings.host_port = norvane_settings.host_port;
    if (ErrInfo err = device_->Init(settings); !err.IsOk()) {
        return false;
    }
    cached_ = device_->GetDeviceInfo();
    return true;
}

void Kx410::Close() {
    (void)NoThrowCall(L"Close", false, [this] {
        if (device_) {
            device_->Close();
        }
        return true;
    });
}

bool Kx410::Start(const DeviceStartSettings& norvane_settings) {
    return NoThrowCall(L"Start", false, [&] {
        if (!device_) {
            return false;
        }
        DeviceStartInfo settings;
        settings.rtp_base_port = norvane_settings.rtp_base_port;
        settings.buffer_window = norvane_settings.buffer_window;
        settings.start_latency = norvane_settings.start_latency;
        settings.on_buffers = norvane_settings.on_buffers;
        settings.alloc_output_buffers = false;
        // The device holds the application's callback with its start settings, so a Start refused while
        // audio runs cannot change the one the audio thread is calling.
        if (norvane_settings.on_audio) {
            settings.on_audio_io = [onAudio = norvane_settings.on_audio](
                                       const std::vector<float*>& in,
                                       [[maybe_unused]] std::vector<float*>& out,
                                       std::size_t frames) { onAudio(in, frames); };
        }
        ErrInfo err = device_->Start(settings);
        if (!err.IsOk()) {
            LogLine(L"Start: audio could not be started: " + err.ToShortString());
            err.MarkHandled();
            return false;
        }
        return true;
    });
}

bool Kx410::GetStreamStats(std::vector<StreamStatistics>& stats) {
    std::vector<Network::RtpStreamStats> streams;
    if (!device_ || !device_->GetStreamStats(streams)) {
        return false;
    }
    std::vector<StreamStatistics> converted;
    for (const Network::RtpStreamStats& s : streams) {
        StreamStatistics out;
        out.packets_received = s.packets_received;
        out.duplicate_packets = s.duplicate_packets;
        out.late_packets = s.late_packets;
        out.foreign_dropped = s.foreign_dropped;
        out.malformed_dropped = s.malformed_dropped;
        out.blocks_played = s.blocks_played;
        out.silent_blocks = s.silent_blocks;
        out.fill_blocks = s.fill_blocks;
        out.bad_blocks = s.bad_blocks;
        out.relocks = s.relocks;
        converted.push_back(out);
    }
    stats.swap(converted);
    return true;
}

bool GetStreamStatistics(IKx410* device, std::vector<StreamStatistics>& stats) {
    return NoThrowCall(L"GetStreamStatistics", false, [&] {
        stats.clear();
        // Kx410 is the one implementation; any other object has no streams of ours.
        auto* kx = dynamic_cast<Kx410*>(device);
        return kx != nullptr && kx->GetStreamStats(stats);
    });
}

void Kx410::Stop() {
    (void)NoThrowCall(L"Stop", false, [this] {
        if (device_) {
            device_->Stop();
        }
        return true;
    });
}

DeviceState Kx410::GetState() {
    return NoThrowCall(L"GetState", Disconnected,
                       [this] { return device_ ? ToDeviceState(device_->GetState()) : Disconnected; });
}

std::string Kx410::GetDeviceId() {
    return NoThrowCall(L"GetDeviceId", std::string(),
                       [this] { return device_ ? WideToUtf8(device_->GetDeviceId()) : std::string(); });
}

DeviceInfo Kx410::GetDeviceInfo() {
    return NoThrowCall(L"GetDeviceInfo", DeviceInfo(),
                       [this] { return device_ ? ToDeviceInfo(device_->GetDeviceInfo()) : DeviceInfo(); });
}

unsigned int Kx410::GetInputs() {
    return NoThrowCall(L"GetInputs", 0u, [this] { return device_ ? device_->GetInputs() : 0u; });
}

unsigned int Kx410::GetFramesPerBlock() {
    return NoThrowCall(L"GetFramesPerBlock", 0u,
                       [this] { return device_ ? device_->GetFramesPerBlock() : 0u; });
}

unsigned int Kx410::GetSampleFreq() {
    return NoThrowCall(L"GetSampleFreq", 0u, [this] { return device_ ? device_->GetSampleFreq() : 0u; });
}

bool Kx410::GetFmFreq(unsigned int* freqs, bool request) {
    return NoThrowCall(L"GetFmFreq", false,
                       [&] { return tuner_ != nullptr && tuner_->GetFmFreq(freqs, request); });
}

bool Kx410::SetFmFreq(const unsigned int* freqs) {
    return NoThrowCall(L"SetFmFreq", false, [&] { return tuner_ != nullptr && tuner_->SetFmFreq(freqs); });
}

bool Kx410::GetFmQuality(Kx410TunerQualityValues* norvane_qvals, bool request) {
    return NoThrowCall(L"GetFmQuality", false, [&] {
        if (tuner_ == nullptr) {
            return false;
        }
        std::vector<TunerQualityValues> values(cached_.inputs);
        if (!tuner_->GetFmQuality(values.data(), request)) {
            return false;
        }
        if (!values.empty() && norvane_qvals == nullptr) {
            return false;
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            norvane_qvals[i].rssi = values[i].rssi;
            norvane_qvals[i].snr = values[i].snr;
            norvane_qvals[i].multipath = values[i].multipath;
            norvane_qvals[i].pilot = values[i].pilot;
            norvane_qvals[i].valid = values[i].valid;
        }
        return true;
    });
}

// Texts that came through the JSON parser hold characters above U+FFFF as UTF-16 surrogate pairs. Where
// wchar_t has 32 bits the application expects one wchar_t per character, so such pairs are joined; a
// text that is not valid Unicode is handed over as the device sent it.
static std::wstring NativeWide(std::wstring text) {
    if constexpr (sizeof(wchar_t) == 4) {
        for (wchar_t c : text) {
            if (c >= 0xD800 && c <= 0xDFFF) {
                std::wstring joined = Utf8ToWide(WideToUtf8(text));
                return joined.empty() ? text : joined;
            }
        }
    }
    return text;
}

bool Kx410::GetRdsData(Kx410TunerRdsDataValues* norvane_rdsv, bool request) {
    return NoThrowCall(L"GetRdsData", false, [&] {
        if (tuner_ == nullptr) {
            return false;
        }
        std::vector<TunerRdsDataValues> values(cached_.inputs);
        if (!tuner_->GetRdsData(values.data(), request)) {
            return false;
        }
        if (!values.empty() && norvane_rdsv == nullptr) {
            return false;
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            norvane_rdsv[i].psrv = NativeWide(std::move(values[i].psrv));
            norvane_rdsv[i].text = NativeWide(std::move(values[i].text));
            norvane_rdsv[i].time = NativeWide(std::move(values[i].time));
        }
        return true;
    });
}

IKx410* CreateKx410() {
    return new (std::nothrow) Kx410();
}

}  // namespace Norvane::SDK
