#include "json/value.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using JSON::Value;

// Runs `action` and returns the message of the JSON::Exception it throws ("" when none is thrown).
template <typename F>
std::string MessageOf(F&& action) {
    try {
        action();
    } catch (const JSON::Exception& e) {
        return e.what();
    }
    return "";
}

Value Int(int64_t i) {
    Value v;
    v.SetInt(i);
    return v;
}

Value Str(const wchar_t* s) {
    Value v;
    v.SetString(s);
    return v;
}

TEST(JsonException, KeepsMessageAndCutsItAt255Characters) {
    JSON::Exception short_message("key not found");
    EXPECT_STREQ(short_message.what(), "key not found");

    std::string long_message(300, 'x');
    long_message[254] = 'A';
    long_message[255] = 'B';
    JSON::Exception cut(long_message.c_str());
    std::string what = cut.what();
    EXPECT_EQ(what.size(), 255u);
    EXPECT_EQ(what.back(), 'A');

    // Thrown by value and caught as std::exception.
    try {
        throw JSON::Exception("abc");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "abc");
    }
}

TEST(JsonValue, FreshValueIsUndefinedAndEveryReaderRefusesIt) {
    const Value v;
    EXPECT_EQ(v.GetType(), JSON::kUndefined);
    EXPECT_EQ(MessageOf([&] { v.GetBool(); }), "access numeric value for object with another type");
    EXPECT_EQ(MessageOf([&] { v.GetInt16(); }), "access 'int' value for object with another type");
    EXPECT_EQ(MessageOf([&] { v.GetInt32(); }), "access 'int' value for object with another type");
    EXPECT_EQ(MessageOf([&] { v.GetInt64(); }), "access 'int64_t' value for object with another type");
    EXPECT_EQ(MessageOf([&] { v.GetUInt16(); }), "access 'unsigned int' value for object with another type");
    EXPECT_EQ(MessageOf([&] { v.GetUInt32(); }), "access 'unsigned int' value for object with another type");
    EXPECT_EQ(MessageOf([&] { v.GetUInt64(); }), "access 'uint64_t' value for object with another type");
    EXPECT_EQ(MessageOf([&] { v.GetDouble(); }), "access 'double' value for object with another type");
    EXPECT_EQ(MessageOf([&] { v.GetFloat(); }), "access 'double' value for object with another type");
    EXPECT_EQ(MessageOf([&] { v.GetString(); }), "access 'wstring' value for non-string object");
    EXPECT_EQ(MessageOf([&] { v.ArraySize(); }), "access array[] size for non-array object");
    EXPECT_EQ(MessageOf([&] { v.ObjectSize(); }), "access object{} size for non-object object");
    EXPECT_EQ(MessageOf([&] { v.GetMap(); }), "map access for a non-map object");
    EXPECT_EQ(MessageOf([&] { v.ForEachItem([](const std::wstring&, const Value&) {}); }),
              "enumerate object{} items for non-object object");
    EXPECT_EQ(MessageOf([&] { v.FindItem(L"a"); }), "access object{} item for non-object object");
    EXPECT_EQ(MessageOf([&] { v[L"a"]; }), "access object{} item for non-object object");
    EXPECT_EQ(MessageOf([&] { v[0]; }), "access array[] element for non-array object");
}

TEST(JsonValue, GetBoolByKind) {
    Value v;
    v.SetLiteral(JSON::kNull);
    EXPECT_FALSE(v.GetBool());
    v.SetBool(false);
    EXPECT_EQ(v.literal, JSON::kFalse);
    EXPECT_FALSE(v.GetBool());
    v.SetBool(true);
    EXPECT_EQ(v.literal, JSON::kTrue);
    EXPECT_TRUE(v.GetBool());
    EXPECT_TRUE(Int(5).GetBool());
    EXPECT_FALSE(Int(0).GetBool());
    v.SetDouble(0.0);
    EXPECT_FALSE(v.GetBool());
    v.SetDouble(-0.25);
    EXPECT_TRUE(v.GetBool());
    EXPECT_EQ(MessageOf([] { Str(L"true").GetBool(); }), "access numeric value for object with another type");
}

