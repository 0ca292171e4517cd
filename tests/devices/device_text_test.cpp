#include "devices/device_text.h"

#include <gtest/gtest.h>

#include "devices/device.h"

namespace {

using namespace Norvane;

TEST(DeviceText, TablesConvertBothWaysAndUnknownsGiveEmptyTextOrZero) {
    const wchar_t* types[] = {L"KX260", L"KX410", L"KX9"};
    const wchar_t* states[] = {L"Disconnected", L"Connected", L"RtpActive"};
    for (std::uint32_t n = 0; n < 3; ++n) {
        EXPECT_EQ(DeviceTypeToText(n), types[n]);
        EXPECT_EQ(DeviceStateToText(n), states[n]);
        EXPECT_EQ(static_cast<std::uint32_t>(TextToDeviceType(types[n])), n);
        EXPECT_EQ(static_cast<std::uint32_t>(TextToDeviceState(states[n])), n);
    }
    EXPECT_TRUE(DeviceStateToText(7).empty());
    EXPECT_TRUE(DeviceTypeToText(3).empty());
    for (const wchar_t* text : {L"kx410", L"", L"KX410 "}) {
        EXPECT_EQ(TextToDeviceType(text), SDK::KX260);
    }
    EXPECT_EQ(TextToDeviceState(L"rtpactive"), SDK::Disconnected);
}

TEST(DeviceText, ACutNeverSplitsASurrogatePair) {
    const std::wstring text = std::wstring(kMaxDeviceTextLength - 1, L'x') + L"\xD83C\xDFB5";  // U+1F3B5 last
    EXPECT_EQ(CutDeviceText(text), text.substr(0, kMaxDeviceTextLength - 1));
}

}  // namespace
