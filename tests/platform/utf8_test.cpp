#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Builds a wide string from UTF-16 code units, whatever the width of wchar_t.
std::wstring Units(std::initializer_list<unsigned> units) {
    std::wstring s;
    for (unsigned u : units) {
        s.push_back(static_cast<wchar_t>(u));
    }
    return s;
}

TEST(Utf8, EncodesEveryLengthClass) {
    EXPECT_EQ(WideToUtf8(L"abc"), "abc");
    EXPECT_EQ(WideToUtf8(Units({0xE9})), "\xC3\xA9");
    EXPECT_EQ(WideToUtf8(Units({0x20AC})), "\xE2\x82\xAC");
    EXPECT_EQ(WideToUtf8(Units({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF})),
              "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    EXPECT_EQ(WideToUtf8(L""), "");
    // An embedded zero is a character like any other.
    EXPECT_EQ(WideToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf8, SurrogatePairBecomesOneFourByteSequenceOnEveryPlatform) {
    // U+1F4FB (radio) as the JSON parser stores it: a pair of UTF-16 code units.
    EXPECT_EQ(WideToUtf8(Units({'x', 0xD83D, 0xDCFB, 'y'})), "x\xF0\x9F\x93\xBBy");
    EXPECT_EQ(WideToUtf8(Units({0xDBFF, 0xDFFF})), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(WideToUtf8(Units({0xD800, 0xDC00})), "\xF0\x90\x80\x80");
}

TEST(Utf8, LoneOrMisorderedSurrogatesAreInvalid) {
    EXPECT_EQ(WideToUtf8(Units({'a', 0xD83D})), "");
    EXPECT_EQ(WideToUtf8(Units({0xDCFB, 'a'})), "");
    EXPECT_EQ(WideToUtf8(Units({0xDCFB, 0xD83D})), "");
    EXPECT_EQ(WideToUtf8(Units({0xD83D, 'a'})), "");
    EXPECT_EQ(WideToUtf8(Units({0xD83D, 0xD83D})), "");
    if constexpr (sizeof(wchar_t) == 4) {
        // A 32-bit wide character beyond Unicode, or a code point given whole.
        EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x110000))), "");
        EXPECT_EQ(WideToUtf8(std::wstring(1, static_cast<wchar_t>(0x1F4FB))), "\xF0\x9F\x93\xBB");
    }
}

TEST(Utf8, DecodesToTheNativeWideForm) {
    EXPECT_EQ(Utf8ToWide("abc"), L"abc");
    EXPECT_EQ(Utf8ToWide("\xC3\xA9\xE2\x82\xAC"), Units({0xE9, 0x20AC}));
    std::wstring radio = Utf8ToWide("\xF0\x9F\x93\xBB");
    if constexpr (sizeof(wchar_t) == 2) {
        EXPECT_EQ(radio, Units({0xD83D, 0xDCFB}));
    } else {
        ASSERT_EQ(radio.size(), 1u);
        EXPECT_EQ(static_cast<unsigned>(radio[0]), 0x1F4FBu);
    }
    EXPECT_EQ(WideToUtf8(radio), "\xF0\x9F\x93\xBB");
}

TEST(Utf8, RejectsMalformedInput) {
    EXPECT_EQ(Utf8ToWide("a\x80"), L"");                 // stray continuation byte
    EXPECT_EQ(Utf8ToWide("\xC3"), L"");                  // truncated sequence
    EXPECT_EQ(Utf8ToWide("\xE2\x82"), L"");              // truncated sequence
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"");              // overlong '/'
    EXPECT_EQ(Utf8ToWide("\xE0\x80\xAF"), L"");          // overlong '/'
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"");          // encoded surrogate
    EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), L"");      // above U+10FFFF
    EXPECT_EQ(Utf8ToWide("\xF8\x88\x80\x80\x80"), L"");  // five-byte form
    EXPECT_EQ(Utf8ToWide("\xC3\x28"), L"");              // bad continuation
    EXPECT_EQ(Utf8ToWide("\xFF"), L"");
}

TEST(Utf8, RoundTripsEveryScalarValue) {
    std::string utf8;
    for (char32_t cp = 1; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            continue;
        }
        ASSERT_TRUE(platform::AppendUtf8(utf8, cp));
    }
    std::wstring wide = Utf8ToWide(utf8);
    ASSERT_FALSE(wide.empty());
    EXPECT_EQ(WideToUtf8(wide), utf8);
    std::string bad;
    EXPECT_FALSE(platform::AppendUtf8(bad, 0xD800));
    EXPECT_FALSE(platform::AppendUtf8(bad, 0x110000));
    EXPECT_TRUE(bad.empty());
}

}  // namespace
