// Paths as wide text and back, and the normal form the debug log gives its folder and files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// The path as wide text (the native wide path on Windows, the UTF-8 bytes decoded on POSIX).
[[nodiscard]] std::wstring PathToWide(const std::filesystem::path& path);

// The path named by wide text; the inverse of PathToWide.
[[nodiscard]] std::filesystem::path WideToPath(std::wstring_view text);

// "." and ".." resolved, every separator in the platform's form, no trailing separator (a drive's root
// keeps its own).
[[nodiscard]] std::filesystem::path NormalPath(const std::filesystem::path& path);

// True for a path that is not taken relative to another folder: one with a drive letter (or a server
// share) on Windows, an absolute one on POSIX.
[[nodiscard]] bool IsRootedPath(const std::filesystem::path& path);

}  // namespace platform
