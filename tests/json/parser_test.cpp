#include "json/parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "json/writer.h"

namespace {

using JSON::Value;

struct Outcome {
    bool ok = false;
    uint32_t code = 0;    // the parser's error code
    std::string message;  // what the builder threw
};

// Parses like ParseText, but keeps the parser's error code and the builder's message.
Outcome ParseOutcome(std::wstring_view text, Value* out = nullptr) {
    Value local;
    Value& target = out != nullptr ? *out : local;
    JSON::ParsingBuilder builder(&target);
    JSON::Parser parser(&builder);
    Outcome outcome;
    try {
        size_t i = 0;
        for (; i < text.size(); ++i) {
            if (!parser.PutChar(static_cast<uint32_t>(text[i]))) {
                break;
            }
            if (parser.IsComplete()) {
                break;
            }
        }
        if (i == text.size() && !parser.HasError()) {
            parser.Finish();
        }
        outcome.ok = parser.IsComplete() && !parser.HasError();
    } catch (const std::exception& e) {
        outcome.message = e.what();
    }
    outcome.code = parser.GetErrorCode();
    return outcome;
}

// Parses with ParseText and prints the result ("<fail>" when it does not parse).
std::wstring RoundTrip(std::wstring_view text) {
    Value v;
    if (!JSON::ParseText(text, v)) {
        return L"<fail>";
    }
    return JSON::GenerateText(v);
}

struct ErrorCase {
    const wchar_t* text;
    uint32_t code;
    const char* message;
};

TEST(JsonParser, EveryErrorCodeHasItsTextAndATrigger) {
    const ErrorCase cases[] = {
        {L"", 1, "value expected"},
        {L"[1,]", 1, "value expected"},
        {L"[,1]", 1, "value expected"},
        {L"{\"a\":}", 1, "value expected"},
        {L"[1}", 3, "mismatch or unclosed square brackets"},
        {L"[true", 4, "comma or right square bracket expected"},
        {L"[1 2]", 4, "comma or right square bracket expected"},
        {L"{\"a\":1]", 5, "mismatch or unclosed curly braces"},
        {L"{", 6, "key string expected"},
        {L"{\"a\":1,}", 6, "key string expected"},
        {L"{1:2}", 6, "key string expected"},
        {L"{\"a\" 1}", 7, "colon separator expected"},
        {L"{\"a\":true]", 8, "comma or right curly brace expected"},
        {L"\"a\tb\"", 9, "invalid character in string"},
        {L"\"a\nb\"", 9, "invalid character in string"},
        {L"\"a\rb\"", 9, "invalid character in string"},
        {L"\"\x01\"", 9, "invalid character in string"},
        {L"\"\\x\"", 10, "invalid escape sequence in string"},
        {L"\"\\u00e9\"", 10, "invalid escape sequence in string"},
        {L"\"\\u12G4\"", 10, "invalid escape sequence in string"},
        {L"-", 11, "number digit expected"},
        {L"-a", 11, "number digit expected"},
        {L"1.", 11, "number digit expected"},
        {L"1.e5", 11, "number digit expected"},
        {L"1e", 11, "number digit expected"},
        {L"[1e+]", 11, "number digit expected"},
        {L"9223372036854775808", 12, "integer digits overflow"},
        {L"-9223372036854775809", 12, "integer digits overflow"},
        {L"[123456789012345678901]", 12, "integer digits overflow"},
        {L"0.99999999999999999999", 13, "fractional digits overflow"},
        {L"1e9223372036854775808", 14, "exponent digits overflow"},
        {L"01", 15, "wrong number syntax"},
        {L"1x", 15, "wrong number syntax"},
        {L"[1.5.3]", 15, "wrong number syntax"},
        {L"1,", 16, "invalid comma character"},
        {L"tru", 17, "wrong literal character"},
        {L"nul", 17, "wrong literal character"},
        {L"fals", 17, "wrong literal character"},
        {L"[trux]", 17, "wrong literal character"},
        {L"nULL", 17, "wrong literal character"},
        {L"1]", 18, "misplaced extra brace or bracket"},
        {L"0}", 18, "misplaced extra brace or bracket"},
        {L"\"abc", 19, "unclosed string"},
        {L"{\"ab", 19, "unclosed string"},
        {L"[1", 20, "unclosed/missing brace or bracket"},
        {L"{\"a\":[[1", 20, "unclosed/missing brace or bracket"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "text: " << testing::PrintToString(std::wstring(c.text)));
        Outcome o = ParseOutcome(c.text);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.code, c.code);
        EXPECT_EQ(o.message, c.message);
        EXPECT_STREQ(JSON::ParserErrorText(c.code), c.message);
        Value v;
        EXPECT_FALSE(JSON::ParseText(c.text, v));
    }
}

