// Nesting has no limit: parsing, printing, copying, comparing and destroying a value never recurse, so
// a megabyte of brackets must pass without overflowing the stack (which holds about 1 MB on Windows).

#include <gtest/gtest.h>

#include <string>

#include "json/parser.h"
#include "json/writer.h"

namespace {

using JSON::Value;

constexpr size_t kMegabyte = 1 << 20;

TEST(JsonDeepNesting, MegabyteOfNestedArraysParsesPrintsCopiesAndDestroys) {
    const size_t depth = kMegabyte / 2;
    std::wstring text(depth, L'[');
    text.append(depth, L']');

    auto parsed = std::make_unique<Value>();
    ASSERT_TRUE(JSON::ParseText(text, *parsed));

    // The innermost array is empty, every other one holds exactly one array.
    const Value* v = parsed.get();
    size_t levels = 1;
    while (!v->array.empty()) {
        ASSERT_EQ(v->array.size(), 1u);
        v = &v->array[0];
        ++levels;
    }
    EXPECT_EQ(levels, depth);
    EXPECT_EQ(v->type, JSON::kArray);

    EXPECT_EQ(JSON::GenerateText(*parsed), text);

    auto copy = std::make_unique<Value>(*parsed);
    EXPECT_TRUE(JSON::Equal(*copy, *parsed));
    Value assigned;
    assigned = *copy;
    copy.reset();
    EXPECT_TRUE(JSON::Equal(assigned, *parsed));
    parsed.reset();

    Value moved(std::move(assigned));
    EXPECT_EQ(moved.ArraySize(), 1u);
    moved.Reset();
    EXPECT_EQ(moved.type, JSON::kUndefined);
}

TEST(JsonDeepNesting, UnclosedMegabyteFailsCleanly) {
    std::wstring text(kMegabyte, L'[');
    Value v;
    EXPECT_FALSE(JSON::ParseText(text, v));
    // What was built up to the error is released when the value is reset.
    EXPECT_EQ(v.type, JSON::kArray);
    v.SetInt(1);
    EXPECT_EQ(v.type, JSON::kInteger);
}

TEST(JsonDeepNesting, DeepObjectsAndMixedContainers) {
    const size_t depth = 200000;
    std::wstring text;
    for (size_t i = 0; i < depth; ++i) {
        text += (i % 2 == 0) ? L"{\"k\":" : L"[1,";
    }
    text += L"null";
    for (size_t i = depth; i-- > 0;) {
        text += (i % 2 == 0) ? L"}" : L"]";
    }
    Value v;
    ASSERT_TRUE(JSON::ParseText(text, v));
    EXPECT_EQ(JSON::GenerateText(v), text);
    Value copy = v;
    EXPECT_TRUE(JSON::Equal(copy, v));
    copy.ClearContent();
    EXPECT_FALSE(JSON::Equal(copy, v));
}

TEST(JsonDeepNesting, DeepValueBuiltByCode) {
    Value root;
    Value* v = &root;
    for (int i = 0; i < 500000; ++i) {
        if (i % 2 == 0) {
            // Not through operator[]: growing by index reserves room for 16 elements at each level.
            v->SetType(JSON::kArray);
            v = &v->array.emplace_back();
        } else {
            v = &(*v)[L"x"];
        }
    }
    v->SetInt(42);
    std::wstring text = JSON::GenerateText(root);
    EXPECT_EQ(text.size(), 250000u * (2 + 6) + 2);  // "[" "]" and "{\"x\":" "}" around 42
    Value parsed;
    ASSERT_TRUE(JSON::ParseText(text, parsed));
    EXPECT_TRUE(JSON::Equal(parsed, root));
    root = Value();
    EXPECT_EQ(root.type, JSON::kUndefined);
}

}  // namespace
