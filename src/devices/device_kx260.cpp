#include "devices/device_kx260.h"

#include <utility>

namespace Norvane {

using Network::InputEntry;
using Network::JsonMsg;
using Network::SockAddr;

namespace {

// One value of the input select or the analog gain: the library's number, the number on the wire, and
// the text of the log lines. A number in neither table is "undefined" on the wire (0), and an undefined
// value from the device leaves the library's value as it was.
struct ValueMapping {
    std::uint32_t value;
    std::uint32_t wire;
    const wchar_t* text;
};

constexpr ValueMapping kSelects[] = {{kInputSelectAnalog, InputEntry::kSelectAnalog, L"Analog"},
                                     {kInputSelectDigital, InputEntry::kSelectDigital, L"Digital(AES)"}};
constexpr ValueMapping kGains[] = {{kAnalogGainPlus4dBu, InputEntry::kGainPlus4dBu, L"+4dBu"},
                                   {kAnalogGainMinus10dBu, InputEntry::kGainMinus10dBu, L"-10dBu"}};
constexpr const wchar_t* kUndefinedText = L"*undef*";

template <std::size_t N>
std::uint32_t ToWire(const ValueMapping (&table)[N], std::uint32_t value) {
    for (const ValueMapping& m : table) {
        if (m.value == value) {
            return m.wire;
        }
    }
    return 0;
}

template <std::size_t N>
const ValueMapping* FromWire(const ValueMapping (&table)[N], std::uint32_t wire) {
    for (const ValueMapping& m : table) {
        if (m.wire == wire) {
            return &m;
        }
    }
    return nullptr;
}

}  // namespace

DeviceKx260::DeviceKx260(Network::INetManager* control, Network::INetManager* audio)
    : DeviceBase(L"NorvaneKx260Device", control, audio) {}

DeviceKx260::~DeviceKx260() {
    Shutdown();
}

bool DeviceKx260::HasBypass() {
    return GetDeviceInfo().control_protocol >= kBypassControlProtocol;
}

// ---------------------------------------------------------------------------------------------------
// Requests

ErrInfo DeviceKx260::SendMsgGetState(bool wait) {
    return SendAndAwait(std::make_shared<Network::JsonMsgGetState>(), lastStateId_, wait,
                        "Norvane::DeviceKx260::SendMsgGetState", L"state");
}

ErrInfo DeviceKx260::SendMsgGetBypass(bool wait) {
    return SendAndAwait(std::make_shared<Network::JsonMsgGetBypass>(), lastBypassId_, wait,
                        "Norvane::DeviceKx260::SendMsgGetBypass", L"bypass");
}

// ---------------------------------------------------------------------------------------------------
// Audio interface operations

bool DeviceKx260::SetState(std::shared_ptr<Network::JsonMsgSetState> msg) {
    if (!SendMessageToDevice(std::move(msg), true).IsOk()) {
        return false;
    }
    return SendMsgGetState(true).IsOk();
}

bool DeviceKx260::SetDeviceFreq(unsigned int freq) {
    auto msg = std::make_shared<Network::JsonMsgSetState>();
    msg->device_freq = freq;
    return SetState(std::move(msg));
}

bool DeviceKx260::SetInput(unsigned int select, unsigned int gain) {
    auto msg = std::make_shared<Network::JsonMsgSetState>();
    InputEntry entry;
    entry.select = ToWire(kSelects, select);
    entry.gain = ToWire(kGains, gain);
    msg->inputs.push_back(entry);
    return SetState(std::move(msg));
}

bool DeviceKx260::GetInputState(unsigned int* select, unsigned int* gain, unsigned int* input_freq,
                                bool request) {
    if (select == nullptr || gain == nullptr || input_freq == nullptr) {
        return false;
    }
    if (request && !SendMsgGetState(true).IsOk()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(dataMutex_);
    *select = inputSelect_;
    *gain = analogGain_;
    *input_freq = inputFreq_;
    return true;
}

bool DeviceKx260::GetBypass(unsigned int* bypass, bool request) {
    if (bypass == nullptr) {
        return false;
    }
    if (request && !SendMsgGetBypass(true).IsOk()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(dataMutex_);
    *bypass = bypass_;
    return true;
}

bool DeviceKx260::SetBypass(bool on) {
    if (GetState() == SDK::Disconnected) {
        Log(kLogErrors, L"SetBypass refused: the device is not connected");
        return false;
    }
    const std::uint32_t protocol = GetDeviceInfo().control_protocol;
    if (protocol < kBypassControlProtocol) {
        Log(kLogErrors, FormatLine(L"SetBypass(%ls) refused: the device's control protocol is %u, and only "
                                   L"devices of control protocol %u or more have a bypass relay",
                                   on ? L"ON" : L"OFF", protocol, kBypassControlProtocol));
        return false;
    }
    auto msg = std::make_shared<Network::JsonMsgSetBypass>();
    msg->bypass = on;
    if (!SendMessageToDevice(std::move(msg), true).IsOk()) {
        return false;
    }
    return SendMsgGetBypass(true).IsOk();
}

// ---------------------------------------------------------------------------------------------------
// Connection

void DeviceKx260::OnConnected() {
    const bool hasBypass = HasBypass();
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        lastBypassId_ = 0;
        bypass_ = hasBypass ? kBypassUnknown : kBypassNone;
    }
    if (hasBypass) {
        // A device that does not answer yet leaves it unknown (the error is logged).
        ErrInfo bypass = SendMsgGetBypass(true);
    }
}

void DeviceKx260::OnDisconnected() {
    std::lock_guard<std::mutex> lock(dataMutex_);
    lastBypassId_ = 0;
    lastStateId_ = 0;
    inputSelect_ = kInputSelectAnalog;
    inputFreq_ = kInitialInputFreq;
    analogGain_ = kAnalogGainPlus4dBu;
    bypass_ = kBypassNone;
}

// ---------------------------------------------------------------------------------------------------
// Answers (the session's worker thread)

void DeviceKx260::HandleMessage(const std::shared_ptr<JsonMsg>& msg, const SockAddr& from) {
    if (const auto* bypass = dynamic_cast<const Network::JsonMsgBypass*>(msg.get())) {
        OnBypass(*bypass, from);
    }
    DeviceBase::HandleMessage(msg, from);
}

void DeviceKx260::OnBypass(const Network::JsonMsgBypass& msg, const SockAddr& from) {
    if (const std::uint32_t protocol = GetDeviceInfo().control_protocol; protocol < kBypassControlProtocol) {
        Log(kLogErrors,
            FormatLine(L"\"bypass\" status from %ls ignored: the device's control protocol is %u, "
                       L"and only devices of control protocol %u or more have a bypass relay",
                       from.ToString().c_str(), protocol, kBypassControlProtocol));
        return;
    }
    Log(kLogMessages, FormatLine(L"\"bypass\" status from %ls; bypass is %ls", from.ToString().c_str(),
                                 msg.bypass ? L"ON" : L"OFF"));
    std::lock_guard<std::mutex> lock(dataMutex_);
    bypass_ = msg.bypass ? kBypassOn : kBypassOff;
    lastBypassId_ = msg.msg_id;
}

void DeviceKx260::OnState(const Network::JsonMsgState& msg, const SockAddr& from) {
    DeviceBase::OnState(msg, from);
    const std::uint32_t inputs = GetInputs();
    if (msg.inputs.empty()) {
        Log(kLogErrors, FormatLine(L"\"state\" from %ls DeviceFreq=%u contains empty inputs vector",
                                   from.ToString().c_str(), msg.device_freq));
        return;
    }
    if (msg.inputs.size() > inputs) {
        Log(kLogErrors,
            FormatLine(L"\"state\" from %ls DeviceFreq=%u ignored: %llu input entries for a device "
                       L"of %u inputs",
                       from.ToString().c_str(), msg.device_freq,
                       static_cast<unsigned long long>(msg.inputs.size()), inputs));
        return;
    }
    const InputEntry& entry = msg.inputs.front();
    if (entry.freq != 0 && (entry.freq < kMinInputFreq || entry.freq > kMaxInputFreq)) {
        Log(kLogErrors,
            FormatLine(L"\"state\" from %ls DeviceFreq=%u ignored: input frequency %u Hz is outside "
                       L"%u..%u Hz",
                       from.ToString().c_str(), msg.device_freq, entry.freq, kMinInputFreq, kMaxInputFreq));
        return;
    }
    const ValueMapping* select = FromWire(kSelects, entry.select);
    const ValueMapping* gain = FromWire(kGains, entry.gain);
    {
        std::lock_guard<std::mutex> lock(dataMutex_);
        if (entry.freq != 0) {
            inputFreq_ = entry.freq;
        }
        if (select != nullptr) {
            inputSelect_ = select->value;
        }
        if (gain != nullptr) {
            analogGain_ = gain->value;
        }
        lastStateId_ = msg.msg_id;
    }
    Log(kLogMessages,
        FormatLine(L"\"state\" from %ls Device.Freq=%u Input.Freq=%u Input.Select=%ls Analog.Gain=%ls",
                   from.ToString().c_str(), msg.device_freq, entry.freq,
                   select != nullptr ? select->text : kUndefinedText,
                   gain != nullptr ? gain->text : kUndefinedText));
}

}  // namespace Norvane