TEST(JsonParser, ErrorTextsOfTheRemainingCodes) {
    EXPECT_STREQ(JSON::ParserErrorText(0), "no error");
    EXPECT_STREQ(JSON::ParserErrorText(2), "invalid end stream chars");
    EXPECT_STREQ(JSON::ParserErrorText(21), "unidentified parser error");
    EXPECT_STREQ(JSON::ParserErrorText(0xFFFFFFFFu), "unidentified parser error");
}

TEST(JsonParser, CharactersAfterACompleteValueFailWhenStillFed) {
    // The parse driver stops at the end of the first value; a parser that is fed on reports error 2.
    JSON::Parser parser;
    for (wchar_t c : std::wstring(L"{} \t\r\n")) {
        ASSERT_TRUE(parser.PutChar(static_cast<uint32_t>(c)));
    }
    EXPECT_TRUE(parser.IsComplete());
    EXPECT_TRUE(parser.Finish());
    EXPECT_FALSE(parser.PutChar('x'));
    EXPECT_TRUE(parser.HasError());
    EXPECT_FALSE(parser.IsComplete());
    EXPECT_EQ(parser.GetErrorCode(), 2u);
    // The first error ends the parse: nothing more is taken.
    EXPECT_FALSE(parser.PutChar(' '));
    EXPECT_EQ(parser.GetErrorCode(), 2u);

    Value v;
    EXPECT_TRUE(JSON::ParseText(L"{} x", v));
    EXPECT_EQ(v.type, JSON::kObject);
    EXPECT_TRUE(JSON::ParseText(L"[1] ]]]", v));
    EXPECT_TRUE(JSON::ParseText(L"\"a\"\"b\"", v));
    EXPECT_EQ(v.GetString(), L"a");
}

TEST(JsonParser, ScalarsAtTopLevel) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(L" 42 ", v));
    EXPECT_EQ(v.type, JSON::kInteger);
    EXPECT_EQ(v.integer, 42);
    ASSERT_TRUE(JSON::ParseText(L"-0", v));
    EXPECT_EQ(v.type, JSON::kInteger);
    EXPECT_EQ(v.integer, 0);
    ASSERT_TRUE(JSON::ParseText(L"10", v));
    EXPECT_EQ(v.type, JSON::kInteger);
    ASSERT_TRUE(JSON::ParseText(L"1.0", v));
    EXPECT_EQ(v.type, JSON::kDouble);
    EXPECT_EQ(v.number, 1.0);
    ASSERT_TRUE(JSON::ParseText(L"1e2", v));
    EXPECT_EQ(v.type, JSON::kDouble);
    EXPECT_EQ(v.number, 100.0);
    ASSERT_TRUE(JSON::ParseText(L"true", v));
    EXPECT_EQ(v.literal, JSON::kTrue);
    ASSERT_TRUE(JSON::ParseText(L"false", v));
    EXPECT_EQ(v.literal, JSON::kFalse);
    ASSERT_TRUE(JSON::ParseText(L"null", v));
    EXPECT_EQ(v.literal, JSON::kNull);
    ASSERT_TRUE(JSON::ParseText(L"\"\"", v));
    EXPECT_EQ(v.type, JSON::kString);
    EXPECT_EQ(v.string, L"");
}

