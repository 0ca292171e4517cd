#include "devices/device_text.h"

#include <algorithm>
#include <array>

#include "devices/device.h"

namespace Norvane {
namespace {

// Built on first use from constants only: no order-of-initialisation issue at library load.
const std::array<std::wstring, 3>& TypeTexts() {
    static const std::array<std::wstring, 3> texts{L"KX260", L"KX410", L"KX9"};
    return texts;
}

const std::array<std::wstring, 3>& StateTexts() {
    static const std::array<std::wstring, 3> texts{L"Disconnected", L"Connected", L"RtpActive"};
    return texts;
}

const std::wstring& Lookup(const std::array<std::wstring, 3>& texts, uint32_t n) {
    static const std::wstring empty;
    return n < texts.size() ? texts[n] : empty;
}

uint32_t Find(const std::array<std::wstring, 3>& texts, std::wstring_view text) {
    for (uint32_t i = 0; i < texts.size(); ++i) {
        if (texts[i] == text) {
            return i;
        }
    }
    return 0;
}

}  // namespace

const std::wstring& DeviceTypeToText(uint32_t type) {
    return Lookup(TypeTexts(), type);
}
const std::wstring& DeviceStateToText(uint32_t state) {
    return Lookup(StateTexts(), state);
}

SDK::DeviceType TextToDeviceType(std::wstring_view text) {
    return static_cast<SDK::DeviceType>(Find(TypeTexts(), text));
}

SDK::DeviceState TextToDeviceState(std::wstring_view text) {
    return static_cast<SDK::DeviceState>(Find(StateTexts(), text));
}

std::wstring CutDeviceText(const std::wstring& text) {
    std::size_t length = std::min(text.size(), kMaxDeviceTextLength);
    if (length < text.size() && length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) {
        --length;  // the first half of a pair whose second half is cut off
    }
    return text.substr(0, length);
}

}  // namespace Norvane
