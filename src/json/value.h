#pragma once

// JSON::Value: the in-memory form of a JSON document or of any part of it.
//
// One object holds the members of every kind at once; `type` says which member is meaningful. Text is
// wide and holds UTF-16 code units on every platform (the parser stores characters above U+FFFF as
// surrogate pairs). Misuse (reading an integer from a string, indexing a non-array, ...) throws
// JSON::Exception with a fixed English message and leaves the value unchanged.
//
// Depth: nothing here recurses over the tree. Copying, destroying, comparing and printing walk the tree
// with an explicit work list on the heap, so a value nested a million levels deep (parsed or built by
// code) costs memory but never overflows the stack.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace JSON {

// Kinds of value (`Value::type`).
enum ValueType : uint32_t {
    kUndefined = 0,  // freshly constructed; no value yet
    kLiteral = 1,
    kObject = 2,
    kArray = 3,
    kInteger = 4,
    kDouble = 5,
    kString = 6,
};

// Literal kinds (`Value::literal`).
enum LiteralKind : uint32_t {
    kNull = 1,
    kFalse = 2,
    kTrue = 3,
};

// Thrown for every misuse of a value and by the parser's builder. The message lives in a fixed buffer;
// a message longer than 255 characters is cut to its first 255.
class Exception : public std::exception {
public:
    static constexpr size_t kBufferSize = 256;

    explicit Exception(const char* message) noexcept;
    explicit Exception(std::string_view message) noexcept;
    ~Exception() override;
    const char* what() const noexcept override;

private:
    char message_[kBufferSize];
};

class Value;

// Orders keys code unit by code unit (each unit taken as unsigned, so the order is the same with 16-bit
// and 32-bit wchar_t). Transparent, so that lookups by std::wstring_view need no temporary key.
struct KeyLess {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept {
        size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i) {
            if (a[i] != b[i]) {
                return static_cast<uint32_t>(a[i]) < static_cast<uint32_t>(b[i]);
            }
        }
        return a.size() < b.size();
    }
};

// Items of an object, in ascending order of their keys.
using ObjectMap = std::map<std::wstring, Value, KeyLess>;
using ArrayVector = std::vector<Value>;

class Value {
public:
    Value() = default;
    Value(const Value& other);
    Value(Value&& other) noexcept;
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    virtual ~Value();

    // ---- reading ----
    uint32_t GetType() const { return type; }
    bool GetBool() const;
    int16_t GetInt16() const;
    int32_t GetInt32() const;
    int64_t GetInt64() const;
    uint16_t GetUInt16() const;
    uint32_t GetUInt32() const;
    uint64_t GetUInt64() const;
    double GetDouble() const;
    // A double beyond the range of a float gives an infinity of its sign.
    float GetFloat() const;
    const std::wstring& GetString() const;
    void GetString(std::wstring& out) const;

    size_t ArraySize() const;
    // Throws "access object{} size for non-object object" for a value that is not an Object.
    size_t ObjectSize() const;

    // Read-only element access; a negative index is checked before the kind.
    const Value& operator[](int64_t index) const;
    const Value& operator[](int32_t index) const { return (*this)[static_cast<int64_t>(index)]; }
    const Value& operator[](int16_t index) const { return (*this)[static_cast<int64_t>(index)]; }
    const Value& operator[](uint64_t index) const;
    const Value& operator[](uint32_t index) const { return (*this)[static_cast<uint64_t>(index)]; }
    const Value& operator[](uint16_t index) const { return (*this)[static_cast<uint64_t>(index)]; }

    // Read-only item access.
    const Value& operator[](const wchar_t* key) const { return Item(std::wstring_view(key)); }
    const Value& operator[](std::wstring_view key) const { return Item(key); }
    const Value& operator[](const std::wstring& key) const { return Item(key); }

    // Null when the object is empty or has no such key.
    const Value* FindItem(std::wstring_view key) const;
    Value* FindItem(std::wstring_view key);
    // Follows `path`, split at `separator`, through nested objects; null when a part is missing.
    const Value* FindPath(std::wstring_view path, wchar_t separator) const;
    Value* FindPath(std::wstring_view path, wchar_t separator);

    ObjectMap GetMap() const;
    void ForEachItem(const std::function<void(const std::wstring& key, const Value& value)>& callback) const;