TEST(JsonParser, IntegerLimits) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"-9223372036854775808", v));
    EXPECT_EQ(v.type, JSON::kInteger);
    EXPECT_EQ(v.integer, INT64_MIN);
    ASSERT_TRUE(JSON::ParseText(L"9223372036854775807", v));
    EXPECT_EQ(v.integer, INT64_MAX);
    EXPECT_FALSE(JSON::ParseText(L"9223372036854775808", v));
    EXPECT_EQ(RoundTrip(L"[-9223372036854775808]"), L"[-9223372036854775808]");
}

TEST(JsonParser, DoublesAreCorrectlyRounded) {
    struct Case {
        const wchar_t* text;
        double expected;
    };
    const Case cases[] = {
        {L"0.3", 0.3},
        {L"0.1", 0.1},
        {L"-2.5e-3", -2.5e-3},
        {L"1.7976931348623157e308", 1.7976931348623157e308},
        {L"2.2250738585072014e-308", 2.2250738585072014e-308},
        {L"4.9406564584124654e-324", 4.9406564584124654e-324},
        {L"5e-324", 5e-324},
        {L"123456789012345678.5", 123456789012345678.5},
        {L"0.000000000000000000000000000000000000001", 1e-39},
        {L"1e-400", 0.0},
        {L"9007199254740993.0", 9007199254740992.0},  // halfway: to even
        {L"1e0000000000000000000000000000000000000000000000000000000000000000000000000003", 1000.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        Value v;
        ASSERT_TRUE(JSON::ParseText(c.text, v));
        ASSERT_EQ(v.type, JSON::kDouble);
        EXPECT_EQ(v.number, c.expected);
    }
    Value v;
    // Far behind the integer digits, a fraction still decides the rounding of a halfway case.
    ASSERT_TRUE(JSON::ParseText(L"9007199254740993." + std::wstring(600, L'0') + L"1", v));
    EXPECT_EQ(v.number, 9007199254740994.0);
    ASSERT_TRUE(JSON::ParseText(L"-9007199254740993." + std::wstring(600, L'0'), v));
    EXPECT_EQ(v.number, -9007199254740992.0);
    // Leading zeros of a fraction shift the value however many there are.
    ASSERT_TRUE(JSON::ParseText(L"0." + std::wstring(391, L'0') + L"1e300", v));
    EXPECT_EQ(v.number, 1e-92);
    ASSERT_TRUE(JSON::ParseText(L"0." + std::wstring(100000, L'0') + L"1e99990", v));
    EXPECT_EQ(v.number, 1e-11);
    ASSERT_TRUE(JSON::ParseText(L"-1e-400", v));
    EXPECT_TRUE(std::signbit(v.number));
    ASSERT_TRUE(JSON::ParseText(L"-0.0", v));
    EXPECT_EQ(v.type, JSON::kDouble);
    EXPECT_TRUE(std::signbit(v.number));
}

TEST(JsonParser, DoublesBeyondTheRangeFail) {
    for (const wchar_t* text : {L"1e309", L"-1e400", L"1.7976931348623159e308", L"[0.5e99999999]"}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(text)));
        Outcome o = ParseOutcome(text);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.code, 14u);
        EXPECT_EQ(o.message, "exponent digits overflow");
    }
}

TEST(JsonParser, ExponentSignsAreTakenAnywhereAmongItsDigits) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"[1e5-]", v));
    EXPECT_EQ(v[0].number, 1e-5);
    ASSERT_TRUE(JSON::ParseText(L"[2E+-+1]", v));
    EXPECT_EQ(v[0].number, 0.2);
    ASSERT_TRUE(JSON::ParseText(L"[3e1+]", v));
    EXPECT_EQ(v[0].number, 30.0);
}

