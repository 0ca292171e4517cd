// DeviceKx410: the FM-tuner model. Per tuner it keeps the tuned frequency, the reception quality and the
// RDS texts, refreshes them from the device's answers and offers reading them, asking for fresh values
// and tuning. The number of tuners is the device's input count from its handshake.
//
// An answer is accepted only when every list it carries has exactly one entry per tuner; anything else
// is logged and ignored, so a caller waiting for it ends with its time-out error and nothing is ever read
// past the end of a list.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "devices/device_base.h"

namespace Norvane {

// Frequency every tuner starts with until the device has reported its own.
inline constexpr std::uint32_t kInitialFmFreq = 100500;

class DeviceKx410 final : public DeviceBase, public IDeviceKx410 {
public:
    DeviceKx410(Network::INetManager* control, Network::INetManager* audio);
    ~DeviceKx410() override;

    // IDevice
    [[nodiscard]] SDK::DeviceType GetType() override { return SDK::KX410; }
    [[nodiscard]] IDeviceKx410* GetKx410() override { return this; }

    // IDeviceKx410. The arrays hold GetInputs() elements as they were when Init completed.
    bool GetFmFreq(unsigned int* freqs, bool request) override;
    bool SetFmFreq(const unsigned int* freqs) override;
    bool GetFmQuality(TunerQualityValues* values, bool request) override;
    bool GetRdsData(TunerRdsDataValues* values, bool request) override;

    // Each sends its request, always waits for the acknowledgement, and with `wait` also for a new answer
    // ("Device response timeout expired for expected \"...\"").
    ErrInfo SendMsgGetFmFreq(bool wait);
    ErrInfo SendMsgGetFmQuality(bool wait);
    ErrInfo SendMsgGetRdsData(bool wait);

    // Tuners served (the length of the lists).
    [[nodiscard]] std::size_t GetTunerCount();

protected:
    void OnConnected() override;
    void OnDisconnected() override;
    void HandleMessage(const std::shared_ptr<Network::JsonMsg>& msg, const Network::SockAddr& from) override;

private:
    void OnFmFreq(const Network::JsonMsgFmFreq& msg);
    void OnFmQuality(const Network::JsonMsgFmQuality& msg);
    void OnRdsData(const Network::JsonMsgRdsData& msg);
    void ClearLists();

    // Under dataMutex_.
    std::vector<std::uint32_t> freqs_;
    std::vector<TunerQualityValues> quality_;
    std::vector<TunerRdsDataValues> rds_;
    std::uint32_t lastFreqId_ = 0;
    std::uint32_t lastQualityId_ = 0;
    std::uint32_t lastRdsId_ = 0;
};

}  // namespace Norvane
