// Reading and writing message fields: the shared rules for optional keys and lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "json/value.h"

namespace Network::fields {

// An optional unsigned 32-bit key: absent, not an Integer or outside 0..4294967295 gives 0.
std::uint32_t OptionalUInt32(const JSON::Value& in, std::wstring_view key);

// An optional String key; null when absent or not a String.
const std::wstring* OptionalString(const JSON::Value& in, std::wstring_view key);

// Integer list: `out` is emptied; when `key` holds an Array, its elements are appended in order up to the
// first one that is not an Integer in the signed 32-bit range. Never fails.
void ReadIntList(const JSON::Value& in, std::wstring_view key, std::vector<std::int32_t>& out);
// String list: the same for Strings.
void ReadStringList(const JSON::Value& in, std::wstring_view key, std::vector<std::wstring>& out);

// Writes `values` as the Array `key` (an empty vector gives []).
void WriteIntList(JSON::Value& out, std::wstring_view key, const std::vector<std::int32_t>& values);
void WriteStringList(JSON::Value& out, std::wstring_view key, const std::vector<std::wstring>& values);

}  // namespace Network::fields
