#include "json/writer.h"

#include <array>
#include <cmath>
#include <vector>

namespace JSON {

namespace {

[[noreturn]] void ThrowUndefined() {
    throw Exception("JSON value undefined: cannot generate text representation");
}

constexpr wchar_t kHexDigits[] = L"0123456789ABCDEF";

// The escape of a character below 128, or 0 when it is written as it is; 'u' means \u00XX.
constexpr std::array<char, 128> MakeEscapeTable() {
    std::array<char, 128> t{};
    for (unsigned c = 0; c < 32; ++c) {
        t[c] = 'u';
    }
    t[8] = 'b';
    t[9] = 't';
    t[10] = 'n';
    t[12] = 'f';
    t[13] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    t['/'] = '/';
    return t;
}

constexpr std::array<char, 128> kEscapes = MakeEscapeTable();

inline char EscapeOf(wchar_t c) {
    // Through the unsigned type: wchar_t is signed on some targets.
    auto u = static_cast<std::make_unsigned_t<wchar_t>>(c);
    return u < 128 ? kEscapes[u] : 0;
}

// A stack that lives on the machine stack while it is shallow.
template <typename T, size_t N>
class WorkStack {
public:
    bool empty() const { return size_ == 0; }
    T& back() { return size_ <= N ? local_[size_ - 1] : spill_[size_ - N - 1]; }
    void push(const T& v) {
        if (size_ < N) {
            local_[size_] = v;
        } else {
            spill_.push_back(v);
        }
        ++size_;
    }
    void pop() {
        if (size_ > N) {
            spill_.pop_back();
        }
        --size_;
    }

private:
    std::array<T, N> local_{};
    std::vector<T> spill_;
    size_t size_ = 0;
};

void WriteScalar(const Value& v, std::wstring& out) {
    switch (v.type) {
        case kLiteral:
            switch (v.literal) {
                case kNull:
                    out.append(L"null", 4);
                    return;
                case kFalse:
                    out.append(L"false", 5);
                    return;
                case kTrue:
                    out.append(L"true", 4);
                    return;
                default:
                    ThrowUndefined();
            }
        case kInteger: {
            wchar_t buffer[kFormatIntegerBufferSize];
            out.append(buffer, FormatInteger(v.integer, buffer));
            return;
        }
        case kDouble: {
            wchar_t buffer[kFormatDoubleBufferSize];
            out.append(buffer, FormatDouble(v.number, buffer));
            return;
        }
        case kString:
            EscapeString(out, v.string);
            return;
        default:
            ThrowUndefined();
    }
}

}  // namespace

std::wstring& EscapeString(std::wstring& out, std::wstring_view text) {
    out.push_back(L'"');
    const wchar_t* run = text.data();
    const wchar_t* end = run + text.size();
    for (const wchar_t* p = run; p != end; ++p) {
        char e = EscapeOf(*p);
        if (e == 0) {
            continue;
        }
        out.append(run, static_cast<size_t>(p - run));
        run = p + 1;
        if (e == 'u') {
            unsigned c = static_cast<unsigned>(*p);
            const wchar_t escaped[6] = {L'\\', L'u', L'0', L'0', kHexDigits[c >> 4], kHexDigits[c & 15]};
            out.append(escaped, 6);
        } else {
            const wchar_t escaped[2] = {L'\\', static_cast<wchar_t>(e)};
            out.append(escaped, 2);
        }
    }
    out.append(run, static_cast<size_t>(end - run));
    out.push_back(L'"');
    return out;
}

std::wstring EscapeString(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size() + 2);
    EscapeString(out, text);
    return out;
}

size_t FormatInteger(int64_t value, wchar_t* buffer) {
    // The magnitude as unsigned, so that -2^63 prints correctly.
    uint64_t magnitude = static_cast<uint64_t>(value);
    wchar_t* p = buffer;
    if (value < 0) {
        *p++ = L'-';
        magnitude = 0 - magnitude;
    }
    wchar_t digits[20];
    int n = 0;
    do {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n > 0) {
        *p++ = digits[--n];
    }
    *p = L'\0';
    return static_cast<size_t>(p - buffer);
}

std::wstring& GenerateText(const Value& root, std::wstring& out) {
    struct Frame {
        const Value* container;
        size_t index;
        ObjectMap::const_iterator item;
    };
    WorkStack<Frame, 32> open;
    const Value* next = &root;
    for (;;) {
        if (next != nullptr) {
            if (next->type == kObject) {
                if (next->object.empty()) {
                    out.append(L"{}", 2);
                } else {
                    out.push_back(L'{');
                    open.push({next, 0, next->object.begin()});
                }
            } else if (next->type == kArray) {
                if (next->array.empty()) {
                    out.append(L"[]", 2);
                } else {
                    out.push_back(L'[');
                    open.push({next, 0, {}});
                }
            } else {
                WriteScalar(*next, out);
            }
            next = nullptr;
        }
        if (open.empty()) {
            return out;
        }
        Frame& frame = open.back();
        if (frame.container->type == kArray) {
            if (frame.index == frame.container->array.size()) {
                out.push_back(L']');
                open.pop();
                continue;
            }
            if (frame.index != 0) {
                out.push_back(L',');
            }
            next = &frame.container->array[frame.index++];
        } else {
            if (frame.item == frame.container->object.end()) {
                out.push_back(L'}');
                open.pop();
                continue;
            }
            if (frame.index++ != 0) {
                out.push_back(L',');
            }
            EscapeString(out, frame.item->first);
            out.push_back(L':');
            next = &frame.item->second;
            ++frame.item;
        }
    }
}

std::wstring GenerateText(const Value& value) {
    std::wstring out;
    // Room for a typical control message, to save the first few steps of growth.
    out.reserve(value.type == kObject || value.type == kArray ? 256 : 32);
    GenerateText(value, out);
    return out;
}

}  // namespace JSON
