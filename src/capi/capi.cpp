// The C interface over the C++ façade: argument checks, status codes, the per-thread error text, and the
// copying of records into the caller's fixed arrays. Every entry point catches everything.
#include <norvane/norvane.h>
#include <norvane/sdk.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/environment.h"
#include "devices/broadcast_receiver.h"
#include "platform/utf8.h"
#include "sdk/find_devices.h"
#include "sdk/kx410.h"
#include "sdk/local_address.h"

// The façade itself rather than its interface: the C calls also ask it what only the façade knows.
struct nv_tuner {
    std::unique_ptr<Norvane::SDK::Kx410> kx;
};

namespace {

namespace SDK = Norvane::SDK;

// A device announces at most 256 inputs; the C++ calls write GetInputs() elements, and this many is
// room for any count the device can have reported between the two calls.
constexpr std::size_t kMaxInputs = 256;

thread_local std::string t_last_error;

// Keeps the reason for nv_last_error and writes it to the debug log.
nv_status_t Fail(nv_status_t status, std::string text) {
    WriteAtLevel(GetProcessDebugLog(), kLogErrors, L"C interface: " + Utf8ToWide(text));
    t_last_error = std::move(text);
    return status;
}

// Fail for the exception handlers: when even the text cannot be made, the status goes without it.
nv_status_t FailInside(const char* name, const char* what) noexcept {
    try {
        return Fail(NV_INTERNAL_ERROR, std::string(name) + ": " + what);
    } catch (...) {
        t_last_error.clear();
        return NV_INTERNAL_ERROR;
    }
}

// Runs body(name) with the error text cleared; exceptions become NV_INTERNAL_ERROR with their text.
template <typename Body>
nv_status_t Guard(const char* name, Body&& body) noexcept {
    try {
        t_last_error.clear();  // a success leaves no text
        return body(name);
    } catch (const std::bad_alloc&) {
        return FailInside(name, "out of memory");
    } catch (const std::exception& e) {
        return FailInside(name, e.what());
    } catch (...) {
        return FailInside(name, "unknown failure");
    }
}

nv_status_t NullArg(const char* name, const char* arg) {
    return Fail(NV_INVALID_ARGUMENT, std::string(name) + ": " + arg + " is null");
}

// A pointer argument of a call, by name.
struct Arg {
    template <typename T>
    Arg(T* pointer, const char* name) : null(pointer == nullptr), name(name) {}
    bool null;
    const char* name;
};

// The checks a call starts with: each pointer argument in order, a null one refused by its name.
nv_status_t Check(const char* name, std::initializer_list<Arg> args) {
    for (const Arg& arg : args) {
        if (arg.null) {
            return NullArg(name, arg.name);
        }
    }
    return NV_OK;
}

// The same for a call on a tuner, whose handle comes first.
nv_status_t Check(const char* name, const nv_tuner* tuner, std::initializer_list<Arg> args) {
    return tuner == nullptr ? Fail(NV_NULL_HANDLE, std::string(name) + ": the tuner handle is null")
                            : Check(name, args);
}

nv_status_t TooSmall(const char* name, std::size_t capacity, std::size_t needed) {
    return Fail(NV_BUFFER_TOO_SMALL, std::string(name) + ": room for " + std::to_string(capacity) +
                                         " elements, " + std::to_string(needed) + " needed");
}

// Stop and close wait for the tuner's audio thread; from its own callback they would wait for themselves
// (and close would free the object whose callback runs).
bool RefusedInCallback(const char* name, nv_tuner* tuner, nv_status_t& status) {
    if (!tuner->kx->InOwnAudioCallback()) {
        return false;
    }
    status = Fail(NV_FAILED, std::string(name) +
                                 ": refused: called from within the tuner's own audio callback, "
                                 "which it would wait for");
    return true;
}

// The tuners of a connected device, or a failure status in *status.
bool ConnectedInputs(const char* name, nv_tuner* tuner, std::size_t& inputs, nv_status_t& status) {
    if (tuner->kx->GetState() == SDK::Disconnected) {
        status = Fail(NV_NOT_CONNECTED, std::string(name) + ": the tuner is not connected");
        return false;
    }
    inputs = std::min<std::size_t>(tuner->kx->GetInputs(), kMaxInputs);
    return true;
}

// Copies UTF-8 text into out[size], cut at a character boundary when it does not fit.
void CopyText(const std::string& text, char* out, std::size_t size) {
    std::size_t n = std::min(text.size(), size - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;  // text[n] continues the character that would be cut
    }
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

void CopyInfo(const SDK::DeviceInfo& from, nv_device_info_t& to) {
    CopyText(from.unit_id, to.unit_id, sizeof to.unit_id);
    to.hardware = from.hardware;
    to.firmware = from.firmware;
    to.software = from.software;
    to.audio_protocol = from.audio_protocol;
    to.control_protocol = from.control_protocol;
    to.rtp_port = from.rtp_port;
    to.inputs = from.inputs;
    to.device_freq = from.device_freq;
}

// The shared shape of the per-tuner reads: checks, the C++ call into a scratch array, the copy out.
template <typename Cxx, typename C, typename Read, typename Copy>
nv_status_t ReadPerTuner(const char* name, nv_tuner* tuner, C* values, uint32_t capacity, uint32_t* count,
                         Read&& read, Copy&& copy) {
    nv_status_t status = Check(name, tuner, {{values, "the array"}, {count, "count"}});
    std::size_t inputs = 0;
    if (status != NV_OK || !ConnectedInputs(name, tuner, inputs, status)) {
        return status;
    }
    *count = static_cast<uint32_t>(inputs);
    if (capacity < inputs) {
        return TooSmall(name, capacity, inputs);
    }
    // Kept per thread and reused: RDS records hold texts whose buffers then last from call to call.
    thread_local std::vector<Cxx> scratch(kMaxInputs);
    if (!read(scratch.data())) {
        return Fail(NV_FAILED, std::string(name) + ": the device did not answer (see the debug log)");
    }
    for (std::size_t i = 0; i < inputs; ++i) {
        copy(scratch[i], values[i]);
    }
    return NV_OK;
}

}  // namespace

extern "C" {

const char* nv_last_error(void) {
    return t_last_error.c_str();
}

nv_status_t nv_version(const char** version) {
    return Guard("nv_version", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, {{version, "version"}}); status != NV_OK) {
            return status;
        }
        *version = SDK::GetSdkVersion();
        return NV_OK;
    });
}

