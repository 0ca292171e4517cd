#include "json/writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "json/parser.h"

namespace {

using JSON::Value;

// The layout of doubles: the shortest digits that read back, a point always, an exponent outside
// 1e-6 .. 1e17.
TEST(JsonWriter, DoublesPrintInTheirLayout) {
    const struct {
        double value;
        const wchar_t* text;
    } kCases[] = {
        {0.0, L"0.0"},
        {-0.0, L"-0.0"},
        {0.1, L"0.1"},
        {0.5, L"0.5"},
        {100.0, L"100.0"},
        {1234.0, L"1234.0"},
        {12.34, L"12.34"},
        {-2.5, L"-2.5"},
        {1e-5, L"0.00001"},
        {1e-6, L"0.000001"},
        {0.001234, L"0.001234"},
        {1e-7, L"1e-7"},
        {1.5e-7, L"1.5e-7"},
        {1e5, L"100000.0"},
        {1e15, L"1000000000000000.0"},
        {12345678901234568.0, L"12345678901234568.0"},
        {1e16, L"1e16"},
        {1.5e16, L"1.5e16"},
        {1e21, L"1e21"},
        {1e100, L"1e100"},
        {-1.25e-100, L"-1.25e-100"},
        {123456789012345680000.0, L"1.2345678901234568e20"},
        {0.1 + 0.2, L"0.30000000000000004"},
        {5e-324, L"5e-324"},
        {2.2250738585072014e-308, L"2.2250738585072014e-308"},
        {1.7976931348623157e308, L"1.7976931348623157e308"},
    };
    for (const auto& c : kCases) {
        Value v;
        v.SetDouble(c.value);
        EXPECT_EQ(JSON::GenerateText(v), c.text);
    }
    char narrow[JSON::kFormatDoubleBufferSize];
    EXPECT_EQ(JSON::FormatDouble(-1.5e-7, narrow), 7u);
    EXPECT_STREQ(narrow, "-1.5e-7");
    EXPECT_EQ(JSON::FormatDoubleString(std::numeric_limits<double>::infinity()), "null");
}

TEST(JsonWriter, ControlCharactersAndLargeIntegersPrintExactly) {
    EXPECT_EQ(JSON::EscapeString(std::wstring{L'\x01', L'\x0B', L'\x1F', L'\0', L'\x20'}),
              L"\"\\u0001\\u000B\\u001F\\u0000 \"");
    Value v;
    v.SetInt(INT64_MIN);
    EXPECT_EQ(JSON::GenerateText(v), L"-9223372036854775808");
}

TEST(JsonWriter, UndefinedAnywhereCannotBePrintedAndWhatCameBeforeStays) {
    Value partial;
    partial[L"a"].SetInt(1);
    partial[L"b"][2].SetInt(3);
    Value bad_literal;
    bad_literal.SetLiteral(4);
    for (const Value* v : {&partial, &bad_literal}) {
        std::wstring out = L">";
        try {
            JSON::GenerateText(*v, out);
            ADD_FAILURE() << "printed " << testing::PrintToString(out);
        } catch (const JSON::Exception& e) {
            EXPECT_STREQ(e.what(), "JSON value undefined: cannot generate text representation");
        }
        EXPECT_EQ(out, v == &partial ? L">{\"a\":1,\"b\":[" : L">");
    }
}

}  // namespace
