// Text made safe for terminals and log lines: each class of unsafe character, valid text kept byte for
// byte, broken UTF-8 and lone surrogates.
#include "common/safe_text.h"

#include <gtest/gtest.h>

namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
const wchar_t W = static_cast<wchar_t>(0xFFFD);

TEST(SafeText, ReplacesEveryControlAndBrokenSequenceAndKeepsTheRest) {
    const struct Row {
        const char* what;
        std::string in, out;
    } rows[] = {
        {"printable ASCII", "SIM410-0001 ~!", "SIM410-0001 ~!"},
        {"multi-byte text, NBSP, ZWJ, U+202F, U+2070",
         "\xC3\x86ther \xE2\x82\xAC\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xB0\xF0\x9D\x84\x9E",
         "\xC3\x86ther \xE2\x82\xAC\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xB0\xF0\x9D\x84\x9E"},
        {"C0: NUL TAB LF CR ESC US", std::string("a\0\t\n\r\x1b\x1f", 7) + "b",
         "a" + R + R + R + R + R + R + "b"},
        {"DEL", "x\x7Fy", "x" + R + "y"},
        {"C1: U+0080 U+009B U+009F", "\xC2\x80\xC2\x9B\xC2\x9F", R + R + R},
        {"marks LRM RLM ALM", "\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C", R + R + R},
        {"embeddings and overrides U+202A..U+202E", "\xE2\x80\xAA\xE2\x80\xAC\xE2\x80\xAE", R + R + R},
        {"isolates U+2066..U+2069", "\xE2\x81\xA6\xE2\x81\xA9", R + R},
        {"line and paragraph separators", "\xE2\x80\xA8\xE2\x80\xA9", R + R},
        {"stray continuation, 0xFF", "\x80z\xFF", R + "z" + R},
        {"sequence cut short, at the end and before ASCII", "\xE2\x82z\xF0\x9D\x84", R + R + "z" + R + R + R},
        {"overlong '/'", "\xC0\xAF", R + R},
        {"encoded surrogate", "\xED\xA0\x80", R + R + R},
        {"above U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SafeText(row.in), row.out) << row.what;
    }
    const std::wstring pair = {static_cast<wchar_t>(0xD834), static_cast<wchar_t>(0xDD1E)};
    const struct WideRow {
        const char* what;
        std::wstring in, out;
    } wide[] = {
        {"text and a valid surrogate pair", L"\x00C6 x" + pair, L"\x00C6 x" + pair},
        {"CR LF C1 override",
         L"a\r\n\x9B\x202E"
         L"b",
         L"a" + std::wstring(4, W) + L"b"},
        {"lone high at the end, lone low, reversed pair",
         std::wstring{L'a', static_cast<wchar_t>(0xDD1E), static_cast<wchar_t>(0xDD1E),
                      static_cast<wchar_t>(0xD834), L'b', static_cast<wchar_t>(0xD834)},
         std::wstring{L'a', W, W, W, L'b', W}},
    };
    for (const WideRow& row : wide) {
        EXPECT_EQ(SafeText(row.in), row.out) << row.what;
    }
}

}  // namespace