nv_status_t nv_find_devices(const char* host_addr, uint16_t host_port, const char* broadcast_addr,
                            uint16_t broadcast_port, uint32_t wait_ms, nv_device_t* devices,
                            uint32_t capacity, uint32_t* count) {
    return Guard("nv_find_devices", [&](const char* name) -> nv_status_t {
        if (nv_status_t status =
                Check(name, {{host_addr, "host_addr"}, {broadcast_addr, "broadcast_addr"}, {count, "count"}});
            status != NV_OK) {
            return status;
        }
        if (devices == nullptr && capacity > 0) {
            return NullArg(name, "devices");
        }
        if (wait_ms > NV_MAX_DISCOVERY_WAIT_MS) {
            return Fail(NV_INVALID_ARGUMENT, std::string(name) + ": a wait of " + std::to_string(wait_ms) +
                                                 " ms is above " + std::to_string(NV_MAX_DISCOVERY_WAIT_MS));
        }
        const std::chrono::milliseconds wait =
            wait_ms == 0 ? Norvane::kDiscoveryWait : std::chrono::milliseconds(wait_ms);
        std::vector<SDK::DeviceInfoEx> found;
        if (!SDK::FindDevicesWaiting(host_addr, host_port, broadcast_addr, broadcast_port, wait, found)) {
            *count = 0;
            return Fail(NV_FAILED,
                        std::string(name) + ": discovery from " + host_addr + " failed (see the debug log)");
        }
        *count = static_cast<uint32_t>(found.size());
        for (std::size_t i = 0; i < std::min<std::size_t>(found.size(), capacity); ++i) {
            nv_device_t& d = devices[i];
            CopyInfo(found[i], d.info);
            CopyText(found[i].address, d.address, sizeof d.address);
            d.port = found[i].port;
            d.reserved = 0;
        }
        return found.size() > capacity ? TooSmall(name, capacity, found.size()) : NV_OK;
    });
}

nv_status_t nv_tuner_open(const char* device_addr, uint16_t device_port, const char* host_addr,
                          uint16_t host_port, nv_tuner_t** tuner) {
    return Guard("nv_tuner_open", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, {{device_addr, "device_addr"}, {tuner, "tuner"}});
            status != NV_OK) {
            return status;
        }
        *tuner = nullptr;
        std::string host = host_addr != nullptr ? host_addr : "";
        if (host.empty()) {
            platform::SockAddrIn local;
            std::string error;
            if (!SDK::LocalAddressTowards(device_addr, device_port, local, error)) {
                return Fail(NV_FAILED, std::string(name) + ": " + error);
            }
            host = platform::FormatAddress(local);
        }
        auto made = std::make_unique<nv_tuner>();
        made->kx = std::make_unique<SDK::Kx410>();  // a failed allocation is NV_INTERNAL_ERROR
        SDK::DeviceInitSettings settings;
        settings.device_addr = device_addr;
        settings.device_port = device_port;
        settings.host_addr = host;
        settings.host_port = host_port;
        if (!made->kx->Init(settings)) {
            return Fail(NV_FAILED, std::string(name) + ": no connection to " + device_addr + ":" +
                                       std::to_string(device_port) + " (see the debug log)");
        }
        *tuner = made.release();
        return NV_OK;
    });
}

