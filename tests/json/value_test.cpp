#include "json/value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using JSON::Value;

// The message of the JSON::Exception `action` throws ("" when none is thrown).
std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const JSON::Exception& e) {
        return e.what();
    }
    return "";
}

Value Int(std::int64_t i) {
    Value v;
    v.SetInt(i);
    return v;
}

Value Str(const wchar_t* s) {
    Value v;
    v.SetString(s);
    return v;
}

TEST(JsonValue, MisusesThrowTheirOwnText) {
    Value object;
    object[L"a"][L"n"].SetInt(1);
    Value array;
    array[1].SetInt(20);
    Value empty_object;
    empty_object.SetType(JSON::kObject);
    const Value &o = object, &a = array, &e = empty_object, &s = Str(L"abc");
    const struct {
        std::function<void()> action;
        const char* message;
    } kCases[] = {
        {[] { Value().GetInt32(); }, "access 'int' value for object with another type"},
        {[] { Value().GetString(); }, "access 'wstring' value for non-string object"},
        {[&] { s.GetBool(); }, "access numeric value for object with another type"},
        {[] { Str(L"1").GetDouble(); }, "access 'double' value for object with another type"},
        {[&] { a.GetInt64(); }, "access 'int64_t' value for object with another type"},
        {[] { Int(32768).GetInt16(); }, "overflow 'int16_t' value"},
        {[] { Int(-32769).GetInt16(); }, "overflow 'int16_t' value"},
        {[] { Int(std::int64_t{INT32_MAX} + 1).GetInt32(); }, "overflow 'int32_t' value"},
        {[] { Int(65536).GetUInt16(); }, "overflow 'uint16_t' value"},
        {[] { Int(-1).GetUInt32(); }, "overflow 'uint32_t' value"},
        {[&] { a[2]; }, "index out of array bounds in array[] element access"},
        {[&] { a[-1]; }, "access array[] element with negative index"},
        {[&] { s[-1]; }, "access array[] element with negative index"},  // before the wrong kind
        {[&] { s[0]; }, "access array[] element for non-array object"},
        {[&] { o[L"c"]; }, "key not found in object{} for item access"},
        {[&] { e[L"a"]; }, "access item in empty object{}"},
        {[] { Str(L"x")[L"k"]; }, "access object{} item for non-object object"},
        {[&] { o.FindPath(L"a/", L'/'); }, "invalid key"},
        {[&] { o.FindPath(L"a/n/x", L'/'); }, "access object{} item for non-object object"},
        {[&] { Value(a).SetType(JSON::kObject); },
         "invalid set type attempt; object already has another type"},
        {[] { Str(L"x").ClearArray(); }, "invalid clear array attempt; object is not an array"},
        {[] { Str(L"x").DeleteItem(L"a"); }, "attempt to delete subobject{} for non-object"},
        {[&] { Value(a).DeleteElement(2); }, "index out of array bounds in array delete element"},
        {[] { Int(1).ClearContent(); }, "attempt to delete all content; must be object/array/string"},
    };
    for (const auto& c : kCases) {
        EXPECT_EQ(MessageOf(c.action), c.message);
    }
    EXPECT_EQ(e.FindItem(L"a"), nullptr);
    EXPECT_EQ(std::string(JSON::Exception(std::string(300, 'x').c_str()).what()).size(), 255u);
}

TEST(JsonValue, ReadersTakeWhatFitsTheirType) {
    EXPECT_EQ(Int(-32768).GetInt16(), -32768);
    EXPECT_EQ(Int(65535).GetUInt16(), 65535);
    EXPECT_EQ(Int(4294967295).GetUInt32(), 4294967295u);
    EXPECT_EQ(Int(-1).GetUInt64(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(Int(INT64_MIN).GetInt64(), INT64_MIN);
    Value v;
    v.SetLiteral(JSON::kNull);
    EXPECT_FALSE(v.GetBool());
    v.SetBool(true);
    EXPECT_TRUE(v.GetBool());
    EXPECT_TRUE(Int(5).GetBool());
}

TEST(JsonValue, WritersGrowArraysAndObjectsAndResetOtherKinds) {
    Value v;
    v[3];
    ASSERT_EQ(v.ArraySize(), 4u);
    EXPECT_EQ(v[0].type, JSON::kUndefined);
    Value s = Str(L"text");
    s.SetInt(7);
    EXPECT_TRUE(s.type == JSON::kInteger && s.string.empty());
    Value o;
    o.GetPath(L"a/b/c", L'/').SetInt(1);
    o[L"a"][L"x"].SetInt(2);
    o[L"z"].SetInt(3);
    EXPECT_EQ(o.FindPath(L"a.b.c", L'.')->GetInt32(), 1);
    EXPECT_EQ(o.FindPath(L"a/q", L'/'), nullptr);
    EXPECT_TRUE(o.DeletePath(L"a/b", L'/'));
    EXPECT_FALSE(o.DeletePath(L"a/b", L'/'));
    EXPECT_TRUE(o.DeleteItem(L"z"));
    std::vector<std::wstring> keys;
    o[L"a"].ForEachItem([&](const std::wstring& key, const Value&) { keys.push_back(key); });
    EXPECT_EQ(keys, std::vector<std::wstring>{L"x"});
    v.DeleteElement(0);
    EXPECT_EQ(v.ArraySize(), 3u);
}

TEST(JsonValue, KeysAreOrderedByCodeUnit) {
    Value o;
    const std::wstring high(1, static_cast<wchar_t>(0xD83D));  // a high surrogate sorts below U+E000
    const std::wstring private_use(1, static_cast<wchar_t>(0xE000));
    for (const std::wstring& key : {private_use, high, std::wstring(L"z"), std::wstring(L"B")}) {
        o[key].SetInt(1);
    }
    std::vector<std::wstring> keys;
    o.ForEachItem([&](const std::wstring& key, const Value&) { keys.push_back(key); });
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"B", L"z", high, private_use}));
}

TEST(JsonValue, CopiesAreDeepAndAPartMayBeAssignedToItsWhole) {
    Value original;
    original[L"list"][0].SetString(L"x");
    original[L"list"][1][L"n"].SetInt(5);
    Value copy(original);
    copy[L"list"][1][L"n"].SetInt(6);
    EXPECT_EQ(original[L"list"][1][L"n"].GetInt32(), 5);
    EXPECT_FALSE(JSON::Equal(copy, original));
    Value self = original;
    self = self[L"list"];
    EXPECT_EQ(self[1][L"n"].GetInt32(), 5);
    Value inner = original;
    inner = std::move(inner[L"list"][1]);
    EXPECT_EQ(inner[L"n"].GetInt32(), 5);
    Value zero, negative_zero;
    zero.SetDouble(0.0);
    negative_zero.SetDouble(-0.0);
    EXPECT_FALSE(JSON::Equal(zero, negative_zero));
}

}  // namespace