TEST(JsonValue, IntegerReadersCheckTheirRanges) {
    EXPECT_EQ(Int(-32768).GetInt16(), -32768);
    EXPECT_EQ(Int(32767).GetInt16(), 32767);
    EXPECT_EQ(MessageOf([] { Int(32768).GetInt16(); }), "overflow 'int16_t' value");
    EXPECT_EQ(MessageOf([] { Int(-32769).GetInt16(); }), "overflow 'int16_t' value");

    EXPECT_EQ(Int(INT32_MIN).GetInt32(), INT32_MIN);
    EXPECT_EQ(Int(INT32_MAX).GetInt32(), INT32_MAX);
    EXPECT_EQ(MessageOf([] { Int(int64_t{INT32_MAX} + 1).GetInt32(); }), "overflow 'int32_t' value");
    EXPECT_EQ(MessageOf([] { Int(int64_t{INT32_MIN} - 1).GetInt32(); }), "overflow 'int32_t' value");

    EXPECT_EQ(Int(65535).GetUInt16(), 65535);
    EXPECT_EQ(MessageOf([] { Int(65536).GetUInt16(); }), "overflow 'uint16_t' value");
    EXPECT_EQ(MessageOf([] { Int(-1).GetUInt16(); }), "overflow 'uint16_t' value");

    EXPECT_EQ(Int(4294967295).GetUInt32(), 4294967295u);
    EXPECT_EQ(MessageOf([] { Int(4294967296).GetUInt32(); }), "overflow 'uint32_t' value");
    EXPECT_EQ(MessageOf([] { Int(-1).GetUInt32(); }), "overflow 'uint32_t' value");

    EXPECT_EQ(Int(-1).GetUInt64(), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(Int(INT64_MIN).GetInt64(), INT64_MIN);

    // Integers only: a Double is not read as an integer.
    Value d;
    d.SetDouble(3.0);
    EXPECT_EQ(MessageOf([&] { d.GetInt32(); }), "access 'int' value for object with another type");
}

TEST(JsonValue, DoubleAndFloatReaders) {
    EXPECT_EQ(Int(-7).GetDouble(), -7.0);
    EXPECT_EQ(Int(INT64_MAX).GetDouble(), 9223372036854775807.0);
    Value v;
    v.SetDouble(0.1);
    EXPECT_EQ(v.GetDouble(), 0.1);
    EXPECT_EQ(v.GetFloat(), 0.1f);
    v.SetDouble(1e300);
    EXPECT_EQ(v.GetFloat(), std::numeric_limits<float>::infinity());
    v.SetDouble(-1e300);
    EXPECT_EQ(v.GetFloat(), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(MessageOf([] { Str(L"1").GetDouble(); }), "access 'double' value for object with another type");
}

TEST(JsonValue, StringReaders) {
    Value v = Str(L"h\u00e9");
    EXPECT_EQ(v.GetString(), L"h\u00e9");
    std::wstring copy = L"old";
    v.GetString(copy);
    EXPECT_EQ(copy, L"h\u00e9");
    EXPECT_EQ(MessageOf([&] { Int(1).GetString(copy); }), "access 'wstring' value for non-string object");
    EXPECT_EQ(copy, L"h\u00e9");
}

TEST(JsonValue, ReadOnlyIndexChecksNegativeFirstThenKindThenBounds) {
    Value array;
    array[1].SetInt(20);
    array[0].SetInt(10);
    const Value& a = array;
    EXPECT_EQ(a.ArraySize(), 2u);
    EXPECT_EQ(a[int64_t{0}].GetInt64(), 10);
    EXPECT_EQ(a[int32_t{1}].GetInt64(), 20);
    EXPECT_EQ(a[int16_t{1}].GetInt64(), 20);
    EXPECT_EQ(a[uint32_t{0}].GetInt64(), 10);
    EXPECT_EQ(a[uint16_t{1}].GetInt64(), 20);
    EXPECT_EQ(MessageOf([&] { a[2]; }), "index out of array bounds in array[] element access");
    EXPECT_EQ(MessageOf([&] { a[uint32_t{7}]; }), "index out of array bounds in array[] element access");
    EXPECT_EQ(MessageOf([&] { a[-1]; }), "access array[] element with negative index");
    EXPECT_EQ(MessageOf([&] { a[int16_t{-3}]; }), "access array[] element with negative index");

    const Value text = Str(L"abc");
    // The negative index is reported before the wrong kind.
    EXPECT_EQ(MessageOf([&] { text[-1]; }), "access array[] element with negative index");
    EXPECT_EQ(MessageOf([&] { text[0]; }), "access array[] element for non-array object");
}

TEST(JsonValue, ReadOnlyKeyAccess) {
    Value object;
    object[L"b"].SetInt(2);
    object[std::wstring(L"a")].SetInt(1);
    const Value& o = object;
    EXPECT_EQ(o.ObjectSize(), 2u);
    EXPECT_EQ(o[L"a"].GetInt32(), 1);
    EXPECT_EQ(o[std::wstring_view(L"b")].GetInt32(), 2);
    EXPECT_EQ(o[std::wstring(L"b")].GetInt32(), 2);
    EXPECT_EQ(MessageOf([&] { o[L"c"]; }), "key not found in object{} for item access");

    Value empty;
    empty.SetType(JSON::kObject);
    const Value& e = empty;
    EXPECT_EQ(e.FindItem(L"a"), nullptr);
    EXPECT_EQ(MessageOf([&] { e[L"a"]; }), "access item in empty object{}");

    ASSERT_NE(o.FindItem(L"b"), nullptr);
    EXPECT_EQ(o.FindItem(L"b")->GetInt32(), 2);
    EXPECT_EQ(o.FindItem(L"B"), nullptr);
    EXPECT_EQ(MessageOf([] { Int(1).FindItem(L"a"); }), "access object{} item for non-object object");
}

TEST(JsonValue, FindPathWalksNestedObjects) {
    Value root;
    root[L"net"][L"udp"][L"port"].SetInt(15001);
    root[L"net"][L"name"].SetString(L"x");
    root[L""][L"k"].SetInt(3);
    const Value& r = root;

    ASSERT_NE(r.FindPath(L"net/udp/port", L'/'), nullptr);
    EXPECT_EQ(r.FindPath(L"net/udp/port", L'/')->GetInt32(), 15001);
    EXPECT_EQ(r.FindPath(L"net.udp.port", L'.')->GetInt32(), 15001);
    EXPECT_EQ(r.FindPath(L"net", L'/'), &r[L"net"]);
    EXPECT_EQ(r.FindPath(L"net/tcp/port", L'/'), nullptr);
    EXPECT_EQ(r.FindPath(L"nope", L'/'), nullptr);
}

TEST(JsonValue, FindPathMisuse) {
    Value root;
    root[L"a"][L"n"].SetInt(1);
    root[L""][L"k"].SetInt(3);
    const Value& r = root;
    // An empty part names the empty key.
    EXPECT_EQ(r.FindPath(L"/k", L'/')->GetInt32(), 3);
    EXPECT_EQ(MessageOf([&] { r.FindPath(L"", L'/'); }), "invalid key");
    EXPECT_EQ(MessageOf([&] { r.FindPath(L"a/", L'/'); }), "invalid key");
    EXPECT_EQ(MessageOf([&] { r.FindPath(L"a/n/x", L'/'); }), "access object{} item for non-object object");
}

TEST(JsonValue, GetMapAndForEachItemGoInKeyOrder) {
    Value o;
    o[L"b"].SetInt(2);
    o[L"a"].SetInt(1);
    o[L"B"].SetInt(0);
    JSON::ObjectMap map = o.GetMap();
    map[L"a"].SetInt(100);  // a copy: the value itself is untouched
    EXPECT_EQ(o[L"a"].GetInt32(), 1);

    std::vector<std::wstring> keys;
    int64_t sum = 0;
    o.ForEachItem([&](const std::wstring& key, const Value& value) {
        keys.push_back(key);
        sum += value.GetInt64();
    });
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"B", L"a", L"b"}));
    EXPECT_EQ(sum, 3);
}

