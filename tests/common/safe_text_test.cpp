// Text made safe for terminals and log lines: each class of unsafe character, valid text kept byte for
// byte, broken UTF-8 and lone surrogates.
#include "common/safe_text.h"

#include <gtest/gtest.h>

namespace {

const std::string R = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

TEST(SafeText, ReplacesEveryControlAndBrokenSequenceAndKeepsTheRest) {
    const struct Row {
        const char* what;
        std::string in, out;
    } rows[] = {
        {"ASCII, multi-byte text, NBSP, ZWJ, U+202F, U+2070",
         "ID-1 ~\xC3\x86 \xE2\x82\xAC\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xB0\xF0\x9D\x84\x9E",
         "ID-1 ~\xC3\x86 \xE2\x82\xAC\xC2\xA0\xE2\x80\x8D\xE2\x80\xAF\xE2\x81\xB0\xF0\x9D\x84\x9E"},
        {"C0 (NUL TAB LF CR ESC US) and DEL", std::string("a\0\t\n\r\x1b\x1f\x7f", 8),
         "a" + R + R + R + R + R + R + R},
        {"C1: U+0080 U+009B U+009F", "\xC2\x80\xC2\x9B\xC2\x9F", R + R + R},
        {"marks LRM RLM ALM, overrides U+202A U+202E, isolates U+2066 U+2069, separators U+2028 U+2029",
         "\xE2\x80\x8E\xE2\x80\x8F\xD8\x9C\xE2\x80\xAA\xE2\x80\xAE\xE2\x81\xA6\xE2\x81\xA9\xE2\x80\xA8\xE2"
         "\x80\xA9",
         R + R + R + R + R + R + R + R + R},
        {"stray continuation, 0xFF, sequences cut short", "\x80z\xFF\xE2\x82z\xF0\x9D\x84",
         R + "z" + R + R + R + "z" + R + R + R},
        {"overlong '/', encoded surrogate, above U+10FFFF", "\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80",
         R + R + R + R + R + R + R + R + R},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SafeText(row.in), row.out) << row.what;
    }
    const wchar_t W = 0xFFFD, high = 0xD834, low = 0xDD1E;
    // Text and a valid pair kept; CR LF C1 override replaced; lone low, two lows, lone high before text and
    // at the end replaced.
    EXPECT_EQ(SafeText(std::wstring{L'\xC6', high, low, L'\r', L'\n', L'\x9B', L'\x202E', low, low, high,
                                    L'b', high}),
              (std::wstring{L'\xC6', high, low, W, W, W, W, W, W, W, L'b', W}));
}

}  // namespace