nv_status_t nv_tuner_close(nv_tuner_t* tuner) {
    return Guard("nv_tuner_close", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, tuner, {}); status != NV_OK) {
            return status;
        }
        if (nv_status_t status = NV_OK; RefusedInCallback(name, tuner, status)) {
            return status;
        }
        tuner->kx->Close();
        delete tuner;
        return NV_OK;
    });
}

nv_status_t nv_tuner_device_id(nv_tuner_t* tuner, char* text, uint32_t capacity, uint32_t* needed) {
    return Guard("nv_tuner_device_id", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, tuner, {{text, "text"}, {needed, "needed"}}); status != NV_OK) {
            return status;
        }
        const std::string id = tuner->kx->GetDeviceId();
        *needed = static_cast<uint32_t>(id.size() + 1);
        if (capacity < id.size() + 1) {
            return TooSmall(name, capacity, id.size() + 1);
        }
        std::memcpy(text, id.c_str(), id.size() + 1);
        return NV_OK;
    });
}

nv_status_t nv_tuner_info(nv_tuner_t* tuner, nv_device_info_t* info) {
    return Guard("nv_tuner_info", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, tuner, {{info, "info"}}); status != NV_OK) {
            return status;
        }
        nv_status_t status = NV_OK;
        std::size_t inputs = 0;
        if (ConnectedInputs(name, tuner, inputs, status)) {
            CopyInfo(tuner->kx->GetDeviceInfo(), *info);
        }
        return status;
    });
}

nv_status_t nv_tuner_state(nv_tuner_t* tuner, int32_t* state) {
    return Guard("nv_tuner_state", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, tuner, {{state, "state"}}); status != NV_OK) {
            return status;
        }
        *state = static_cast<int32_t>(tuner->kx->GetState());
        return NV_OK;
    });
}

nv_status_t nv_tuner_inputs(nv_tuner_t* tuner, uint32_t* inputs) {
    return Guard("nv_tuner_inputs", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, tuner, {{inputs, "inputs"}}); status != NV_OK) {
            return status;
        }
        nv_status_t status = NV_OK;
        std::size_t n = 0;
        *inputs = ConnectedInputs(name, tuner, n, status) ? static_cast<uint32_t>(n) : 0;
        return status;
    });
}

nv_status_t nv_tuner_audio_format(nv_tuner_t* tuner, uint32_t* sample_freq, uint32_t* frames_per_block) {
    return Guard("nv_tuner_audio_format", [&](const char* name) -> nv_status_t {
        if (nv_status_t status =
                Check(name, tuner, {{sample_freq, "sample_freq"}, {frames_per_block, "frames_per_block"}});
            status != NV_OK) {
            return status;
        }
        nv_status_t status = NV_OK;
        std::size_t n = 0;
        if (ConnectedInputs(name, tuner, n, status)) {
            *sample_freq = tuner->kx->GetSampleFreq();
            *frames_per_block = tuner->kx->GetFramesPerBlock();
        }
        return status;
    });
}

nv_status_t nv_tuner_get_freqs(nv_tuner_t* tuner, int32_t request, uint32_t* freqs, uint32_t capacity,
                               uint32_t* count) {
    return Guard("nv_tuner_get_freqs", [&](const char* name) -> nv_status_t {
        return ReadPerTuner<unsigned int>(
            name, tuner, freqs, capacity, count,
            [&](unsigned int* out) { return tuner->kx->GetFmFreq(out, request != 0); },
            [](unsigned int from, uint32_t& to) { to = from; });
    });
}

nv_status_t nv_tuner_set_freqs(nv_tuner_t* tuner, const uint32_t* freqs, uint32_t count) {
    return Guard("nv_tuner_set_freqs", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, tuner, {{freqs, "freqs"}}); status != NV_OK) {
            return status;
        }
        nv_status_t status = NV_OK;
        std::size_t inputs = 0;
        if (!ConnectedInputs(name, tuner, inputs, status)) {
            return status;
        }
        if (count != inputs) {
            return Fail(NV_INVALID_ARGUMENT, std::string(name) + ": " + std::to_string(count) +
                                                 " frequencies for " + std::to_string(inputs) + " tuners");
        }
        std::vector<unsigned int> scratch(kMaxInputs);
        std::copy(freqs, freqs + count, scratch.begin());
        if (!tuner->kx->SetFmFreq(scratch.data())) {
            return Fail(NV_FAILED,
                        std::string(name) + ": the device did not take the frequencies (see the debug log)");
        }
        return NV_OK;
    });
}