TEST(JsonValue, KeysAreOrderedByCodeUnit) {
    Value o;
    std::wstring high(1, static_cast<wchar_t>(0xD83D));  // a high surrogate sorts below U+E000
    std::wstring private_use(1, static_cast<wchar_t>(0xE000));
    o[private_use].SetInt(1);
    o[high].SetInt(2);
    o[L"z"].SetInt(3);
    std::vector<std::wstring> keys;
    o.ForEachItem([&](const std::wstring& key, const Value&) { keys.push_back(key); });
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"z", high, private_use}));
}

TEST(JsonValue, SetLiteralKeepsMembersOnlyForUndefinedOrLiteral) {
    Value v;
    v.string = L"kept";
    v.SetLiteral(JSON::kTrue);
    EXPECT_EQ(v.type, JSON::kLiteral);
    EXPECT_EQ(v.literal, JSON::kTrue);
    EXPECT_EQ(v.string, L"kept");

    Value s = Str(L"gone");
    s.SetLiteral(JSON::kNull);
    EXPECT_EQ(s.type, JSON::kLiteral);
    EXPECT_EQ(s.literal, JSON::kNull);
    EXPECT_TRUE(s.string.empty());
}

TEST(JsonValue, SettersResetAnotherKind) {
    Value v = Str(L"text");
    v.SetInt(7);
    EXPECT_EQ(v.type, JSON::kInteger);
    EXPECT_EQ(v.integer, 7);
    EXPECT_TRUE(v.string.empty());

    Value o;
    o[L"a"].SetInt(1);
    o.SetDouble(2.5);
    EXPECT_EQ(o.type, JSON::kDouble);
    EXPECT_TRUE(o.object.empty());
    EXPECT_EQ(o.number, 2.5);

    o.SetString(std::wstring(L"s"));
    EXPECT_EQ(o.type, JSON::kString);
    EXPECT_EQ(o.number, 0.0);
    EXPECT_EQ(o.GetString(), L"s");

    o.SetInt(uint64_t{0xFFFFFFFFFFFFFFFFull});
    EXPECT_EQ(o.GetInt64(), -1);
    EXPECT_EQ(o.GetUInt64(), 0xFFFFFFFFFFFFFFFFull);
    o.SetInt(uint32_t{4000000000u});
    EXPECT_EQ(o.GetInt64(), 4000000000);
    o.SetInt(int16_t{-5});
    EXPECT_EQ(o.GetInt16(), -5);
    o.SetInt(uint16_t{65535});
    EXPECT_EQ(o.GetUInt16(), 65535);
    o.Reset();
    EXPECT_EQ(o.type, JSON::kUndefined);
    EXPECT_EQ(o.integer, 0);
}

