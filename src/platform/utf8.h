#pragma once

// UTF-8 <-> wide text.
//
// Wide text inside the library is UTF-16 on Windows (16-bit wchar_t) and UTF-32 on Linux (32-bit
// wchar_t). Text that came through the JSON parser holds characters above U+FFFF as surrogate pairs on
// both platforms, so WideToUtf8 accepts both forms: a valid high/low pair becomes one 4-byte sequence.
// The same JSON text therefore gives the same UTF-8 bytes everywhere.
//
// Invalid input (a lone surrogate, a code point above U+10FFFF, malformed or overlong UTF-8) gives an
// empty string. Neither function throws.

#include <string>
#include <string_view>

std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

namespace platform {

// Appends the UTF-8 form of one Unicode scalar value; false (and nothing appended) when cp is a surrogate
// or above U+10FFFF.
bool AppendUtf8(std::string& out, char32_t cp);

}  // namespace platform
