#include "json/value.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace JSON {

namespace {

[[noreturn]] void Throw(const char* message) {
    throw Exception(message);
}

constexpr const char* kNotAnArray = "access array[] element for non-array object";
constexpr const char* kNegativeIndex = "access array[] element with negative index";
constexpr const char* kNotAnObject = "access object{} item for non-object object";

}  // namespace

// ---------------------------------------------------------------------------------------------------
// Exception

Exception::Exception(const char* message) noexcept
    : Exception(message != nullptr ? std::string_view(message) : std::string_view()) {}

Exception::Exception(std::string_view message) noexcept {
    size_t n = message.size() < kBufferSize - 1 ? message.size() : kBufferSize - 1;
    std::memcpy(message_, message.data(), n);
    message_[n] = '\0';
}

Exception::~Exception() = default;

const char* Exception::what() const noexcept {
    return message_;
}

// ---------------------------------------------------------------------------------------------------
// Construction, copy, destruction. None of them recurses over the tree: see the header.

Value::Value(const Value& other)
    : type(other.type),
      literal(other.literal),
      string(other.string),
      number(other.number),
      integer(other.integer) {
    CopyChildrenFrom(other);
}

void Value::AssignScalars(const Value& other) {
    type = other.type;
    literal = other.literal;
    string = other.string;
    number = other.number;
    integer = other.integer;
}

Value::Value(Value&& other) noexcept
    : type(other.type),
      literal(other.literal),
      string(std::move(other.string)),
      object(std::move(other.object)),
      array(std::move(other.array)),
      number(other.number),
      integer(other.integer) {}