    // ---- writing ----
    // Back to Undefined: every member cleared.
    void Reset();
    void SetLiteral(uint32_t kind);
    void SetBool(bool b) { SetLiteral(b ? kTrue : kFalse); }
    void SetInt(int64_t i);
    void SetInt(int32_t i) { SetInt(static_cast<int64_t>(i)); }
    void SetInt(int16_t i) { SetInt(static_cast<int64_t>(i)); }
    void SetInt(uint64_t i) { SetInt(static_cast<int64_t>(i)); }  // keeps the 64 bits
    void SetInt(uint32_t i) { SetInt(static_cast<int64_t>(i)); }
    void SetInt(uint16_t i) { SetInt(static_cast<int64_t>(i)); }
    void SetDouble(double d);
    void SetString(const wchar_t* text) { SetString(std::wstring_view(text)); }
    void SetString(std::wstring_view text);
    void SetString(const std::wstring& text) { SetString(std::wstring_view(text)); }
    void SetString(std::wstring&& text);

    void SetType(uint32_t t);
    void ClearArray();
    void ResizeArray(size_t size, uint32_t elementType = kUndefined);

    // Modifiable element access: an Undefined value becomes an Array, an index at or beyond the end
    // grows the array.
    Value& operator[](int64_t index);
    Value& operator[](int32_t index) { return (*this)[static_cast<int64_t>(index)]; }
    Value& operator[](int16_t index) { return (*this)[static_cast<int64_t>(index)]; }
    Value& operator[](uint64_t index);
    Value& operator[](uint32_t index) { return (*this)[static_cast<uint64_t>(index)]; }
    Value& operator[](uint16_t index) { return (*this)[static_cast<uint64_t>(index)]; }

    // Modifiable item access: an Undefined value becomes an Object, an absent key is inserted.
    Value& operator[](const wchar_t* key) { return Item(std::wstring_view(key)); }
    Value& operator[](std::wstring_view key) { return Item(key); }
    Value& operator[](const std::wstring& key) { return Item(std::wstring_view(key)); }

    // Like FindPath, creating every missing object on the way; returns the value reached.
    Value& GetPath(std::wstring_view path, wchar_t separator);
    bool DeleteItem(std::wstring_view key);
    bool DeletePath(std::wstring_view path, wchar_t separator);
    void DeleteElement(size_t index);
    void ClearContent();

    // ---- members (meaningful by `type`) ----
    uint32_t type = kUndefined;
    uint32_t literal = 0;
    std::wstring string;
    ObjectMap object;
    ArrayVector array;
    double number = 0.0;
    int64_t integer = 0;

private:
    void AssignScalars(const Value& other);

    const Value& Item(std::wstring_view key) const;
    Value& Item(std::wstring_view key);
    Value& Element(uint64_t index);
    void GrowArray(size_t size);
    void CopyChildrenFrom(const Value& other);
    void ReleaseChildren() noexcept;
    bool HasChildren() const { return !array.empty() || !object.empty(); }
};

// Structural equality: same kind and same content all the way down. Doubles compare by their bits (so
// -0.0 differs from 0.0 and a NaN equals the same NaN); an Undefined value equals another Undefined one.
bool Equal(const Value& a, const Value& b);

// Parses a whole document into `value`. True when a complete top-level value was read; characters after
// it are not examined. Never throws. The UTF-8 form converts to wide text first (invalid UTF-8 fails).
bool ParseText(std::wstring_view text, Value& value);
bool ParseText(const wchar_t* text, Value& value);
bool ParseText(std::string_view utf8, Value& value);
bool ParseText(const std::string& utf8, Value& value);
bool ParseText(const char* utf8, Value& value);

// Reads the file's bytes as UTF-8, drops one leading byte-order mark and parses the text. False when the
// file cannot be read, is not valid UTF-8 or is empty, or when the text does not parse. A wide path is
// taken as UTF-16 on Windows and converted to UTF-8 elsewhere (whatever the process locale).
bool ParseFile(const std::filesystem::path& path, Value& value);
bool ParseFile(const std::wstring& path, Value& value);
bool ParseFile(const wchar_t* path, Value& value);

// The compact JSON text of a value (see json/writer.h).
std::wstring GenerateText(const Value& value);
std::wstring& GenerateText(const Value& value, std::wstring& out);

}  // namespace JSON
