#include "protocol/msg_fields.h"

#include <cstdint>
#include <limits>

namespace Network::fields {

std::uint32_t OptionalUInt32(const JSON::Value& in, std::wstring_view key) {
    const JSON::Value* v = in.FindItem(key);
    if (v == nullptr || v->GetType() != JSON::kInteger) {
        return 0;
    }
    if (v->integer < 0 || v->integer > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max())) {
        return 0;
    }
    return static_cast<std::uint32_t>(v->integer);
}

const std::wstring* OptionalString(const JSON::Value& in, std::wstring_view key) {
    const JSON::Value* v = in.FindItem(key);
    if (v == nullptr || v->GetType() != JSON::kString) {
        return nullptr;
    }
    return &v->string;
}

void ReadIntList(const JSON::Value& in, std::wstring_view key, std::vector<std::int32_t>& out) {
    out.clear();
    const JSON::Value* list = in.FindItem(key);
    if (list == nullptr || list->GetType() != JSON::kArray) {
        return;
    }
    for (const JSON::Value& element : list->array) {
        if (element.GetType() != JSON::kInteger ||
            element.integer < std::numeric_limits<std::int32_t>::min() ||
            element.integer > std::numeric_limits<std::int32_t>::max()) {
            return;
        }
        out.push_back(static_cast<std::int32_t>(element.integer));
    }
}

void ReadStringList(const JSON::Value& in, std::wstring_view key, std::vector<std::wstring>& out) {
    out.clear();
    const JSON::Value* list = in.FindItem(key);
    if (list == nullptr || list->GetType() != JSON::kArray) {
        return;
    }
    for (const JSON::Value& element : list->array) {
        if (element.GetType() != JSON::kString) {
            return;
        }
        out.push_back(element.string);
    }
}

void WriteIntList(JSON::Value& out, std::wstring_view key, const std::vector<std::int32_t>& values) {
    JSON::Value& list = out[key];
    list.ClearArray();
    list.ResizeArray(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        list.array[i].SetInt(values[i]);
    }
}

void WriteStringList(JSON::Value& out, std::wstring_view key, const std::vector<std::wstring>& values) {
    JSON::Value& list = out[key];
    list.ClearArray();
    list.ResizeArray(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        list.array[i].SetString(values[i]);
    }
}

}  // namespace Network::fields
