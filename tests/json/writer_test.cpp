#include "json/writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "json/parser.h"

namespace {

using JSON::Value;

std::wstring Units(std::initializer_list<unsigned> units) {
    std::wstring s;
    for (unsigned u : units) {
        s.push_back(static_cast<wchar_t>(u));
    }
    return s;
}

std::wstring Print(double d) {
    Value v;
    v.SetDouble(d);
    return JSON::GenerateText(v);
}

TEST(JsonWriter, EscapeRules) {
    EXPECT_EQ(JSON::EscapeString(L"a/b"), L"\"a\\/b\"");
    EXPECT_EQ(JSON::EscapeString(L"say \"hi\" \\ now"), L"\"say \\\"hi\\\" \\\\ now\"");
    EXPECT_EQ(JSON::EscapeString(L"\b\t\n\f\r"), L"\"\\b\\t\\n\\f\\r\"");
    EXPECT_EQ(JSON::EscapeString(Units({0x01, 0x1B, 0x1F, 0x0B, 0x00})),
              L"\"\\u0001\\u001B\\u001F\\u000B\\u0000\"");
    EXPECT_EQ(JSON::EscapeString(Units({0x7F})), L"\"\x7F\"");
    EXPECT_EQ(JSON::EscapeString(L""), L"\"\"");
    // Characters of 128 and above, surrogate halves included, are written unchanged.
    EXPECT_EQ(JSON::EscapeString(Units({0xE9, 0xD83D, 0xDCFB, 0xDC00, 0xFFFF})),
              Units({'"', 0xE9, 0xD83D, 0xDCFB, 0xDC00, 0xFFFF, '"'}));

    std::wstring out = L"prefix:";
    EXPECT_EQ(&JSON::EscapeString(out, L"x"), &out);
    EXPECT_EQ(out, L"prefix:\"x\"");
}

TEST(JsonWriter, EscapedTextParsesBackToTheSameCharacters) {
    std::wstring all;
    for (unsigned c = 1; c < 0x2100; ++c) {
        if (c < 0xD800 || c > 0xDFFF) {
            all.push_back(static_cast<wchar_t>(c));
        }
    }
    Value v;
    ASSERT_TRUE(JSON::ParseText(JSON::EscapeString(all), v));
    EXPECT_EQ(v.GetString(), all);
}

TEST(JsonWriter, FormatInteger) {
    wchar_t buffer[JSON::kFormatIntegerBufferSize];
    struct Case {
        int64_t value;
        const wchar_t* text;
    };
    const Case cases[] = {
        {0, L"0"},
        {7, L"7"},
        {-1, L"-1"},
        {10, L"10"},
        {1000000, L"1000000"},
        {INT64_MAX, L"9223372036854775807"},
        {INT64_MIN, L"-9223372036854775808"},
    };
    for (const Case& c : cases) {
        size_t n = JSON::FormatInteger(c.value, buffer);
        EXPECT_EQ(std::wstring(buffer), c.text);
        EXPECT_EQ(n, std::wstring(c.text).size());
    }
    Value v;
    v.SetInt(INT64_MIN);
    EXPECT_EQ(JSON::GenerateText(v), L"-9223372036854775808");
}

TEST(JsonWriter, DoubleLayout) {
    EXPECT_EQ(Print(0.1), L"0.1");
    EXPECT_EQ(Print(100.0), L"100.0");
    EXPECT_EQ(Print(1e-5), L"0.00001");
    EXPECT_EQ(Print(1e-6), L"0.000001");
    EXPECT_EQ(Print(1e-7), L"1e-7");
    EXPECT_EQ(Print(123456789012345680000.0), L"1.2345678901234568e20");
    EXPECT_EQ(Print(0.5), L"0.5");
    EXPECT_EQ(Print(0.001234), L"0.001234");
    EXPECT_EQ(Print(12.34), L"12.34");
    EXPECT_EQ(Print(1234.0), L"1234.0");
    EXPECT_EQ(Print(1e5), L"100000.0");
    EXPECT_EQ(Print(1e15), L"1000000000000000.0");
    EXPECT_EQ(Print(1e16), L"1e16");
    EXPECT_EQ(Print(1.5e-7), L"1.5e-7");
    EXPECT_EQ(Print(1.7976931348623157e308), L"1.7976931348623157e308");
    EXPECT_EQ(Print(0.0), L"0.0");
    EXPECT_EQ(Print(-0.0), L"-0.0");
    EXPECT_EQ(Print(-2.5), L"-2.5");
    EXPECT_EQ(Print(5e-324), L"5e-324");
    EXPECT_EQ(Print(2.2250738585072014e-308), L"2.2250738585072014e-308");
    EXPECT_EQ(Print(1e100), L"1e100");
    EXPECT_EQ(Print(-1.25e-100), L"-1.25e-100");
    EXPECT_EQ(Print(1e21), L"1e21");
    EXPECT_EQ(Print(0.1 + 0.2), L"0.30000000000000004");
    EXPECT_EQ(Print(9007199254740992.0), L"9007199254740992.0");
    // Seventeen digits and no exponent still print in full.
    EXPECT_EQ(Print(12345678901234568.0), L"12345678901234568.0");
    EXPECT_EQ(Print(1.5e16), L"1.5e16");
    EXPECT_EQ(Print(4.35), L"4.35");
    EXPECT_EQ(Print(87.5e3), L"87500.0");
}

TEST(JsonWriter, FormatDoubleForms) {
    char narrow[JSON::kFormatDoubleBufferSize];
    EXPECT_EQ(JSON::FormatDouble(-1.5e-7, narrow), 7u);
    EXPECT_STREQ(narrow, "-1.5e-7");
    wchar_t wide[JSON::kFormatDoubleBufferSize];
    EXPECT_EQ(JSON::FormatDouble(-1.5e-7, wide), 7u);
    EXPECT_EQ(std::wstring(wide), L"-1.5e-7");
    EXPECT_EQ(JSON::FormatDoubleString(2.75), "2.75");
    EXPECT_EQ(JSON::FormatDoubleWString(2.75), L"2.75");
}

TEST(JsonWriter, NonFiniteDoublesPrintAsNull) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(JSON::FormatDoubleString(inf), "null");
    EXPECT_EQ(JSON::FormatDoubleString(-inf), "null");
    EXPECT_EQ(JSON::FormatDoubleString(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(JSON::FormatDoubleString(-std::numeric_limits<double>::quiet_NaN()), "null");
    Value v;
    v[L"a"].SetDouble(inf);
    v[L"b"].SetDouble(std::nan(""));
    std::wstring text = JSON::GenerateText(v);
    EXPECT_EQ(text, L"{\"a\":null,\"b\":null}");
    Value back;
    EXPECT_TRUE(JSON::ParseText(text, back)) << "the text stays valid JSON";
}

TEST(JsonWriter, LayoutOfContainers) {
    Value v;
    v[L"b"].SetInt(2);
    v[L"a"].SetInt(1);
    EXPECT_EQ(JSON::GenerateText(v), L"{\"a\":1,\"b\":2}");

    Value empty_array;
    empty_array.SetType(JSON::kArray);
    EXPECT_EQ(JSON::GenerateText(empty_array), L"[]");
    Value empty_object;
    empty_object.SetType(JSON::kObject);
    EXPECT_EQ(JSON::GenerateText(empty_object), L"{}");

    Value all;
    all[L"arr"][0].SetLiteral(JSON::kNull);
    all[L"arr"][1].SetBool(false);
    all[L"arr"][2].SetBool(true);
    all[L"arr"][3].SetDouble(1.0);
    all[L"arr"][4].SetString(L"x/y");
    all[L"arr"][5][L"k"].ClearArray();
    all[L"n"].SetInt(-3);
    all[L"tab\tkey"].SetString(L"");
    EXPECT_EQ(JSON::GenerateText(all),
              L"{\"arr\":[null,false,true,1.0,\"x\\/y\",{\"k\":[]}],\"n\":-3,\"tab\\tkey\":\"\"}");

    std::wstring out = L"head";
    EXPECT_EQ(&JSON::GenerateText(all[L"n"], out), &out);
    EXPECT_EQ(out, L"head-3");
}

TEST(JsonWriter, UndefinedAnywhereCannotBePrinted) {
    const char* message = "JSON value undefined: cannot generate text representation";
    auto failure = [](const Value& v, std::wstring& out) -> std::string {
        try {
            JSON::GenerateText(v, out);
        } catch (const JSON::Exception& e) {
            return e.what();
        }
        return "";
    };
    std::wstring out;
    EXPECT_EQ(failure(Value(), out), message);

    Value bad_literal;
    bad_literal.SetLiteral(4);
    EXPECT_EQ(failure(bad_literal, out), message);
    bad_literal.SetLiteral(0);
    EXPECT_EQ(failure(bad_literal, out), message);

    Value bad_type;
    bad_type.type = 7;
    EXPECT_EQ(failure(bad_type, out), message);

    // What was appended before the fault stays.
    Value partial;
    partial[L"a"].SetInt(1);
    partial[L"b"][2].SetInt(3);
    out = L">";
    EXPECT_EQ(failure(partial, out), message);
    EXPECT_EQ(out, L">{\"a\":1,\"b\":[");
}

}  // namespace