TEST(JsonParser, EmptyContainersLoseTheirPlaceholder) {
    EXPECT_EQ(RoundTrip(L"{}"), L"{}");
    EXPECT_EQ(RoundTrip(L"[]"), L"[]");
    EXPECT_EQ(RoundTrip(L" [ { } , [ ] , { \"a\" : [ ] } ] "), L"[{},[],{\"a\":[]}]");
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"{}", v));
    EXPECT_EQ(v.type, JSON::kObject);
    EXPECT_EQ(v.ObjectSize(), 0u);
    ASSERT_TRUE(JSON::ParseText(L"[]", v));
    EXPECT_EQ(v.ArraySize(), 0u);
}

TEST(JsonParser, StringsAndEscapes) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", v));
    EXPECT_EQ(v.GetString(), L"\"\\/\b\f\n\r\t");
    ASSERT_TRUE(JSON::ParseText(L"\"\\u00E9\\u0041\\u20AC\"", v));
    EXPECT_EQ(v.GetString(), L"\u00e9A\u20ac");
    ASSERT_TRUE(JSON::ParseText(L"\"a b\x7F\u00e9\"", v));
    EXPECT_EQ(v.GetString(), L"a b\x7F\u00e9");
    // \u0000 is an ordinary character inside a string.
    ASSERT_TRUE(JSON::ParseText(L"\"a\\u0000b\"", v));
    EXPECT_EQ(v.GetString(), std::wstring(L"a\0b", 3));
}

TEST(JsonParser, EscapedSurrogatesArePassedOnAsTwoCodeUnits) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"\"\\uD83D\\uDCFB\"", v));
    ASSERT_EQ(v.GetString().size(), 2u);
    EXPECT_EQ(static_cast<unsigned>(v.GetString()[0]), 0xD83Du);
    EXPECT_EQ(static_cast<unsigned>(v.GetString()[1]), 0xDCFBu);
    // A lone half is kept as it is.
    ASSERT_TRUE(JSON::ParseText(L"\"\\uDC00x\"", v));
    EXPECT_EQ(static_cast<unsigned>(v.GetString()[0]), 0xDC00u);
}

TEST(JsonParser, ByteOrderMarkIsSkippedOnlyAtTheStart) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"\uFEFF{\"a\":1}", v));
    EXPECT_EQ(v[L"a"].GetInt32(), 1);
    Outcome o = ParseOutcome(L" \uFEFF{}");
    EXPECT_EQ(o.code, 1u);
}

TEST(JsonParser, WhitespaceIsSkippedBetweenLiteralLetters) {
    // The literal states skip blanks like every state outside strings and numbers.
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"[t r\tue]", v));
    EXPECT_EQ(v[0].literal, JSON::kTrue);
}

TEST(JsonParser, DuplicateKeysKeepTheLastValue) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"{\"a\":1,\"a\":2}", v));
    EXPECT_EQ(v.ObjectSize(), 1u);
    EXPECT_EQ(v[L"a"].GetInt32(), 2);

    ASSERT_TRUE(
        JSON::ParseText(L"{\"a\":{\"x\":[1,2]},\"b\":0,\"a\":\"last\",\"c\":{\"k\":1,\"k\":[3]}}", v));
    EXPECT_EQ(JSON::GenerateText(v), L"{\"a\":\"last\",\"b\":0,\"c\":{\"k\":[3]}}");

    // The later value may itself be a container still open when its key repeats.
    ASSERT_TRUE(JSON::ParseText(L"{\"a\":1,\"a\":{\"a\":2,\"a\":{}}}", v));
    EXPECT_EQ(JSON::GenerateText(v), L"{\"a\":{\"a\":{}}}");
}

TEST(JsonParser, PlaceholderKeyAsARealKey) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(L"{\"temporary_key\":5}", v));
    EXPECT_EQ(v[L"temporary_key"].GetInt32(), 5);
    ASSERT_TRUE(JSON::ParseText(L"{\"a\":1,\"temporary_key\":2}", v));
    EXPECT_EQ(JSON::GenerateText(v), L"{\"a\":1,\"temporary_key\":2}");

    // Followed by a further item, the key is taken for the placeholder of that item.
    Outcome o = ParseOutcome(L"{\"temporary_key\":1,\"b\":2}");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.message, "value already assigned");
    EXPECT_FALSE(JSON::ParseText(L"{\"temporary_key\":1,\"b\":2}", v));
}