Value& Value::operator=(const Value& other) {
    if (this != &other) {
        // Copy first: `other` may live inside this value.
        Value copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Value& Value::operator=(Value&& other) noexcept {
    if (this != &other) {
        // Take `other` apart before anything of ours is destroyed: it may live inside this value.
        Value taken(std::move(other));
        type = taken.type;
        literal = taken.literal;
        number = taken.number;
        integer = taken.integer;
        string.swap(taken.string);
        object.swap(taken.object);
        array.swap(taken.array);
        // `taken` now holds our old content and releases it.
    }
    return *this;
}

namespace {

// How many destructors of values with children are running on this thread, one inside the other. While
// the tree is shallow it is released the plain way (containers destroy their elements); deeper down the
// work list takes over, so the recursion never goes further than this.
thread_local int releaseDepth = 0;
constexpr int kMaxReleaseDepth = 64;

}  // namespace

Value::~Value() {
    if (HasChildren()) {
        if (releaseDepth < kMaxReleaseDepth) {
            ++releaseDepth;
            array.clear();
            object.clear();
            --releaseDepth;
        } else {
            ReleaseChildren();
        }
    }
}

void Value::CopyChildrenFrom(const Value& other) {
    struct Job {
        const Value* from;
        Value* to;
    };
    std::vector<Job> jobs;
    jobs.push_back({&other, this});
    while (!jobs.empty()) {
        Job job = jobs.back();
        jobs.pop_back();
        const Value& from = *job.from;
        Value& to = *job.to;
        if (!from.array.empty()) {
            to.array.reserve(from.array.size());
            for (const Value& element : from.array) {
                to.array.emplace_back().AssignScalars(element);
            }
            // The array is complete: the addresses of its elements stay put from here on.
            for (size_t i = 0; i < from.array.size(); ++i) {
                if (from.array[i].HasChildren()) {
                    jobs.push_back({&from.array[i], &to.array[i]});
                }
            }
        }
        for (const auto& [key, item] : from.object) {
            auto it = to.object.emplace_hint(to.object.end(), std::piecewise_construct,
                                             std::forward_as_tuple(key), std::tuple<>());
            it->second.AssignScalars(item);
            if (item.HasChildren()) {
                jobs.push_back({&item, &it->second});
            }
        }
    }
}

void Value::ReleaseChildren() noexcept {
    // Children that have children of their own are moved out to a work list before their parent
    // container is cleared, so every destructor below runs on a value without children.
    std::vector<Value> pending;
    auto harvest = [&pending](Value& v) {
        for (Value& element : v.array) {
            if (element.HasChildren()) {
                pending.push_back(std::move(element));
            }
        }
        for (auto& item : v.object) {
            if (item.second.HasChildren()) {
                pending.push_back(std::move(item.second));
            }
        }
        v.array.clear();
        v.object.clear();
    };
    try {
        harvest(*this);
        while (!pending.empty()) {
            Value v(std::move(pending.back()));
            pending.pop_back();
            harvest(v);
        }
    } catch (...) {
        // Out of memory for the work list: what is left is released the plain way, by recursion.
        array.clear();
        object.clear();
    }
}

// ---------------------------------------------------------------------------------------------------
// Reading

bool Value::GetBool() const {
    switch (type) {
        case kInteger:
            return integer != 0;
        case kDouble:
            return number != 0.0;
        case kLiteral:
            return literal == kTrue;
        default:
            Throw("access numeric value for object with another type");
    }
}

int16_t Value::GetInt16() const {
    if (type != kInteger) {
        Throw("access 'int' value for object with another type");
    }
    if (integer < std::numeric_limits<int16_t>::min() || integer > std::numeric_limits<int16_t>::max()) {
        Throw("overflow 'int16_t' value");
    }
    return static_cast<int16_t>(integer);
}

int32_t Value::GetInt32() const {
    if (type != kInteger) {
        Throw("access 'int' value for object with another type");
    }
    if (integer < std::numeric_limits<int32_t>::min() || integer > std::numeric_limits<int32_t>::max()) {
        Throw("overflow 'int32_t' value");
    }
    return static_cast<int32_t>(integer);
}

int64_t Value::GetInt64() const {
    if (type != kInteger) {
        Throw("access 'int64_t' value for object with another type");
    }
    return integer;
}

uint16_t Value::GetUInt16() const {
    if (type != kInteger) {
        Throw("access 'unsigned int' value for object with another type");
    }
    if (integer < 0 || integer > std::numeric_limits<uint16_t>::max()) {
        Throw("overflow 'uint16_t' value");
    }
    return static_cast<uint16_t>(integer);
}

uint32_t Value::GetUInt32() const {
    if (type != kInteger) {
        Throw("access 'unsigned int' value for object with another type");
    }
    if (integer < 0 || integer > static_cast<int64_t>(std::numeric_limits<uint32_t>::max())) {
        Throw("overflow 'uint32_t' value");
    }
    return static_cast<uint32_t>(integer);
}

uint64_t Value::GetUInt64() const {
    if (type != kInteger) {
        Throw("access 'uint64_t' value for object with another type");
    }
    return static_cast<uint64_t>(integer);
}

double Value::GetDouble() const {
    if (type == kInteger) {
        return static_cast<double>(integer);
    }
    if (type != kDouble) {
        Throw("access 'double' value for object with another type");
    }
    return number;
}

float Value::GetFloat() const {
    double d = GetDouble();
    // A double beyond the float range becomes an infinity (the conversion itself would be undefined).
    if (d > std::numeric_limits<float>::max()) {
        return std::numeric_limits<float>::infinity();
    }
    if (d < -std::numeric_limits<float>::max()) {
        return -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(d);
}

const std::wstring& Value::GetString() const {
    if (type != kString) {
        Throw("access 'wstring' value for non-string object");
    }
    return string;
}

void Value::GetString(std::wstring& out) const {
    out = GetString();
}

size_t Value::ArraySize() const {
    if (type != kArray) {
        Throw("access array[] size for non-array object");
    }
    return array.size();
}

size_t Value::ObjectSize() const {
    if (type != kObject) {
        Throw("access object{} size for non-object object");
    }
    return object.size();
}

const Value& Value::operator[](int64_t index) const {
    if (index < 0) {
        Throw(kNegativeIndex);
    }
    return (*this)[static_cast<uint64_t>(index)];
}

const Value& Value::operator[](uint64_t index) const {
    if (type != kArray) {
        Throw(kNotAnArray);
    }
    if (index >= array.size()) {
        Throw("index out of array bounds in array[] element access");
    }
    return array[static_cast<size_t>(index)];
}

const Value& Value::Item(std::wstring_view key) const {
    if (type != kObject) {
        Throw(kNotAnObject);
    }
    if (object.empty()) {
        Throw("access item in empty object{}");
    }
    auto it = object.find(key);
    if (it == object.end()) {
        Throw("key not found in object{} for item access");
    }
    return it->second;
}

const Value* Value::FindItem(std::wstring_view key) const {
    if (type != kObject) {
        Throw(kNotAnObject);
    }
    if (object.empty()) {
        return nullptr;
    }
    auto it = object.find(key);
    return it == object.end() ? nullptr : &it->second;
}

Value* Value::FindItem(std::wstring_view key) {
    return const_cast<Value*>(static_cast<const Value&>(*this).FindItem(key));
}

const Value* Value::FindPath(std::wstring_view path, wchar_t separator) const {
    const Value* current = this;
    for (;;) {
        if (path.empty()) {
            Throw("invalid key");
        }
        size_t pos = path.find(separator);
        const Value* found = current->FindItem(path.substr(0, pos));
        if (found == nullptr || pos == std::wstring_view::npos) {
            return found;
        }
        current = found;
        path.remove_prefix(pos + 1);
    }
}

Value* Value::FindPath(std::wstring_view path, wchar_t separator) {
    return const_cast<Value*>(static_cast<const Value&>(*this).FindPath(path, separator));
}

ObjectMap Value::GetMap() const {
    if (type != kObject) {
        Throw("map access for a non-map object");
    }
    return object;
}

void Value::ForEachItem(const std::function<void(const std::wstring&, const Value&)>& callback) const {
    if (type != kObject) {
        Throw("enumerate object{} items for non-object object");
    }
    for (const auto& [key, value] : object) {
        callback(key, value);
    }
}

// ---------------------------------------------------------------------------------------------------
// Writing

void Value::Reset() {
    type = kUndefined;
    literal = 0;
    string.clear();
    if (HasChildren()) {
        ReleaseChildren();
    }
    number = 0.0;
    integer = 0;
}

void Value::SetLiteral(uint32_t kind) {
    if (type != kUndefined && type != kLiteral) {
        Reset();
    }
    type = kLiteral;
    literal = kind;
}

void Value::SetInt(int64_t i) {
    if (type != kInteger) {
        Reset();
        type = kInteger;
    }
    integer = i;
}

void Value::SetDouble(double d) {
    if (type != kDouble) {
        Reset();
        type = kDouble;
    }
    number = d;
}

void Value::SetString(std::wstring_view text) {
    if (type != kString) {
        Reset();
        type = kString;
    }
    string.assign(text.data(), text.size());
}

void Value::SetString(std::wstring&& text) {
    if (type != kString) {
        Reset();
        type = kString;
    }
    string = std::move(text);
}

void Value::SetType(uint32_t t) {
    if (type == kUndefined) {
        Reset();
        type = t;
    } else if (type != t) {
        Throw("invalid set type attempt; object already has another type");
    }
}

void Value::ClearArray() {
    if (type == kUndefined) {
        Reset();
        type = kArray;
    } else if (type == kArray) {
        array.clear();
    } else {
        Throw("invalid clear array attempt; object is not an array");
    }
}

void Value::GrowArray(size_t size) {
    if (array.capacity() < size) {
        // The next multiple of 16 above the requested size.
        array.reserve((size + 16) & ~static_cast<size_t>(15));
    }
    array.resize(size);
}

void Value::ResizeArray(size_t size, uint32_t elementType) {
    SetType(kArray);
    size_t old = array.size();
    if (size <= old) {
        array.resize(size);
        return;
    }
    GrowArray(size);
    if (elementType != kUndefined) {
        for (size_t i = old; i < size; ++i) {
            array[i].SetType(elementType);
        }
    }
}

Value& Value::operator[](int64_t index) {
    if (index < 0) {
        Throw(kNegativeIndex);
    }
    return Element(static_cast<uint64_t>(index));
}

Value& Value::operator[](uint64_t index) {
    return Element(index);
}

Value& Value::Element(uint64_t index) {
    if (type == kUndefined) {
        Reset();
        type = kArray;
    } else if (type != kArray) {
        Throw(kNotAnArray);
    }
    if (index >= array.size()) {
        if (index >= array.max_size()) {
            throw std::length_error("JSON array index too large");
        }
        GrowArray(static_cast<size_t>(index) + 1);
    }
    return array[static_cast<size_t>(index)];
}

Value& Value::Item(std::wstring_view key) {
    if (type == kUndefined) {
        Reset();
        type = kObject;
    } else if (type != kObject) {
        Throw(kNotAnObject);
    }
    auto it = object.lower_bound(key);
    if (it == object.end() || std::wstring_view(it->first) != key) {
        it = object.emplace_hint(it, std::piecewise_construct, std::forward_as_tuple(key), std::tuple<>());
    }
    return it->second;
}

Value& Value::GetPath(std::wstring_view path, wchar_t separator) {
    // Refuse a path with an empty last part before anything is created.
    if (path.empty() || path.back() == separator) {
        Throw("invalid key");
    }
    Value* current = this;
    for (;;) {
        size_t pos = path.find(separator);
        current = &current->Item(path.substr(0, pos));
        if (pos == std::wstring_view::npos) {
            return *current;
        }
        path.remove_prefix(pos + 1);
    }
}

bool Value::DeleteItem(std::wstring_view key) {
    if (type == kUndefined) {
        Reset();
        type = kObject;
        return false;
    }
    if (type != kObject) {
        Throw("attempt to delete subobject{} for non-object");
    }
    auto it = object.find(key);
    if (it == object.end()) {
        return false;
    }
    object.erase(it);
    return true;
}

bool Value::DeletePath(std::wstring_view path, wchar_t separator) {
    Value* current = this;
    for (;;) {
        if (path.empty()) {
            Throw("invalid key");
        }
        size_t pos = path.find(separator);
        if (pos == std::wstring_view::npos) {
            return current->DeleteItem(path);
        }
        current = current->FindItem(path.substr(0, pos));
        if (current == nullptr) {
            return false;
        }
        path.remove_prefix(pos + 1);
    }
}

void Value::DeleteElement(size_t index) {
    if (type != kArray) {
        Throw("attempt to delete array element for non-array value");
    }
    if (index >= array.size()) {
        Throw("index out of array bounds in array delete element");
    }
    array.erase(array.begin() + static_cast<std::ptrdiff_t>(index));
}

void Value::ClearContent() {
    switch (type) {
        case kObject:
            object.clear();
            break;
        case kArray:
            array.clear();
            break;
        case kString:
            string.clear();
            break;
        default:
            Throw("attempt to delete all content; must be object/array/string");
    }
}

// ---------------------------------------------------------------------------------------------------
// Equality

namespace {

bool SameScalars(const Value& a, const Value& b) {
    if (a.type != b.type) {
        return false;
    }
    switch (a.type) {
        case kLiteral:
            return a.literal == b.literal;
        case kInteger:
            return a.integer == b.integer;
        case kDouble: {
            uint64_t x;
            uint64_t y;
            std::memcpy(&x, &a.number, sizeof x);
            std::memcpy(&y, &b.number, sizeof y);
            return x == y;
        }
        case kString:
            return a.string == b.string;
        case kObject:
            return a.object.size() == b.object.size();
        case kArray:
            return a.array.size() == b.array.size();
        default:
            return true;
    }
}

}  // namespace

bool Equal(const Value& a, const Value& b) {
    std::vector<std::pair<const Value*, const Value*>> pending;
    pending.emplace_back(&a, &b);
    while (!pending.empty()) {
        auto [x, y] = pending.back();
        pending.pop_back();
        if (!SameScalars(*x, *y)) {
            return false;
        }
        if (x->type == kArray) {
            for (size_t i = 0; i < x->array.size(); ++i) {
                pending.emplace_back(&x->array[i], &y->array[i]);
            }
        } else if (x->type == kObject) {
            auto yi = y->object.begin();
            for (auto xi = x->object.begin(); xi != x->object.end(); ++xi, ++yi) {
                if (xi->first != yi->first) {
                    return false;
                }
                pending.emplace_back(&xi->second, &yi->second);
            }
        }
    }
    return true;
}

}  // namespace JSON
