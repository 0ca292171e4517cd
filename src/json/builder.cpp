#include <string>

#include "json/parser.h"

namespace JSON {

namespace {

// The key of the item whose value is being read, until its real key is known.
constexpr std::wstring_view kPlaceholderKey = L"temporary_key";

[[noreturn]] void Throw(const char* message) {
    throw Exception(message);
}

// Appends a character as UTF-16 code units: above U+FFFF as a surrogate pair.
inline void AppendUtf16(std::wstring& out, uint32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<wchar_t>(c));
        return;
    }
    if (c >= 0x110000) {
        Throw("illegal UTF-32 character");
    }
    c -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
}

}  // namespace

ParsingBuilder::ParsingBuilder(Value* root) : current_(root) {
    stack_.reserve(32);
    if (current_ != nullptr) {
        current_->Reset();
    }
}

void ParsingBuilder::Reset() {
    placeholderOwner_ = nullptr;
    key_.clear();
    text_.clear();
    if (!stack_.empty()) {
        current_ = stack_.front();
        stack_.clear();
    }
    if (current_ != nullptr) {
        current_->Reset();
    }
}

void ParsingBuilder::OnError(uint32_t code) {
    Throw(ParserErrorText(code));
}

Value& ParsingBuilder::Unassigned() {
    if (current_ == nullptr) {
        Throw("internal error");
    }
    if (current_->type != kUndefined) {
        Throw("value already assigned");
    }
    return *current_;
}

void ParsingBuilder::OnObjectBegin() {
    Value& v = Unassigned();
    v.SetType(kObject);
    placeholder_ = v.object.try_emplace(std::wstring(kPlaceholderKey)).first;
    placeholderOwner_ = &v;
    stack_.push_back(&v);
    current_ = &placeholder_->second;
}

void ParsingBuilder::OnObjectNextItem() {
    if (stack_.empty()) {
        Throw("stack must not be empty within object");
    }
    Value* object = stack_.back();
    if (object->type != kObject) {
        Throw("internal error");
    }
    // When the object already has an item under the placeholder key (a real key of that name), that
    // item is taken as the placeholder: its value is assigned, so the next value fails.
    placeholder_ = object->object.try_emplace(std::wstring(kPlaceholderKey)).first;
    placeholderOwner_ = object;
    current_ = &placeholder_->second;
}

void ParsingBuilder::OnKeyBegin() {
    key_.clear();
}

void ParsingBuilder::OnKeyChar(uint32_t c) {
    AppendUtf16(key_, c);
}

void ParsingBuilder::OnKeyEnd() {
    if (stack_.empty()) {
        Throw("stack must not be empty within object");
    }
    Value* object = stack_.back();
    if (object->type != kObject || object->object.empty()) {
        Throw("internal error");
    }
    // Normally the key follows right after its placeholder was made; look it up otherwise.
    auto it = placeholderOwner_ == object && placeholder_->first == kPlaceholderKey
                  ? placeholder_
                  : object->object.find(kPlaceholderKey);
    placeholderOwner_ = nullptr;
    if (it == object->object.end()) {
        Throw("internal error");
    }
    // The item travels as a node: `current_` keeps pointing at its value throughout.
    auto node = object->object.extract(it);
    node.key() = key_;
    auto inserted = object->object.insert(std::move(node));
    if (!inserted.inserted) {
        // A repeated key: the later item replaces the earlier one.
        object->object.erase(inserted.position);
        object->object.insert(std::move(inserted.node));
    }
}

void ParsingBuilder::OnArrayBegin() {
    Value& v = Unassigned();
    v.SetType(kArray);
    v.array.emplace_back();
    stack_.push_back(&v);
    current_ = &v.array.back();
}

void ParsingBuilder::OnArrayNextItem() {
    if (stack_.empty()) {
        Throw("stack must not be empty within array");
    }
    Value* array = stack_.back();
    if (array->type != kArray) {
        Throw("internal error");
    }
    // Only the innermost open container grows, so the addresses on the stack stay valid.
    current_ = &array->array.emplace_back();
}

void ParsingBuilder::CloseContainer() {
    if (stack_.empty()) {
        Throw("stack exhausted");
    }
    placeholderOwner_ = nullptr;
    bool empty = current_->type == kUndefined;
    current_ = stack_.back();
    stack_.pop_back();
    if (empty) {
        // Nothing was read after the opening bracket: drop the placeholder.
        if (current_->type == kObject && current_->object.size() == 1) {
            current_->object.clear();
        } else if (current_->type == kArray && current_->array.size() == 1) {
            current_->array.clear();
        }
    }
}

void ParsingBuilder::OnObjectEnd() {
    CloseContainer();
}

void ParsingBuilder::OnArrayEnd() {
    CloseContainer();
}

void ParsingBuilder::OnStringBegin() {
    Unassigned().SetType(kString);
    text_.clear();
}

void ParsingBuilder::OnStringChar(uint32_t c) {
    if (current_ == nullptr || current_->type != kString) {
        Throw("internal error");
    }
    // Collected in a buffer that keeps its capacity: the value's string is allocated once, at the end.
    AppendUtf16(text_, c);
}

void ParsingBuilder::OnPlainChars(bool inKey, const char* chars, size_t count) {
    std::wstring* target = &key_;
    if (!inKey) {
        if (current_ == nullptr || current_->type != kString) {
            Throw("internal error");
        }
        target = &text_;
    }
    size_t old = target->size();
    target->resize(old + count);
    wchar_t* out = target->data() + old;
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<wchar_t>(static_cast<unsigned char>(chars[i]));
    }
}

void ParsingBuilder::OnPlainChars(bool inKey, const wchar_t* chars, size_t count) {
    std::wstring* target = &key_;
    if (!inKey) {
        if (current_ == nullptr || current_->type != kString) {
            Throw("internal error");
        }
        target = &text_;
    }
    target->append(chars, count);
}

void ParsingBuilder::OnStringEnd() {
    if (current_ == nullptr || current_->type != kString) {
        Throw("internal error");
    }
    current_->string.assign(text_);
}

void ParsingBuilder::OnLiteral(uint32_t kind) {
    Unassigned().SetLiteral(kind);
}

void ParsingBuilder::OnInteger(int64_t i) {
    Unassigned().SetInt(i);
}

void ParsingBuilder::OnDouble(double d) {
    Unassigned().SetDouble(d);
}

}  // namespace JSON
