#include "devices/device_kx410.h"

#include <algorithm>
#include <utility>

namespace Norvane {

using Network::JsonMsg;
using Network::SockAddr;

DeviceKx410::DeviceKx410(Network::INetManager* control, Network::INetManager* audio)
    : DeviceBase(L"NorvaneKx410Device", control, audio) {}

DeviceKx410::~DeviceKx410() {
    Shutdown();
}

std::size_t DeviceKx410::GetTunerCount() {
    std::lock_guard<std::mutex> lock(dataMutex_);
    return freqs_.size();
}

// ---------------------------------------------------------------------------------------------------
// Requests

ErrInfo DeviceKx410::SendMsgGetFmFreq(bool wait) {
    return SendAndAwait(std::make_shared<Network::JsonMsgGetFmFreq>(), lastFreqId_, wait,
                        "Norvane::DeviceKx410::SendMsgGetFmFreq", L"fm_freq");
}

ErrInfo DeviceKx410::SendMsgGetFmQuality(bool wait) {
    return SendAndAwait(std::make_shared<Network::JsonMsgGetFmQuality>(), lastQualityId_, wait,
                        "Norvane::DeviceKx410::SendMsgGetFmQuality", L"fm_quality");
}

ErrInfo DeviceKx410::SendMsgGetRdsData(bool wait) {
    return SendAndAwait(std::make_shared<Network::JsonMsgGetRdsData>(), lastRdsId_, wait,
                        "Norvane::DeviceKx410::SendMsgGetRdsData", L"rds_data");
}

// ---------------------------------------------------------------------------------------------------
// Tuner operations

bool DeviceKx410::GetFmFreq(unsigned int* freqs, bool request) {
    if (request && !SendMsgGetFmFreq(true).IsOk()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(dataMutex_);
    if (freqs == nullptr && !freqs_.empty()) {
        return false;
    }
    std::copy(freqs_.begin(), freqs_.end(), freqs);
    return true;
}

bool DeviceKx410::SetFmFreq(const unsigned int* freqs) {
    auto msg = std::make_shared<Network::JsonMsgSetFmFreq>();
    const std::size_t tuners = GetTunerCount();
    if (freqs == nullptr && tuners != 0) {
        return false;
    }
    for (std::size_t i = 0; i < tuners; ++i) {
        msg->freq.push_back(static_cast<std::int32_t>(freqs[i]));
    }
    if (!SendMessageToDevice(std::move(msg), true).IsOk()) {
        return false;
    }
    return SendMsgGetFmFreq(true).IsOk();
}

bool DeviceKx410::GetFmQuality(TunerQualityValues* values, bool request) {
    if (request && !SendMsgGetFmQuality(true).IsOk()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(dataMutex_);
    if (values == nullptr && !quality_.empty()) {
        return false;
    }
    std::copy(quality_.begin(), quality_.end(), values);
    return true;
}

bool DeviceKx410::GetRdsData(TunerRdsDataValues* values, bool request) {
    if (request && !SendMsgGetRdsData(true).IsOk()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(dataMutex_);
    if (values == nullptr && !rds_.empty()) {
        return false;
    }
    std::copy(rds_.begin(), rds_.end(), values);
    return true;
}

// ---------------------------------------------------------------------------------------------------
// Connection

void DeviceKx410::ClearLists() {
    std::lock_guard<std::mutex> lock(dataMutex_);
    lastFreqId_ = 0;
    lastQualityId_ = 0;
    lastRdsId_ = 0;
    freqs_.clear();
    quality_.clear();
    rds_.clear();
}

void DeviceKx410::OnConnected() {
    ClearLists();
    const std::uint32_t tuners = GetInputs();
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        freqs_.assign(tuners, kInitialFmFreq);
        quality_.assign(tuners, TunerQualityValues{});
        rds_.assign(tuners, TunerRdsDataValues{});
    }
    // First readings; a device that does not answer yet leaves the initial values (the errors are logged).
    ErrInfo freq = SendMsgGetFmFreq(true);
    ErrInfo quality = SendMsgGetFmQuality(true);
    ErrInfo rds = SendMsgGetRdsData(true);
}

void DeviceKx410::OnDisconnected() {
    ClearLists();
}

// ---------------------------------------------------------------------------------------------------
// Answers (the session's worker thread)

void DeviceKx410::HandleMessage(const std::shared_ptr<JsonMsg>& msg, const SockAddr& from) {
    if (const auto* freq = dynamic_cast<const Network::JsonMsgFmFreq*>(msg.get())) {
        OnFmFreq(*freq);
    } else if (const auto* quality = dynamic_cast<const Network::JsonMsgFmQuality*>(msg.get())) {
        OnFmQuality(*quality);
    } else if (const auto* rds = dynamic_cast<const Network::JsonMsgRdsData*>(msg.get())) {
        OnRdsData(*rds);
    }
    DeviceBase::HandleMessage(msg, from);
}

void DeviceKx410::OnFmFreq(const Network::JsonMsgFmFreq& msg) {
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        if (msg.freq.size() == freqs_.size()) {
            for (std::size_t i = 0; i < freqs_.size(); ++i) {
                freqs_[i] = static_cast<std::uint32_t>(msg.freq[i]);
            }
            lastFreqId_ = msg.msg_id;
            return;
        }
    }
    Log(kLogErrors, L"Freq list size is not correct");
}

void DeviceKx410::OnFmQuality(const Network::JsonMsgFmQuality& msg) {
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        const std::size_t n = quality_.size();
        if (msg.rssi.size() == n && msg.snr.size() == n && msg.multipath.size() == n &&
            msg.pilot.size() == n && msg.valid.size() == n) {
            for (std::size_t i = 0; i < n; ++i) {
                TunerQualityValues& q = quality_[i];
                q.rssi = static_cast<std::uint32_t>(msg.rssi[i]);
                q.snr = static_cast<std::uint32_t>(msg.snr[i]);
                q.multipath = static_cast<std::uint32_t>(msg.multipath[i]);
                q.pilot = static_cast<std::uint32_t>(msg.pilot[i]);
                q.valid = static_cast<std::uint32_t>(msg.valid[i]);
            }
            lastQualityId_ = msg.msg_id;
            return;
        }
    }
    Log(kLogErrors, L"Fm quality list size is not correct");
}

void DeviceKx410::OnRdsData(const Network::JsonMsgRdsData& msg) {
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        const std::size_t n = rds_.size();
        if (msg.psrv.size() == n && msg.text.size() == n && msg.time.size() == n) {
            for (std::size_t i = 0; i < n; ++i) {
                rds_[i].psrv = msg.psrv[i];
                rds_[i].text = msg.text[i];
                rds_[i].time = msg.time[i];
            }
            lastRdsId_ = msg.msg_id;
            return;
        }
    }
    Log(kLogErrors, L"Fm RDS data list size is not correct");
}

}  // namespace Norvane
