#include "common/safe_text.h"

#include <cstdint>
#include <type_traits>

#include "platform/utf8.h"

bool IsUnsafeChar(char32_t cp) noexcept {
    if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
        return true;
    }
    if (cp < 0x061C) {
        return false;
    }
    return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x2028 && cp <= 0x202E) ||
           (cp >= 0x2066 && cp <= 0x2069) || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF;
}

namespace {

// The code point a UTF-8 sequence starting at s[i] encodes, with its length in `len`; 0 in `len` when
// the bytes there do not form a complete shortest-form sequence of a scalar value.
char32_t DecodeUtf8(std::string_view s, std::size_t i, std::size_t& len) {
    const auto b = static_cast<unsigned char>(s[i]);
    len = 0;
    std::size_t more = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b < 0x80) {
        len = 1;
        return b;
    }
    if ((b & 0xE0) == 0xC0) {
        more = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        more = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        more = 3, cp = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i <= more) {
        return 0;
    }
    for (std::size_t k = 1; k <= more; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    len = more + 1;
    return cp;
}

}  // namespace

std::string SafeText(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        if (b >= 0x20 && b < 0x7F) {  // plain printable ASCII, nearly every character
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        std::size_t len = 0;
        const char32_t cp = DecodeUtf8(utf8, i, len);
        if (len == 0 || IsUnsafeChar(cp)) {
            platform::AppendUtf8(out, kSafeTextReplacement);
            i += len == 0 ? 1 : len;
        } else {
            out.append(utf8.substr(i, len));
            i += len;
        }
    }
    return out;
}

void AppendSafeText(std::wstring& out, std::wstring_view text) {
    using Unit = std::make_unsigned_t<wchar_t>;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<char32_t>(static_cast<Unit>(text[i]));
        if (c >= 0x20 && c < 0x7F) {  // a run of printable ASCII (nearly every log record) is copied whole
            std::size_t end = i + 1;
            while (end < text.size() && static_cast<Unit>(text[end]) >= 0x20 &&
                   static_cast<Unit>(text[end]) < 0x7F) {
                ++end;
            }
            out.append(text.substr(i, end - i));
            i = end - 1;
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            const auto low = static_cast<char32_t>(static_cast<Unit>(text[i + 1]));
            if (low >= 0xDC00 && low <= 0xDFFF) {  // a valid pair: a character above U+FFFF
                out.append(text.substr(i, 2));
                ++i;
                continue;
            }
        }
        if (IsUnsafeChar(c)) {
            out.push_back(static_cast<wchar_t>(kSafeTextReplacement));
        } else {
            out.push_back(text[i]);
        }
    }
}

std::wstring SafeText(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    AppendSafeText(out, text);
    return out;
}