TEST(JsonParser, KeyOrderAndNestedValues) {
    Value v;
    ASSERT_TRUE(
        JSON::ParseText(L"{\"msg\":\"state\",\"msg_id\":12,\"inputs\":[{\"select\":\"analog\",\"gain\":\"+"
                        L"4dBu\",\"freq\":48000}],"
                        L"\"device_freq\":48000}",
                        v));
    EXPECT_EQ(
        JSON::GenerateText(v),
        L"{\"device_freq\":48000,\"inputs\":[{\"freq\":48000,\"gain\":\"+4dBu\",\"select\":\"analog\"}],"
        L"\"msg\":\"state\",\"msg_id\":12}");
    EXPECT_EQ(v[L"inputs"][0][L"freq"].GetUInt32(), 48000u);
}

// Records every callback as one line.
class Recorder : public JSON::IParserCallback {
public:
    std::vector<std::string> events;
    void Reset() override { events.push_back("reset"); }
    void OnError(uint32_t code) override { events.push_back("error " + std::to_string(code)); }
    void OnObjectBegin() override { events.push_back("{"); }
    void OnObjectNextItem() override { events.push_back("{,"); }
    void OnObjectEnd() override { events.push_back("}"); }
    void OnArrayBegin() override { events.push_back("["); }
    void OnArrayNextItem() override { events.push_back("[,"); }
    void OnArrayEnd() override { events.push_back("]"); }
    void OnKeyBegin() override { events.push_back("key"); }
    void OnKeyChar(uint32_t c) override { events.push_back("k " + std::to_string(c)); }
    void OnKeyEnd() override { events.push_back("/key"); }
    void OnStringBegin() override { events.push_back("str"); }
    void OnStringChar(uint32_t c) override { events.push_back("s " + std::to_string(c)); }
    void OnStringEnd() override { events.push_back("/str"); }
    void OnLiteral(uint32_t kind) override { events.push_back("lit " + std::to_string(kind)); }
    void OnInteger(int64_t i) override { events.push_back("int " + std::to_string(i)); }
    void OnDouble(double d) override { events.push_back("dbl " + JSON::FormatDoubleString(d)); }
};

TEST(JsonParser, ReportsEveryEventInOrder) {
    Recorder r;
    JSON::Parser parser(&r);
    EXPECT_EQ(parser.GetCallback(), &r);
    ASSERT_TRUE(Parse::RunParser(parser, L"{\"a\":[1,\"x\",2.5,null],\"b\":{}}", true));
    const std::vector<std::string> expected = {
        "{",       "key", "k 97",  "/key", "[",  "int 1", "[,",   "str",  "s 120", "/str", "[,",
        "dbl 2.5", "[,",  "lit 1", "]",    "{,", "key",   "k 98", "/key", "{",     "}",    "}",
    };
    EXPECT_EQ(r.events, expected);
}

TEST(JsonParser, ReportsTheErrorToTheCallback) {
    Recorder r;
    JSON::Parser parser(&r);
    EXPECT_FALSE(Parse::RunParser(parser, L"[1,}", true));
    ASSERT_FALSE(r.events.empty());
    EXPECT_EQ(r.events.back(), "error 1");
    EXPECT_EQ(parser.GetErrorCode(), 1u);
}

