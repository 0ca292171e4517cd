// Parsed text nests at most JSON::kMaxNesting levels, so that no text costs memory out of proportion to
// its size. Values built by code may nest deeper: printing, copying, comparing and destroying a value
// never recurse, so a quarter million levels must pass without overflowing the stack (about 1 MB on
// Windows).

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "json/parser.h"
#include "json/writer.h"

namespace {

using JSON::Value;

TEST(JsonDeepNesting, ParsedTextNestsAtMostTheBoundAndBuiltValuesAnyDepth) {
    std::wstring atBound = L"0";
    for (std::size_t i = 0; i < JSON::kMaxNesting / 2; ++i) {
        atBound = L"[{\"k\":" + atBound + L"}]";
    }
    Value parsed;
    ASSERT_TRUE(JSON::ParseText(atBound, parsed));
    EXPECT_EQ(JSON::GenerateText(parsed), atBound);
    EXPECT_FALSE(JSON::ParseText(std::string(4 << 20, '['), parsed)) << "4 MB of brackets";

    // A quarter million arrays made by code.
    auto built = std::make_unique<Value>();
    Value* inner = built.get();
    for (int i = 0; i < (1 << 18); ++i) {
        inner->SetType(JSON::kArray);
        inner = &inner->array.emplace_back();
    }
    inner->SetInt(1);
    EXPECT_EQ(JSON::GenerateText(*built), std::wstring(1 << 18, L'[') + L"1" + std::wstring(1 << 18, L']'));
    auto copy = std::make_unique<Value>(*built);
    EXPECT_TRUE(JSON::Equal(*copy, *built));
    copy.reset();
    built.reset();
}

}  // namespace
