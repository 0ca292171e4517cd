#include "json/parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "json/writer.h"

namespace {

using JSON::Value;

// Parses like ParseText, but keeps the parser's error code and the builder's message.
std::pair<std::uint32_t, std::string> Failure(std::wstring_view text) {
    Value v;
    JSON::ParsingBuilder builder(&v);
    JSON::Parser parser(&builder);
    std::string message;
    try {
        std::size_t i = 0;
        while (i < text.size() && parser.PutChar(static_cast<std::uint32_t>(text[i])) &&
               !parser.IsComplete()) {
            ++i;
        }
        if (i == text.size()) {
            parser.Finish();
        }
    } catch (const std::exception& e) {
        message = e.what();
    }
    return {parser.GetErrorCode(), message};
}

// Every error code with its text, once each, and the edge cases that fail with them.
TEST(JsonParser, EachErrorHasItsCodeAndText) {
    const std::wstring tooDeep = std::wstring(JSON::kMaxNesting, L'[') + L"{";
    const struct {
        const wchar_t* text;
        std::uint32_t code;
        const char* message;
    } kCases[] = {
        {L"", 1, "value expected"},
        {L"[1,]", 1, "value expected"},
        {L" \uFEFF{}", 1, "value expected"},  // a byte-order mark only at the start
        {L"[1}", 3, "mismatch or unclosed square brackets"},
        {L"[true", 4, "comma or right square bracket expected"},
        {L"{\"a\":1]", 5, "mismatch or unclosed curly braces"},
        {L"{", 6, "key string expected"},
        {L"{\"a\":1,}", 6, "key string expected"},
        {L"{\"a\" 1}", 7, "colon separator expected"},
        {L"{\"a\":true]", 8, "comma or right curly brace expected"},
        {L"\"a\tb\"", 9, "invalid character in string"},
        {L"\"\\x\"", 10, "invalid escape sequence in string"},
        {L"\"\\u00e9\"", 10, "invalid escape sequence in string"},  // lower-case hex digits
        {L"-a", 11, "number digit expected"},
        {L"1.e5", 11, "number digit expected"},
        {L"[1e+]", 11, "number digit expected"},
        {L"9223372036854775808", 12, "integer digits overflow"},
        {L"-9223372036854775809", 12, "integer digits overflow"},
        {L"0.99999999999999999999", 13, "fractional digits overflow"},
        {L"1e9223372036854775808", 14, "exponent digits overflow"},
        {L"1.7976931348623159e308", 14, "exponent digits overflow"},  // beyond the largest double
        {L"01", 15, "wrong number syntax"},
        {L"[1.5.3]", 15, "wrong number syntax"},
        {L"1,", 16, "invalid comma character"},
        {L"nULL", 17, "wrong literal character"},
        {L"1]", 18, "misplaced extra brace or bracket"},
        {L"{\"ab", 19, "unclosed string"},
        {L"[1", 20, "unclosed/missing brace or bracket"},
        {tooDeep.c_str(), 21, "nesting deeper than 512 levels"},
        {L"{\"temporary_key\":1,\"b\":2}", 0, "value already assigned"},  // the builder's placeholder key
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(Failure(c.text), std::make_pair(c.code, std::string(c.message)))
            << testing::PrintToString(c.text);
        Value v;
        EXPECT_FALSE(JSON::ParseText(c.text, v));
    }
    EXPECT_STREQ(JSON::ParserErrorText(2), "invalid end stream chars");
    EXPECT_STREQ(JSON::ParserErrorText(22), "unidentified parser error");
}

// What parses, shown by what the writer prints for it: compact, keys in order, solidus escaped.
TEST(JsonParser, AcceptedTextsAndTheirPrintedForm) {
    const struct {
        const wchar_t* text;
        const wchar_t* printed;
    } kCases[] = {
        {L" 42 ", L"42"},
        {L"-0", L"0"},
        {L"1.0", L"1.0"},
        {L"1e2", L"100.0"},
        {L"[1e5-, 2E+-+1, 3e1+]", L"[0.00001,0.2,30.0]"},  // exponent signs anywhere among its digits
        {L"-9223372036854775808", L"-9223372036854775808"},
        {L"9223372036854775807", L"9223372036854775807"},
        {L"[true,false,null,\"\"]", L"[true,false,null,\"\"]"},
        {L"[t r\tue]", L"[true]"},  // blanks between literal letters
        {L" [ { } , [ ] , { \"a\" : [ ] } ] ", L"[{},[],{\"a\":[]}]"},
        {L"{\"b\":1,\"a\":{\"d\":[2],\"c\":3}}", L"{\"a\":{\"c\":3,\"d\":[2]},\"b\":1}"},
        {L"\uFEFF{\"a\":1}", L"{\"a\":1}"},
        {L"{} x", L"{}"},  // nothing after a complete value is examined
        {L"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", L"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\""},
        {L"\"\\u00E9\\u0041\\u001B\\u007F a/b\"", L"\"\u00e9A\\u001B\x7F a\\/b\""},
        {L"\"\\uD83D\\uDCFB\\uDC00\"", L"\"\xD83D\xDCFB\xDC00\""},       // surrogates pass as code units
        {L"{\"a\":1,\"a\":{\"a\":2,\"a\":{}}}", L"{\"a\":{\"a\":{}}}"},  // the last of a repeated key
        {L"{\"a\":1,\"temporary_key\":2}", L"{\"a\":1,\"temporary_key\":2}"},
    };
    for (const auto& c : kCases) {
        Value v;
        ASSERT_TRUE(JSON::ParseText(c.text, v)) << testing::PrintToString(c.text);
        EXPECT_EQ(JSON::GenerateText(v), c.printed) << testing::PrintToString(c.text);
    }
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"\"a\\u0000b\"", v));
    EXPECT_EQ(v.GetString(), std::wstring(L"a\0b", 3));
}