TEST(JsonParser, TextMayArriveInPieces) {
    Value v;
    JSON::ParsingBuilder builder(&v);
    JSON::Parser parser(&builder);
    EXPECT_TRUE(Parse::RunParser(parser, L"{\"na", false));
    EXPECT_FALSE(parser.IsComplete());
    EXPECT_TRUE(Parse::RunParser(parser, L"me\":[12", false));
    EXPECT_TRUE(Parse::RunParser(parser, L"34,5", false));
    EXPECT_TRUE(Parse::RunParser(parser, L"]}", true));
    EXPECT_TRUE(parser.IsComplete());
    EXPECT_EQ(JSON::GenerateText(v), L"{\"name\":[1234,5]}");

    // The end character completes a number only when the final flag is given.
    Value n;
    JSON::ParsingBuilder nb(&n);
    JSON::Parser np(&nb);
    EXPECT_TRUE(Parse::RunParser(np, L"77", false));
    EXPECT_EQ(n.type, JSON::kUndefined);
    EXPECT_TRUE(Parse::RunParser(np, L"", true));
    EXPECT_EQ(n.integer, 77);
}

TEST(JsonParser, TheDriverStopsAtTheFirstZeroCharacter) {
    Value v;
    EXPECT_FALSE(JSON::ParseText(std::wstring_view(L"[1\0,2]", 6), v));
    EXPECT_TRUE(JSON::ParseText(std::wstring_view(L"12\0garbage", 10), v));
    EXPECT_EQ(v.integer, 12);
}

TEST(JsonParser, ResetStartsOverAndResetsTheBuilder) {
    Value v;
    JSON::ParsingBuilder builder(&v);
    JSON::Parser parser(&builder);
    EXPECT_FALSE(Parse::RunParser(parser, L"[1,{\"a\":", true));
    EXPECT_TRUE(parser.HasError());
    EXPECT_EQ(v.type, JSON::kArray) << "a failed parse leaves what was built";
    parser.Reset();
    EXPECT_FALSE(parser.HasError());
    EXPECT_EQ(parser.GetErrorCode(), 0u);
    EXPECT_EQ(v.type, JSON::kUndefined);
    EXPECT_TRUE(Parse::RunParser(parser, L"[true]", true));
    EXPECT_EQ(JSON::GenerateText(v), L"[true]");

    Recorder r;
    parser.SetCallback(&r);
    parser.Reset();
    EXPECT_EQ(r.events, std::vector<std::string>{"reset"});
    parser.SetCallback(nullptr);
    EXPECT_EQ(parser.GetCallback(), nullptr);
    EXPECT_TRUE(Parse::RunParser(parser, L"{\"x\":[1,2.0,\"s\"]}", true)) << "no callback: syntax only";
}

TEST(JsonParser, GenericDriverWorksThroughTheInterface) {
    // A parser that completes after three characters, to show the driver's use of the interface.
    class Counter : public Parse::IGenericCharParser {
    public:
        std::u32string seen;
        void Reset() override { seen.clear(); }
        bool PutChar(uint32_t c) override {
            seen.push_back(static_cast<char32_t>(c));
            return c != U'!';
        }
        bool Finish() override { return PutChar(0); }
        bool HasError() const override { return false; }
        bool IsComplete() const override { return seen.size() == 3; }
    };
    Counter c;
    EXPECT_TRUE(Parse::RunParser(c, L"abcdef", true));
    EXPECT_EQ(c.seen, U"abc");
    c.Reset();
    EXPECT_FALSE(Parse::RunParser(c, L"a!", true));
    c.Reset();
    EXPECT_FALSE(Parse::RunParser(c, L"a", true)) << "Finish then IsComplete decides";
    EXPECT_EQ(c.seen, std::u32string(U"a\0", 2));
}

