#include "platform/utf8.h"

#include <new>
#include <type_traits>

namespace platform {

bool AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            return false;
        }
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp <= 0x10FFFF) {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        return false;
    }
    return true;
}

}  // namespace platform

std::string WideToUtf8(std::wstring_view text) {
    try {
        // One allocation for the worst case (three bytes per UTF-16 unit, four per UTF-32 unit), written
        // through a pointer and cut to size: control messages are converted on every send.
        std::string out(text.size() * (sizeof(wchar_t) == 2 ? 3 : 4), '\0');
        char* o = out.data();
        for (size_t i = 0; i < text.size(); ++i) {
            // Through an unsigned 32-bit value: wchar_t is signed on some targets.
            char32_t c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i]));
            if (c < 0x80) {
                *o++ = static_cast<char>(c);
                continue;
            }
            if (c >= 0xD800 && c <= 0xDBFF) {
                if (i + 1 >= text.size()) {
                    return {};
                }
                char32_t low = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i + 1]));
                if (low < 0xDC00 || low > 0xDFFF) {
                    return {};
                }
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
            if (c < 0x800) {
                *o++ = static_cast<char>(0xC0 | (c >> 6));
                *o++ = static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                if (c >= 0xD800 && c <= 0xDFFF) {
                    return {};
                }
                *o++ = static_cast<char>(0xE0 | (c >> 12));
                *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *o++ = static_cast<char>(0x80 | (c & 0x3F));
            } else if (c <= 0x10FFFF) {
                *o++ = static_cast<char>(0xF0 | (c >> 18));
                *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *o++ = static_cast<char>(0x80 | (c & 0x3F));
            } else {
                return {};
            }
        }
        out.resize(static_cast<size_t>(o - out.data()));
        return out;
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::wstring Utf8ToWide(std::string_view text) {
    try {
        std::wstring out;
        out.reserve(text.size());
        const auto* p = reinterpret_cast<const unsigned char*>(text.data());
        const auto* end = p + text.size();
        while (p < end) {
            unsigned char b = *p++;
            char32_t cp;
            int more;
            char32_t min;
            if (b < 0x80) {
                out.push_back(static_cast<wchar_t>(b));
                continue;
            } else if ((b & 0xE0) == 0xC0) {
                cp = b & 0x1F;
                more = 1;
                min = 0x80;
            } else if ((b & 0xF0) == 0xE0) {
                cp = b & 0x0F;
                more = 2;
                min = 0x800;
            } else if ((b & 0xF8) == 0xF0) {
                cp = b & 0x07;
                more = 3;
                min = 0x10000;
            } else {
                return {};
            }
            if (end - p < more) {
                return {};
            }
            for (int k = 0; k < more; ++k) {
                unsigned char c = *p++;
                if ((c & 0xC0) != 0x80) {
                    return {};
                }
                cp = (cp << 6) | (c & 0x3F);
            }
            if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                return {};
            }
            if constexpr (sizeof(wchar_t) == 2) {
                if (cp >= 0x10000) {
                    cp -= 0x10000;
                    out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
                    out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
                    continue;
                }
            }
            out.push_back(static_cast<wchar_t>(cp));
        }
        return out;
    } catch (const std::bad_alloc&) {
        return {};
    }
}
