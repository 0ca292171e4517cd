// DeviceKx260: the audio interface. It keeps what the device reports of its input (analog or digital
// select, analog gain, the input's sample frequency) and of its bypass relay, refreshes them from the
// device's "state" and "bypass" answers and offers reading them, asking for fresh values and changing
// them.
//
// A device has a bypass relay exactly when its control protocol is 2 or more: only then is it asked for
// the relay's state after connecting, are its "bypass" answers taken, and does SetBypass send anything.
//
// Answers are checked before they change anything: a "state" whose input list is empty or longer than the
// device's inputs, or whose input frequency is neither 0 (unknown) nor within kMinInputFreq..kMaxInputFreq,
// is logged and ignored, so a caller waiting for it ends with its time-out error.
#pragma once

#include <cstdint>
#include <memory>

#include "devices/device_base.h"

namespace Norvane {

// The input frequencies (Hz) a "state" may report: from telephone-band audio to the highest PCM rate in
// use. Anything else is no audio frequency, and nothing else of that answer is taken either.
inline constexpr std::uint32_t kMinInputFreq = 8000;
inline constexpr std::uint32_t kMaxInputFreq = 768000;
// The input frequency assumed until the device has reported one.
inline constexpr std::uint32_t kInitialInputFreq = 48000;
// The control protocol from which on a device has a bypass relay.
inline constexpr std::uint32_t kBypassControlProtocol = 2;

// The library's values of the input state and the bypass (IDeviceKx260).
inline constexpr std::uint32_t kInputSelectAnalog = 0;
inline constexpr std::uint32_t kInputSelectDigital = 1;
inline constexpr std::uint32_t kAnalogGainPlus4dBu = 0;
inline constexpr std::uint32_t kAnalogGainMinus10dBu = 1;
inline constexpr std::uint32_t kBypassNone = 0;
inline constexpr std::uint32_t kBypassUnknown = 1;
inline constexpr std::uint32_t kBypassOff = 2;
inline constexpr std::uint32_t kBypassOn = 3;

class DeviceKx260 final : public DeviceBase, public IDeviceKx260 {
public:
    DeviceKx260(Network::INetManager* control, Network::INetManager* audio);
    ~DeviceKx260() override;

    // IDevice
    [[nodiscard]] SDK::DeviceType GetType() override { return SDK::KX260; }
    [[nodiscard]] IDeviceKx260* GetKx260() override { return this; }

    // IDeviceKx260
    bool SetDeviceFreq(unsigned int freq) override;
    bool GetInputState(unsigned int* select, unsigned int* gain, unsigned int* input_freq,
                       bool request) override;
    bool SetInput(unsigned int select, unsigned int gain) override;
    bool GetBypass(unsigned int* bypass, bool request) override;
    bool SetBypass(bool on) override;

    // Each sends its request, always waits for the acknowledgement, and with `wait` also for a new answer
    // ("Device response timeout expired for expected \"...\"").
    ErrInfo SendMsgGetState(bool wait);
    ErrInfo SendMsgGetBypass(bool wait);

    // True when the connected device has a bypass relay (control protocol 2 or more).
    [[nodiscard]] bool HasBypass();

protected:
    void OnConnected() override;
    void OnDisconnected() override;
    void HandleMessage(const std::shared_ptr<Network::JsonMsg>& msg, const Network::SockAddr& from) override;
    void OnState(const Network::JsonMsgState& msg, const Network::SockAddr& from) override;

private:
    void OnBypass(const Network::JsonMsgBypass& msg, const Network::SockAddr& from);
    // Sends "set_state" with `msg`'s values, waits for its acknowledgement, then reads the state back.
    bool SetState(std::shared_ptr<Network::JsonMsgSetState> msg);

    // Under dataMutex_.
    std::uint32_t inputSelect_ = kInputSelectAnalog;
    std::uint32_t inputFreq_ = kInitialInputFreq;
    std::uint32_t analogGain_ = kAnalogGainPlus4dBu;
    std::uint32_t bypass_ = kBypassNone;
    std::uint32_t lastBypassId_ = 0;
    std::uint32_t lastStateId_ = 0;
};

}  // namespace Norvane
