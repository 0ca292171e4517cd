// The system's folder for temporary files.
#pragma once

#include <filesystem>

namespace platform {

// The temporary folder as the system reports it (GetTempPathW; TMPDIR or /tmp on POSIX). The result
// always ends with the platform's separator, as GetTempPathW's does. Empty when the system has none.
[[nodiscard]] std::filesystem::path TempFolder();

}  // namespace platform
