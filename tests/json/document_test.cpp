// Whole documents: UTF-8 text, files, and the same bytes on every platform.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "json/parser.h"
#include "json/writer.h"
#include "platform/utf8.h"
#include "temp_folder.h"

namespace {

using JSON::Value;

TEST(JsonDocument, Utf8TextParsesAndInvalidUtf8AnywhereFails) {
    Value v;
    ASSERT_TRUE(JSON::ParseText(std::string("\xEF\xBB\xBF{\"name\":\"caf\xC3\xA9\"}"), v));
    EXPECT_EQ(v[L"name"].GetString(), L"caf\u00e9");
    EXPECT_FALSE(JSON::ParseText(std::string("{} \xFF"), v)) << "even behind a complete value";
    EXPECT_FALSE(JSON::ParseText(std::string("\"\xC3\""), v));
}

// A character above U+FFFF gives the same UTF-8 bytes on every platform, whether it came as UTF-8 or as
// two escapes.
TEST(JsonDocument, SurrogatePairsGiveTheSameUtf8Everywhere) {
    const std::string utf8 = "{\"radio \xF0\x9F\x93\xBB\":\"\xF4\x8F\xBF\xBF\"}";
    Value from_utf8, from_escapes;
    ASSERT_TRUE(JSON::ParseText(utf8, from_utf8));
    ASSERT_TRUE(JSON::ParseText(L"{\"radio \\uD83D\\uDCFB\":\"\\uDBFF\\uDFFF\"}", from_escapes));
    EXPECT_TRUE(JSON::Equal(from_utf8, from_escapes));
    EXPECT_EQ(WideToUtf8(JSON::GenerateText(from_escapes)), utf8);
}

TEST(JsonDocument, FilesAreReadAsUtf8WithOrWithoutByteOrderMark) {
    testing_support::TempFolder dir;
    const auto write = [&dir](const std::filesystem::path& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return dir / name;
    };
    Value v;
    ASSERT_TRUE(JSON::ParseFile(write(u8"r\u00e9glages.json", "\xEF\xBB\xBF{\"LoggingLevel\":3}\n"), v));
    EXPECT_EQ(v[L"LoggingLevel"].GetInt32(), 3);
    for (const char* bad : {"", "{\"a\":\"\xE9\"}", "{\"a\":", "\xEF\xBB\xBF"}) {
        EXPECT_FALSE(JSON::ParseFile(write("bad.json", bad), v)) << testing::PrintToString(std::string(bad));
    }
    EXPECT_FALSE(JSON::ParseFile(dir / "missing.json", v));
}

}  // namespace
