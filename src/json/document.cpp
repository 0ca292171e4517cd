#include <fstream>
#include <iterator>
#include <new>

#include "json/parser.h"
#include "json/value.h"
#include "platform/utf8.h"

namespace JSON {

bool ParseText(std::wstring_view text, Value& value) {
    try {
        ParsingBuilder builder(&value);
        Parser parser(&builder);
        return parser.Run(text, true);
    } catch (...) {
        return false;
    }
}

bool ParseText(const wchar_t* text, Value& value) {
    return ParseText(text != nullptr ? std::wstring_view(text) : std::wstring_view(), value);
}

bool ParseText(std::string_view utf8, Value& value) {
    try {
        // Decoded on the way, with the outcome of converting the text to wide text first.
        ParsingBuilder builder(&value);
        Parser parser(&builder);
        return parser.RunUtf8(utf8, true);
    } catch (...) {
        return false;
    }
}

bool ParseText(const std::string& utf8, Value& value) {
    return ParseText(std::string_view(utf8), value);
}

bool ParseText(const char* utf8, Value& value) {
    return ParseText(utf8 != nullptr ? std::string_view(utf8) : std::string_view(), value);
}

bool ParseFile(const std::filesystem::path& path, Value& value) {
    try {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            return false;
        }
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (file.bad()) {
            return false;
        }
        std::wstring text = Utf8ToWide(bytes);
        if (text.empty()) {
            return false;
        }
        std::wstring_view view(text);
        if (view.front() == 0xFEFF) {
            view.remove_prefix(1);
        }
        return ParseText(view, value);
    } catch (...) {
        return false;
    }
}

bool ParseFile(const std::wstring& path, Value& value) {
    try {
        if constexpr (sizeof(wchar_t) == 2) {
            return ParseFile(std::filesystem::path(path), value);
        } else {
            std::string utf8 = WideToUtf8(path);
            if (utf8.empty()) {
                return false;
            }
            return ParseFile(std::filesystem::path(std::u8string(utf8.begin(), utf8.end())), value);
        }
    } catch (...) {
        return false;
    }
}

bool ParseFile(const wchar_t* path, Value& value) {
    return path != nullptr && ParseFile(std::wstring(path), value);
}

}  // namespace JSON