TEST(JsonBuilder, StructuralFaults) {
    auto message = [](auto&& action) -> std::string {
        try {
            action();
        } catch (const JSON::Exception& e) {
            return e.what();
        }
        return "";
    };
    Value v;
    JSON::ParsingBuilder b(&v);
    EXPECT_EQ(message([&] { b.OnObjectEnd(); }), "stack exhausted");
    EXPECT_EQ(message([&] { b.OnArrayEnd(); }), "stack exhausted");
    EXPECT_EQ(message([&] { b.OnObjectNextItem(); }), "stack must not be empty within object");
    EXPECT_EQ(message([&] { b.OnKeyEnd(); }), "stack must not be empty within object");
    EXPECT_EQ(message([&] { b.OnArrayNextItem(); }), "stack must not be empty within array");
    EXPECT_EQ(message([&] { b.OnError(7); }), "colon separator expected");
    EXPECT_EQ(message([&] { b.OnError(99); }), "unidentified parser error");

    b.OnArrayBegin();
    EXPECT_EQ(message([&] { b.OnObjectNextItem(); }), "internal error");
    EXPECT_EQ(message([&] { b.OnKeyEnd(); }), "internal error");
    b.OnInteger(1);
    EXPECT_EQ(message([&] { b.OnInteger(2); }), "value already assigned");
    EXPECT_EQ(message([&] { b.OnStringChar(0x41); }), "internal error");
    b.OnArrayNextItem();
    b.OnObjectBegin();
    EXPECT_EQ(message([&] { b.OnArrayNextItem(); }), "internal error");
    b.OnKeyBegin();
    EXPECT_EQ(message([&] { b.OnKeyChar(0x110000); }), "illegal UTF-32 character");
    b.OnKeyChar(0x1F4FB);
    b.OnKeyEnd();
    b.OnStringBegin();
    EXPECT_EQ(message([&] { b.OnStringChar(0x110000); }), "illegal UTF-32 character");
    b.OnStringChar(0x10FFFF);
    b.OnStringEnd();
    b.OnObjectEnd();
    b.OnArrayEnd();
    EXPECT_EQ(message([&] { b.OnArrayEnd(); }), "stack exhausted");
    std::wstring key = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDCFB)};
    std::wstring text = {static_cast<wchar_t>(0xDBFF), static_cast<wchar_t>(0xDFFF)};
    ASSERT_EQ(v.ArraySize(), 2u);
    EXPECT_EQ(v[1][key].GetString(), text);

    // Without a target value nothing can be built.
    JSON::ParsingBuilder none(nullptr);
    EXPECT_EQ(message([&] { none.OnInteger(1); }), "internal error");
    none.Reset();
}

TEST(JsonBuilder, ResetEmptiesTheRootAfterAnAbortedParse) {
    Value v;
    v.SetString(L"old content");
    JSON::ParsingBuilder b(&v);
    EXPECT_EQ(v.type, JSON::kUndefined) << "the builder resets its target";
    b.OnObjectBegin();
    b.OnKeyBegin();
    b.OnKeyChar('k');
    b.OnKeyEnd();
    b.OnArrayBegin();
    b.Reset();
    EXPECT_EQ(v.type, JSON::kUndefined);
    b.OnLiteral(JSON::kFalse);
    EXPECT_EQ(v.literal, JSON::kFalse);
}

TEST(JsonParser, WideCharactersAboveTheBasicPlane) {
    if constexpr (sizeof(wchar_t) == 4) {
        // With 32-bit wide text a character above U+FFFF arrives whole and is stored as a pair.
        std::wstring text = L"\"x";
        text.push_back(static_cast<wchar_t>(0x1F4FB));
        text += L"\"";
        Value v;
        ASSERT_TRUE(JSON::ParseText(text, v));
        ASSERT_EQ(v.GetString().size(), 3u);
        EXPECT_EQ(static_cast<unsigned>(v.GetString()[1]), 0xD83Du);
        EXPECT_EQ(static_cast<unsigned>(v.GetString()[2]), 0xDCFBu);

        std::wstring bad = L"\"";
        bad.push_back(static_cast<wchar_t>(0x110000));
        bad += L"\"";
        Outcome o = ParseOutcome(bad);
        EXPECT_EQ(o.message, "illegal UTF-32 character");
        EXPECT_FALSE(JSON::ParseText(bad, v));
    } else {
        GTEST_SKIP() << "16-bit wide text holds no character above U+FFFF";
    }
}

}  // namespace
