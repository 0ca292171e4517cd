// Whole documents: UTF-8 text, files, and the same bytes on every platform.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "json/parser.h"
#include "json/writer.h"
#include "platform/utf8.h"

namespace {

using JSON::Value;
namespace fs = std::filesystem;

std::wstring Units(std::initializer_list<unsigned> units) {
    std::wstring s;
    for (unsigned u : units) {
        s.push_back(static_cast<wchar_t>(u));
    }
    return s;
}

TEST(JsonDocument, Utf8TextParses) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(std::string("{\"name\":\"caf\xC3\xA9\",\"n\":[1,2]}"), v));
    EXPECT_EQ(v[L"name"].GetString(), L"caf\u00e9");
    ASSERT_TRUE(JSON::ParseText("[true]", v));
    EXPECT_EQ(v[0].literal, JSON::kTrue);
    ASSERT_TRUE(JSON::ParseText(std::string_view("\xEF\xBB\xBF[3]"), v));
    EXPECT_EQ(v[0].integer, 3);

    // Invalid UTF-8 anywhere fails, even behind a complete value.
    EXPECT_FALSE(JSON::ParseText(std::string("{} \xFF"), v));
    EXPECT_FALSE(JSON::ParseText(std::string("\"\xC3\""), v));
    EXPECT_FALSE(JSON::ParseText(std::string(), v));
    EXPECT_FALSE(JSON::ParseText(static_cast<const char*>(nullptr), v));
    EXPECT_FALSE(JSON::ParseText(static_cast<const wchar_t*>(nullptr), v));
}

// A character above U+FFFF gives the same UTF-16 units and the same UTF-8 bytes on every platform,
// whether it came as UTF-8, as two escapes or (with 32-bit wide text) as one wide character.
TEST(JsonDocument, SurrogatePairsGiveTheSameUtf8Everywhere) {
    const std::string utf8 = "{\"radio \xF0\x9F\x93\xBB\":\"\xF0\x9F\x93\xBB x \xF4\x8F\xBF\xBF\"}";
    const std::wstring units = Units({'"', 0xD83D, 0xDCFB, ' ', 'x', ' ', 0xDBFF, 0xDFFF, '"'});

    Value from_utf8;
    ASSERT_TRUE(JSON::ParseText(utf8, from_utf8));
    Value from_escapes;
    ASSERT_TRUE(
        JSON::ParseText(L"{\"radio \\uD83D\\uDCFB\":\"\\uD83D\\uDCFB x \\uDBFF\\uDFFF\"}", from_escapes));
    EXPECT_TRUE(JSON::Equal(from_utf8, from_escapes));

    std::wstring text = JSON::GenerateText(from_utf8);
    EXPECT_EQ(text,
              L"{" + Units({'"', 'r', 'a', 'd', 'i', 'o', ' ', 0xD83D, 0xDCFB, '"'}) + L":" + units + L"}");
    EXPECT_EQ(WideToUtf8(text), utf8);

    // A lone half survives parsing and printing but has no UTF-8 form.
    Value lone;
    ASSERT_TRUE(JSON::ParseText(L"\"\\uD83D\"", lone));
    EXPECT_EQ(WideToUtf8(JSON::GenerateText(lone)), "");
}

class JsonFile : public testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        folder_ = fs::temp_directory_path() /
                  ("norvane_json_" + std::to_string(stamp) + "_" + std::to_string(counter++));
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    fs::path Write(const std::string& name, const std::string& bytes) {
        fs::path path = folder_ / name;
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    fs::path folder_;
};

TEST_F(JsonFile, ReadsUtf8WithOrWithoutByteOrderMark) {
    Value v;
    ASSERT_TRUE(JSON::ParseFile(Write("plain.json", "{\"LoggingLevel\":3,\"name\":\"\xC3\xA9\"}\n"), v));
    EXPECT_EQ(v[L"LoggingLevel"].GetInt32(), 3);
    EXPECT_EQ(v[L"name"].GetString(), L"\u00e9");

    ASSERT_TRUE(JSON::ParseFile(Write("bom.json", "\xEF\xBB\xBF [1, 2]"), v));
    EXPECT_EQ(v.ArraySize(), 2u);

    // A wide path with a character outside ASCII.
    {
        std::ofstream out(folder_ / fs::path(u8"r\u00e9glages.json"), std::ios::binary);
        out << "{\"k\":true}";
    }
    std::wstring wide = folder_.wstring() + L"/r\u00e9glages.json";
    ASSERT_TRUE(JSON::ParseFile(wide, v));
    EXPECT_TRUE(v[L"k"].GetBool());
    v.Reset();
    ASSERT_TRUE(JSON::ParseFile(wide.c_str(), v));
    EXPECT_TRUE(v[L"k"].GetBool());
}

TEST_F(JsonFile, RefusesWhatCannotBeRead) {
    Value v;
    EXPECT_FALSE(JSON::ParseFile(folder_ / "missing.json", v));
    EXPECT_FALSE(JSON::ParseFile(Write("empty.json", ""), v));
    EXPECT_FALSE(JSON::ParseFile(Write("latin1.json", "{\"a\":\"\xE9\"}"), v));
    EXPECT_FALSE(JSON::ParseFile(Write("broken.json", "{\"a\":"), v));
    EXPECT_FALSE(JSON::ParseFile(Write("bom_only.json", "\xEF\xBB\xBF"), v));
    EXPECT_FALSE(JSON::ParseFile(folder_, v)) << "a folder is not a file";
}

}  // namespace

namespace {

// Parsing UTF-8 decodes on the way; the outcome must be that of converting the text first.
TEST(JsonDocument, Utf8ParseAgreesWithConvertingFirst) {
    const char* pieces[] = {"{",
                            "}",
                            "[",
                            "]",
                            ",",
                            ":",
                            "\"key\"",
                            "\"k\xC3\xA9y\"",
                            "1",
                            "-2.5e3",
                            "true",
                            "null",
                            " ",
                            "\"\\u00E9\"",
                            "\xC3\xA9",
                            "\xF0\x9F\x93\xBB",
                            "\xED\xA0\x80",
                            "\xC0\xAF",
                            "\xFF",
                            "\x80",
                            "\xE2\x82",
                            "\"",
                            "\\",
                            "\0",
                            "\"plain text with / and spaces\""};
    std::mt19937 random(99);
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        int n = static_cast<int>(random() % 12);
        for (int i = 0; i < n; ++i) {
            const char* piece = pieces[random() % std::size(pieces)];
            text.append(piece, *piece == '\0' ? 1 : std::strlen(piece));
        }
        Value direct;
        Value converted;
        bool ok_direct = JSON::ParseText(text, direct);
        bool ok_converted = JSON::ParseText(Utf8ToWide(text), converted);
        ASSERT_EQ(ok_direct, ok_converted) << testing::PrintToString(text);
        if (ok_direct) {
            ++parsed;
            ASSERT_TRUE(JSON::Equal(direct, converted)) << testing::PrintToString(text);
        }
    }
    EXPECT_GT(parsed, 1000);
}

}  // namespace