TEST(JsonValue, SetType) {
    Value v;
    v.string = L"leftover";
    v.SetType(JSON::kArray);
    EXPECT_EQ(v.type, JSON::kArray);
    EXPECT_TRUE(v.string.empty());
    v.SetType(JSON::kArray);  // same kind: nothing
    EXPECT_EQ(MessageOf([&] { v.SetType(JSON::kObject); }),
              "invalid set type attempt; object already has another type");
    EXPECT_EQ(v.type, JSON::kArray);
}

TEST(JsonValue, ClearAndResizeArray) {
    Value v;
    v.ClearArray();
    EXPECT_EQ(v.type, JSON::kArray);
    EXPECT_EQ(v.ArraySize(), 0u);

    v.ResizeArray(3, JSON::kObject);
    ASSERT_EQ(v.ArraySize(), 3u);
    for (const Value& e : v.array) {
        EXPECT_EQ(e.type, JSON::kObject);
    }
    // Capacity for the next multiple of 16 above the requested size.
    EXPECT_EQ(v.array.capacity(), 16u);
    v.ResizeArray(17);
    EXPECT_EQ(v.array.capacity(), 32u);
    EXPECT_EQ(v.array[16].type, JSON::kUndefined);
    EXPECT_EQ(v.array[0].type, JSON::kObject);
    v.ResizeArray(1);
    EXPECT_EQ(v.ArraySize(), 1u);
    v.ClearArray();
    EXPECT_EQ(v.ArraySize(), 0u);

    Value s = Str(L"x");
    EXPECT_EQ(MessageOf([&] { s.ClearArray(); }), "invalid clear array attempt; object is not an array");
    EXPECT_EQ(MessageOf([&] { s.ResizeArray(2); }),
              "invalid set type attempt; object already has another type");
    EXPECT_EQ(s.GetString(), L"x");
}

