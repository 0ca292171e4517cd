// Message fields declared once: a message (or a record inside one) lists its keys as Field entries made
// by the rules below, and both writing and reading run from that one list, so a key can never be written
// under one name and read under another.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "json/value.h"
#include "protocol/json_msg.h"

namespace Network::fields {

// The record and member type of a pointer to member.
template <auto Member>
struct MemberOf;
template <class Rec, class T, T Rec::*Member>
struct MemberOf<Member> {
    using Record = Rec;
    using Type = T;
};
template <auto Member>
using RecordOf = typename MemberOf<Member>::Record;

// An optional unsigned 32-bit key: absent, not an Integer or outside 0..4294967295 gives 0.
std::uint32_t OptionalUInt32(const JSON::Value& in, std::wstring_view key);
// An optional String key; null when absent or not a String.
const std::wstring* OptionalString(const JSON::Value& in, std::wstring_view key);
// Integer list: `out` is emptied; when `key` holds an Array, its elements are appended in order up to the
// first one that is not an Integer in the signed 32-bit range. Never fails.
void ReadList(const JSON::Value& in, std::wstring_view key, std::vector<std::int32_t>& out);
// String list: the same for Strings.
void ReadList(const JSON::Value& in, std::wstring_view key, std::vector<std::wstring>& out);
// Writes `values` as the Array `key` (an empty vector gives []).
void WriteList(JSON::Value& out, std::wstring_view key, const std::vector<std::int32_t>& values);
void WriteList(JSON::Value& out, std::wstring_view key, const std::vector<std::wstring>& values);

// Always written; required on reading (a missing key or one of the wrong kind throws). An unsigned
// 32-bit number or a text.
template <auto Member>
constexpr Field<RecordOf<Member>> Required(const wchar_t* key) {
    using Rec = RecordOf<Member>;
    return {key,
            [](const Rec& r, JSON::Value& out, const wchar_t* k) {
                if constexpr (std::is_same_v<typename MemberOf<Member>::Type, std::wstring>) {
                    out[k].SetString(r.*Member);
                } else {
                    out[k].SetInt(r.*Member);
                }
            },
            [](Rec& r, const JSON::Value& in, const wchar_t* k) {
                if constexpr (std::is_same_v<typename MemberOf<Member>::Type, std::wstring>) {
                    r.*Member = in[k].GetString();
                } else {
                    r.*Member = in[k].GetUInt32();
                }
                return true;
            }};
}

// An unsigned 32-bit number written only when not 0 and taken when the key holds an Integer (outside the
// 32-bit range throws).
template <auto Member>
constexpr Field<RecordOf<Member>> NonZero(const wchar_t* key) {
    using Rec = RecordOf<Member>;
    return {key,
            [](const Rec& r, JSON::Value& out, const wchar_t* k) {
                if (r.*Member != 0) {
                    out[k].SetInt(r.*Member);
                }
            },
            [](Rec& r, const JSON::Value& in, const wchar_t* k) {
                const JSON::Value* v = in.FindItem(k);
                if (v != nullptr && v->GetType() == JSON::kInteger) {
                    r.*Member = v->GetUInt32();
                }
                return true;
            }};
}

// A list of signed 32-bit numbers or of texts: always written, read optionally by the list rule.
template <auto Member>
constexpr Field<RecordOf<Member>> List(const wchar_t* key) {
    using Rec = RecordOf<Member>;
    return {key, [](const Rec& r, JSON::Value& out, const wchar_t* k) { WriteList(out, k, r.*Member); },
            [](Rec& r, const JSON::Value& in, const wchar_t* k) {
                ReadList(in, k, r.*Member);
                return true;
            }};
}

// A flag written as "on" or "off"; true exactly when the key is the String "on".
template <auto Member>
constexpr Field<RecordOf<Member>> OnOff(const wchar_t* key) {
    using Rec = RecordOf<Member>;
    return {key,
            [](const Rec& r, JSON::Value& out, const wchar_t* k) {
                out[k].SetString(r.*Member ? L"on" : L"off");
            },
            [](Rec& r, const JSON::Value& in, const wchar_t* k) {
                const std::wstring* text = OptionalString(in, k);
                r.*Member = text != nullptr && *text == L"on";
                return true;
            }};
}

// A number that travels as one of a few texts.
struct Choice {
    std::uint32_t value;
    const wchar_t* text;
};

// Written as the text of its value, nothing for a value without one; a String equal to one of the texts
// gives its value, anything else leaves the member.
template <auto Member, const auto& Choices>
constexpr Field<RecordOf<Member>> OneOf(const wchar_t* key) {
    using Rec = RecordOf<Member>;
    return {key,
            [](const Rec& r, JSON::Value& out, const wchar_t* k) {
                for (const Choice& c : Choices) {
                    if (c.value == r.*Member) {
                        out[k].SetString(c.text);
                    }
                }
            },
            [](Rec& r, const JSON::Value& in, const wchar_t* k) {
                if (const std::wstring* text = OptionalString(in, k)) {
                    for (const Choice& c : Choices) {
                        if (*text == c.text) {
                            r.*Member = c.value;
                        }
                    }
                }
                return true;
            }};
}

// Writes `entries` as the Array `key` of elements of `kind`, each filled by `write`; nothing when there
// are no entries.
template <class Entry, class Write>
void WriteEach(JSON::Value& out, const wchar_t* key, const std::vector<Entry>& entries, std::uint32_t kind,
               Write write) {
    if (entries.empty()) {
        return;
    }
    JSON::Value& list = out[key];
    list.ResizeArray(entries.size(), kind);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        write(entries[i], list.array[i]);
    }
}

// A list of records, each an Object of its own fields. Written when not empty; an Array replaces the
// list with one entry per element, read from the element when it is an Object and left at the defaults
// otherwise.
template <auto Member, const auto& EntryFields>
constexpr Field<RecordOf<Member>> Objects(const wchar_t* key) {
    using Rec = RecordOf<Member>;
    using Entry = typename MemberOf<Member>::Type::value_type;
    return {key,
            [](const Rec& r, JSON::Value& out, const wchar_t* k) {
                WriteEach(out, k, r.*Member, JSON::kObject, [](const Entry& entry, JSON::Value& element) {
                    WriteFields<Entry>(entry, EntryFields, element);
                });
            },
            [](Rec& r, const JSON::Value& in, const wchar_t* k) {
                const JSON::Value* list = in.FindItem(k);
                if (list == nullptr || list->GetType() != JSON::kArray) {
                    return true;
                }
                auto& entries = r.*Member;
                entries.assign(list->array.size(), Entry{});
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    if (list->array[i].GetType() == JSON::kObject) {
                        ReadFields<Entry>(entries[i], EntryFields, list->array[i]);
                    }
                }
                return true;
            }};
}

}  // namespace Network::fields
