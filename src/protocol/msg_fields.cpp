#include "protocol/msg_fields.h"

#include <cstdint>
#include <limits>
#include <type_traits>
#include <utility>

namespace Network::fields {

namespace {

// One list element: false when it is not of the list's kind (which ends the reading).
bool Element(const JSON::Value& e, std::int32_t& out) {
    if (e.GetType() != JSON::kInteger || e.integer < std::numeric_limits<std::int32_t>::min() ||
        e.integer > std::numeric_limits<std::int32_t>::max()) {
        return false;
    }
    out = static_cast<std::int32_t>(e.integer);
    return true;
}

bool Element(const JSON::Value& e, std::wstring& out) {
    if (e.GetType() != JSON::kString) {
        return false;
    }
    out = e.string;
    return true;
}

template <class T>
void ReadAny(const JSON::Value& in, std::wstring_view key, std::vector<T>& out) {
    out.clear();
    const JSON::Value* list = in.FindItem(key);
    if (list == nullptr || list->GetType() != JSON::kArray) {
        return;
    }
    for (const JSON::Value& element : list->array) {
        T value{};
        if (!Element(element, value)) {
            return;
        }
        out.push_back(std::move(value));
    }
}

template <class T>
void WriteAny(JSON::Value& out, std::wstring_view key, const std::vector<T>& values) {
    JSON::Value& list = out[key];
    list.ClearArray();
    list.ResizeArray(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        if constexpr (std::is_same_v<T, std::wstring>) {
            list.array[i].SetString(values[i]);
        } else {
            list.array[i].SetInt(values[i]);
        }
    }
}

}  // namespace

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

void ReadList(const JSON::Value& in, std::wstring_view key, std::vector<std::int32_t>& out) {
    ReadAny(in, key, out);
}

void ReadList(const JSON::Value& in, std::wstring_view key, std::vector<std::wstring>& out) {
    ReadAny(in, key, out);
}

void WriteList(JSON::Value& out, std::wstring_view key, const std::vector<std::int32_t>& values) {
    WriteAny(out, key, values);
}

void WriteList(JSON::Value& out, std::wstring_view key, const std::vector<std::wstring>& values) {
    WriteAny(out, key, values);
}

}  // namespace Network::fields
