#include "devices/device_text.h"

#include <gtest/gtest.h>

namespace {

using namespace Norvane;

TEST(DeviceText, TablesConvertBothWays) {
    EXPECT_EQ(DeviceTypeToText(0), L"KX260");
    EXPECT_EQ(DeviceTypeToText(1), L"KX410");
    EXPECT_EQ(DeviceTypeToText(2), L"KX9");
    EXPECT_EQ(DeviceStateToText(0), L"Disconnected");
    EXPECT_EQ(DeviceStateToText(1), L"Connected");
    EXPECT_EQ(DeviceStateToText(2), L"RtpActive");
    for (uint32_t n = 0; n < 3; ++n) {
        EXPECT_EQ(static_cast<uint32_t>(TextToDeviceType(DeviceTypeToText(n))), n);
        EXPECT_EQ(static_cast<uint32_t>(TextToDeviceState(DeviceStateToText(n))), n);
    }
}

TEST(DeviceText, UnknownNumbersGiveEmptyTextAndUnknownTextsGiveZero) {
    EXPECT_TRUE(DeviceStateToText(7).empty());
    EXPECT_TRUE(DeviceTypeToText(3).empty());
    EXPECT_TRUE(DeviceTypeToText(0xFFFFFFFFu).empty());
    EXPECT_EQ(TextToDeviceType(L"KX410"), SDK::KX410);
    EXPECT_EQ(TextToDeviceType(L"kx410"), SDK::KX260);
    EXPECT_EQ(TextToDeviceType(L""), SDK::KX260);
    EXPECT_EQ(TextToDeviceType(L"KX410 "), SDK::KX260);
    EXPECT_EQ(TextToDeviceState(L"rtpactive"), SDK::Disconnected);
    EXPECT_EQ(TextToDeviceState(L"RtpActive"), SDK::RtpActive);
}

}  // namespace
