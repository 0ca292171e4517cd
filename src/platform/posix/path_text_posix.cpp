#ifndef _WIN32

#include "platform/path_text.h"
#include "platform/utf8.h"

namespace platform {

std::wstring PathToWide(const std::filesystem::path& path) {
    return Utf8ToWide(path.native());
}

std::filesystem::path WideToPath(std::wstring_view text) {
    return std::filesystem::path(WideToUtf8(text));
}

bool IsRootedPath(const std::filesystem::path& path) {
    return path.is_absolute();
}

}  // namespace platform

#endif  // !_WIN32