TEST(JsonParser, DoublesAreCorrectlyRounded) {
    const struct {
        std::wstring text;
        double expected;
    } kCases[] = {
        {L"-2.5e-3", -2.5e-3},
        {L"1.7976931348623157e308", 1.7976931348623157e308},
        {L"2.2250738585072014e-308", 2.2250738585072014e-308},
        {L"5e-324", 5e-324},
        {L"9007199254740993.0", 9007199254740992.0},  // halfway: to even
        {L"9007199254740993." + std::wstring(600, L'0') + L"1", 9007199254740994.0},
        {L"0." + std::wstring(391, L'0') + L"1e300", 1e-92},
    };
    for (const auto& c : kCases) {
        Value v;
        ASSERT_TRUE(JSON::ParseText(c.text, v)) << testing::PrintToString(c.text.substr(0, 30));
        EXPECT_TRUE(v.type == JSON::kDouble && v.number == c.expected) << c.expected;
    }
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"-0.0", v));
    EXPECT_TRUE(std::signbit(v.number));
}

TEST(JsonParser, TextMayArriveInPiecesAndResetStartsOver) {
    Value v;
    JSON::ParsingBuilder builder(&v);
    JSON::Parser parser(&builder);
    EXPECT_TRUE(Parse::RunParser(parser, L"{\"na", false));
    EXPECT_TRUE(Parse::RunParser(parser, L"me\":[12", false));
    EXPECT_TRUE(Parse::RunParser(parser, L"34,5]}", false));
    EXPECT_EQ(JSON::GenerateText(v), L"{\"name\":[1234,5]}");
    EXPECT_ANY_THROW(parser.PutChar('x')) << "fed on after a complete value";
    EXPECT_EQ(parser.GetErrorCode(), 2u);
    parser.Reset();
    EXPECT_EQ(v.type, JSON::kUndefined);
    EXPECT_TRUE(Parse::RunParser(parser, L"77", false));
    EXPECT_EQ(v.type, JSON::kUndefined) << "the end completes a number only when it is final";
    EXPECT_TRUE(Parse::RunParser(parser, L"", true));
    EXPECT_EQ(v.integer, 77);
}

TEST(JsonParser, WideCharactersAboveTheBasicPlaneBecomePairs) {
    if constexpr (sizeof(wchar_t) == 4) {
        Value v;
        ASSERT_TRUE(JSON::ParseText(std::wstring{L'"', static_cast<wchar_t>(0x1F4FB), L'"'}, v));
        EXPECT_EQ(v.GetString(), (std::wstring{static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDCFB)}));
        EXPECT_EQ(Failure(std::wstring{L'"', static_cast<wchar_t>(0x110000), L'"'}).second,
                  "illegal UTF-32 character");
    }
}

}  // namespace
