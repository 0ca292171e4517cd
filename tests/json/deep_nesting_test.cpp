// Nesting has no limit: parsing, printing, copying, comparing and destroying a value never recurse, so
// half a million brackets must pass without overflowing the stack (which holds about 1 MB on Windows).

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "json/parser.h"
#include "json/writer.h"

namespace {

using JSON::Value;

TEST(JsonDeepNesting, QuarterMillionLevelsParsePrintCopyAndDestroy) {
    // Objects, then a quarter million arrays inside them.
    std::wstring text;
    for (int i = 0; i < 20000; ++i) {
        text += L"{\"k\":";
    }
    text += std::wstring(1 << 18, L'[') + std::wstring(1 << 18, L']') + std::wstring(20000, L'}');
    auto parsed = std::make_unique<Value>();
    ASSERT_TRUE(JSON::ParseText(text, *parsed));
    EXPECT_EQ(JSON::GenerateText(*parsed), text);
    auto copy = std::make_unique<Value>(*parsed);
    EXPECT_TRUE(JSON::Equal(*copy, *parsed));
    copy.reset();
    parsed.reset();

    Value unclosed;
    EXPECT_FALSE(JSON::ParseText(std::wstring(1 << 18, L'['), unclosed));
    unclosed.SetInt(1);  // what was built up to the error is released
    EXPECT_EQ(unclosed.type, JSON::kInteger);
}

}  // namespace