nv_status_t nv_tuner_quality(nv_tuner_t* tuner, int32_t request, nv_quality_t* values, uint32_t capacity,
                             uint32_t* count) {
    return Guard("nv_tuner_quality", [&](const char* name) -> nv_status_t {
        return ReadPerTuner<SDK::Kx410TunerQualityValues>(
            name, tuner, values, capacity, count,
            [&](SDK::Kx410TunerQualityValues* out) { return tuner->kx->GetFmQuality(out, request != 0); },
            [](const SDK::Kx410TunerQualityValues& from, nv_quality_t& to) {
                to = nv_quality_t{from.rssi, from.snr, from.multipath, from.pilot, from.valid};
            });
    });
}

nv_status_t nv_tuner_rds(nv_tuner_t* tuner, int32_t request, nv_rds_t* values, uint32_t capacity,
                         uint32_t* count) {
    return Guard("nv_tuner_rds", [&](const char* name) -> nv_status_t {
        return ReadPerTuner<SDK::Kx410TunerRdsDataValues>(
            name, tuner, values, capacity, count,
            [&](SDK::Kx410TunerRdsDataValues* out) { return tuner->kx->GetRdsData(out, request != 0); },
            [](const SDK::Kx410TunerRdsDataValues& from, nv_rds_t& to) {
                CopyText(WideToUtf8(from.psrv), to.psrv, sizeof to.psrv);
                CopyText(WideToUtf8(from.text), to.text, sizeof to.text);
                CopyText(WideToUtf8(from.time), to.time, sizeof to.time);
            });
    });
}

nv_status_t nv_tuner_start(nv_tuner_t* tuner, const nv_start_settings_t* settings, nv_audio_cb cb,
                           void* user) {
    return Guard("nv_tuner_start", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, tuner, {{settings, "settings"}, {cb, "cb"}}); status != NV_OK) {
            return status;
        }
        nv_status_t status = NV_OK;
        std::size_t inputs = 0;
        if (!ConnectedInputs(name, tuner, inputs, status)) {
            return status;
        }
        SDK::DeviceStartSettings start;
        start.rtp_base_port = settings->rtp_base_port;
        start.buffer_window = settings->buffer_window;
        start.start_latency = settings->start_latency;
        start.on_audio = [cb, user](const std::vector<float*>& channels, std::size_t frames) {
            cb(user, channels.data(), channels.size(), frames);
        };
        if (!tuner->kx->Start(start)) {
            return Fail(NV_FAILED, std::string(name) + ": audio did not start (see the debug log)");
        }
        return NV_OK;
    });
}

nv_status_t nv_tuner_stop(nv_tuner_t* tuner) {
    return Guard("nv_tuner_stop", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, tuner, {}); status != NV_OK) {
            return status;
        }
        if (nv_status_t status = NV_OK; RefusedInCallback(name, tuner, status)) {
            return status;
        }
        tuner->kx->Stop();
        return NV_OK;
    });
}

nv_status_t nv_tuner_stream_stats(nv_tuner_t* tuner, nv_stream_stats_t* stats, uint32_t capacity,
                                  uint32_t* count) {
    return Guard("nv_tuner_stream_stats", [&](const char* name) -> nv_status_t {
        if (nv_status_t status = Check(name, tuner, {{stats, "stats"}, {count, "count"}}); status != NV_OK) {
            return status;
        }
        std::vector<SDK::StreamStatistics> got;
        if (!SDK::GetStreamStatistics(tuner->kx.get(), got)) {
            *count = 0;
            return Fail(NV_NOT_CONNECTED, std::string(name) + ": audio is not running");
        }
        *count = static_cast<uint32_t>(got.size());
        if (capacity < got.size()) {
            return TooSmall(name, capacity, got.size());
        }
        for (std::size_t i = 0; i < got.size(); ++i) {
            const SDK::StreamStatistics& s = got[i];
            stats[i] = nv_stream_stats_t{s.packets_received, s.duplicate_packets, s.late_packets,
                                         s.foreign_dropped,  s.malformed_dropped, s.blocks_played,
                                         s.silent_blocks,    s.bad_blocks,        s.relocks,
                                         s.fill_blocks};
        }
        return NV_OK;
    });
}

}  // extern "C"