TEST(JsonValue, ModifiableIndexGrowsAnArray) {
    Value v;
    v[3];
    EXPECT_EQ(v.type, JSON::kArray);
    ASSERT_EQ(v.ArraySize(), 4u);
    for (const Value& e : v.array) {
        EXPECT_EQ(e.type, JSON::kUndefined);
    }
    v[uint32_t{5}].SetInt(5);
    EXPECT_EQ(v.ArraySize(), 6u);
    EXPECT_EQ(v[size_t{5}].GetInt32(), 5);
    EXPECT_EQ(MessageOf([&] { v[-1]; }), "access array[] element with negative index");

    Value s = Str(L"x");
    EXPECT_EQ(MessageOf([&] { s[0]; }), "access array[] element for non-array object");
    EXPECT_EQ(MessageOf([&] { s[int64_t{-2}]; }), "access array[] element with negative index");
}

TEST(JsonValue, ModifiableKeyInsertsIntoAnObject) {
    Value v;
    v[L"b"].SetInt(1);
    EXPECT_EQ(v.type, JSON::kObject);
    v[std::wstring_view(L"a")];
    EXPECT_EQ(v.ObjectSize(), 2u);
    EXPECT_EQ(v[L"a"].type, JSON::kUndefined);
    EXPECT_EQ(v[L"b"].GetInt32(), 1);  // existing item found, not replaced

    Value s = Str(L"x");
    EXPECT_EQ(MessageOf([&] { s[L"k"]; }), "access object{} item for non-object object");
    EXPECT_EQ(s.GetString(), L"x");
}

TEST(JsonValue, GetPathCreatesMissingObjects) {
    Value v;
    v.GetPath(L"a/b/c", L'/').SetInt(1);
    EXPECT_EQ(v[L"a"][L"b"][L"c"].GetInt32(), 1);
    v.GetPath(L"a/x", L'/').SetInt(2);
    EXPECT_EQ(v[L"a"].ObjectSize(), 2u);
    EXPECT_EQ(&v.GetPath(L"a/b/c", L'/'), &v[L"a"][L"b"][L"c"]);

    Value fresh;
    EXPECT_EQ(MessageOf([&] { fresh.GetPath(L"a/b/", L'/'); }), "invalid key");
    EXPECT_EQ(fresh.type, JSON::kUndefined) << "a refused path creates nothing";
    EXPECT_EQ(MessageOf([&] { v.GetPath(L"a/b/c/d", L'/'); }), "access object{} item for non-object object");
}

TEST(JsonValue, DeleteItemAndPath) {
    Value v;
    EXPECT_FALSE(v.DeleteItem(L"a"));
    EXPECT_EQ(v.type, JSON::kObject);
    EXPECT_EQ(v.ObjectSize(), 0u);

    v[L"a"][L"b"].SetInt(1);
    v[L"a"][L"c"].SetInt(2);
    v[L"z"].SetInt(3);
    EXPECT_FALSE(v.DeletePath(L"a/x", L'/'));
    EXPECT_FALSE(v.DeletePath(L"q/b", L'/'));
    EXPECT_TRUE(v.DeletePath(L"a/b", L'/'));
    EXPECT_EQ(v[L"a"].ObjectSize(), 1u);
    EXPECT_TRUE(v.DeleteItem(L"z"));
    EXPECT_FALSE(v.DeleteItem(L"z"));
    EXPECT_EQ(v.ObjectSize(), 1u);

    Value s = Str(L"x");
    EXPECT_EQ(MessageOf([&] { s.DeleteItem(L"a"); }), "attempt to delete subobject{} for non-object");
    EXPECT_EQ(MessageOf([&] { v.DeletePath(L"a/c/d", L'/'); }),
              "attempt to delete subobject{} for non-object");
}

