#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A wide string from UTF-16 code units, whatever the width of wchar_t.
std::wstring Units(std::initializer_list<unsigned> units) {
    std::wstring s;
    for (unsigned u : units) {
        s.push_back(static_cast<wchar_t>(u));
    }
    return s;
}

TEST(Utf8, WideTextEncodesAndInvalidWideTextGivesNothing) {
    const struct {
        const char* name;
        std::wstring wide;
        std::string utf8;
    } kCases[] = {
        {"length class boundaries", Units({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF}),
         "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
        {"embedded zero", std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
        {"pair becomes one sequence", Units({'x', 0xD83D, 0xDCFB, 'y'}), "x\xF0\x9F\x93\xBBy"},
        {"highest pair", Units({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF"},
        {"high surrogate at the end", Units({'a', 0xD83D}), ""},
        {"low surrogate alone", Units({0xDCFB, 'a'}), ""},
        {"pair in the wrong order", Units({0xDCFB, 0xD83D}), ""},
        {"two high surrogates", Units({0xD83D, 0xD83D}), ""},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8) << c.name;
    }
    if constexpr (sizeof(wchar_t) == 4) {
        EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "");
    }
}

TEST(Utf8, MalformedUtf8GivesNothing) {
    for (const char* bad :
         {"a\x80", "\xC3", "\xE2\x82", "\xF0\x9F\x93", "\xC0\xAF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",
          "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xC3\x28", "\xFF"}) {
        EXPECT_EQ(Utf8ToWide(bad), L"") << ::testing::PrintToString(std::string(bad));
    }
}

// Every scalar value one after the other, encoded by AppendUtf8, decoded and encoded again: catches an
// off-by-one at any length class or surrogate boundary of both directions.
TEST(Utf8, EveryScalarValueRoundTrips) {
    std::string utf8;
    for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        if (cp < 0xD800 || cp > 0xDFFF) {
            ASSERT_TRUE(platform::AppendUtf8(utf8, cp)) << static_cast<unsigned>(cp);
        }
    }
    const std::wstring wide = Utf8ToWide(utf8);
    // One unit per scalar value; in UTF-16 one more for each of the 0x100000 values above U+FFFF.
    EXPECT_EQ(wide.size(), 0x10FFFFu - 0x800u + (sizeof(wchar_t) == 2 ? 0x100000u : 0u));
    EXPECT_EQ(WideToUtf8(wide), utf8);
    std::string bad;
    EXPECT_FALSE(platform::AppendUtf8(bad, 0xD800));
    EXPECT_FALSE(platform::AppendUtf8(bad, 0xDFFF));
    EXPECT_FALSE(platform::AppendUtf8(bad, 0x110000));
    EXPECT_TRUE(bad.empty());
}

}  // namespace
