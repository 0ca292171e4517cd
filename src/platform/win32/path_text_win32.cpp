#ifdef _WIN32

#include "platform/path_text.h"

namespace platform {

std::wstring PathToWide(const std::filesystem::path& path) {
    return path.native();
}

std::filesystem::path WideToPath(std::wstring_view text) {
    return std::filesystem::path(std::wstring(text));
}

bool IsRootedPath(const std::filesystem::path& path) {
    return path.has_root_name();  // a drive letter (or a server share)
}

}  // namespace platform

#endif  // _WIN32