TEST(JsonValue, DeleteElementMovesLaterOnesUp) {
    Value v;
    for (int i = 0; i < 4; ++i) {
        v[i].SetInt(i);
    }
    v.DeleteElement(1);
    ASSERT_EQ(v.ArraySize(), 3u);
    EXPECT_EQ(v[0].GetInt32(), 0);
    EXPECT_EQ(v[1].GetInt32(), 2);
    EXPECT_EQ(v[2].GetInt32(), 3);
    EXPECT_EQ(MessageOf([&] { v.DeleteElement(3); }), "index out of array bounds in array delete element");
    EXPECT_EQ(MessageOf([] { Int(1).DeleteElement(0); }),
              "attempt to delete array element for non-array value");
}

TEST(JsonValue, ClearContentKeepsTheKind) {
    Value o;
    o[L"a"].SetInt(1);
    o.ClearContent();
    EXPECT_EQ(o.type, JSON::kObject);
    EXPECT_EQ(o.ObjectSize(), 0u);

    Value a;
    a[2].SetInt(1);
    a.ClearContent();
    EXPECT_EQ(a.type, JSON::kArray);
    EXPECT_EQ(a.ArraySize(), 0u);

    Value s = Str(L"abc");
    s.ClearContent();
    EXPECT_EQ(s.type, JSON::kString);
    EXPECT_EQ(s.GetString(), L"");

    EXPECT_EQ(MessageOf([] { Int(1).ClearContent(); }),
              "attempt to delete all content; must be object/array/string");
    EXPECT_EQ(MessageOf([] { Value().ClearContent(); }),
              "attempt to delete all content; must be object/array/string");
}

TEST(JsonValue, CopiesAreDeepAndMovesTakeEverything) {
    Value original;
    original[L"list"][0].SetString(L"x");
    original[L"list"][1][L"n"].SetInt(5);
    original[L"d"].SetDouble(1.5);

    Value copy(original);
    EXPECT_TRUE(JSON::Equal(copy, original));
    copy[L"list"][1][L"n"].SetInt(6);
    EXPECT_EQ(original[L"list"][1][L"n"].GetInt32(), 5);
    EXPECT_FALSE(JSON::Equal(copy, original));

    Value assigned;
    assigned.SetString(L"old");
    assigned = original;
    EXPECT_TRUE(JSON::Equal(assigned, original));

    Value moved(std::move(assigned));
    EXPECT_TRUE(JSON::Equal(moved, original));

    // Assigning a part of a value to the value itself.
    Value self = original;
    self = self[L"list"];
    EXPECT_EQ(self.type, JSON::kArray);
    EXPECT_EQ(self[1][L"n"].GetInt32(), 5);
    Value inner = original;
    inner = std::move(inner[L"list"][1]);
    EXPECT_EQ(inner[L"n"].GetInt32(), 5);
    EXPECT_EQ(inner.ObjectSize(), 1u);
}

TEST(JsonValue, EqualComparesKindAndContent) {
    EXPECT_TRUE(JSON::Equal(Value(), Value()));
    EXPECT_FALSE(JSON::Equal(Int(1), Value()));
    Value d1;
    d1.SetDouble(0.0);
    Value d2;
    d2.SetDouble(-0.0);
    EXPECT_FALSE(JSON::Equal(d1, d2));
    EXPECT_FALSE(JSON::Equal(Int(1), Int(2)));
    Value a;
    a[L"k"].SetInt(1);
    Value b;
    b[L"j"].SetInt(1);
    EXPECT_FALSE(JSON::Equal(a, b));
    Value one;
    one[0].SetInt(1);
    Value two;
    two[1].SetInt(1);
    EXPECT_FALSE(JSON::Equal(one, two));
}

}  // namespace
