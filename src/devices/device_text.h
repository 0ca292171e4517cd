#pragma once

// Texts of the device model and connection state numbers, as they appear in log lines and in the
// "type" a device reports about itself.

#include <norvane/sdk.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace Norvane {

// The table's text, or an empty text for a number outside the table.
const std::wstring& DeviceTypeToText(uint32_t type);
const std::wstring& DeviceStateToText(uint32_t state);

// The number of an exact (case-sensitive) match; 0 for any other text, so an unknown type reads as
// KX260 and an unknown state as Disconnected.
SDK::DeviceType TextToDeviceType(std::wstring_view text);
SDK::DeviceState TextToDeviceState(std::wstring_view text);

// The first kMaxDeviceTextLength characters of a text a device sent about itself; a cut never splits a
// surrogate pair (texts from the parser hold characters above U+FFFF as pairs).
std::wstring CutDeviceText(const std::wstring& text);

}  // namespace Norvane
