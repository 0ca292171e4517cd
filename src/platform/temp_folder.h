// The system's folder for temporary files.
#pragma once

#include <filesystem>
#include <string>

#include "platform/sys_error.h"

namespace platform {

// The temporary folder as the system reports it (GetTempPathW; TMPDIR or /tmp on POSIX). The result
// always ends with the platform's separator, as GetTempPathW's does. Empty when the system has none.
[[nodiscard]] std::filesystem::path TempFolder();

// A folder of the current user's own for the SDK's temporary files (its tools' settings and logs).
// POSIX: "<TempFolder>/norvane-<uid>", made with rights for its owner only, and refused (empty `folder`,
// `why` telling the reason) when it exists as a link, as something other than a folder, owned by another
// user or open to group or others: another local user may have planted it. Windows: TempFolder itself,
// which is the user's own already. No trailing separator.
SysResult UserTempFolder(std::filesystem::path& folder, std::string& why);

// The checks of UserTempFolder for the folder `name` in `parent`: made when missing (owner-only rights),
// refused as UserTempFolder refuses it.
SysResult PrivateFolder(const std::filesystem::path& parent, const std::string& name,
                        std::filesystem::path& folder, std::string& why);

}  // namespace platform
