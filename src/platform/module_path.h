// The file of the module (shared library or executable) that contains this code.
#pragma once

#include <filesystem>

namespace platform {

// Full, absolute path of the module this library is linked into: the DLL or shared object when the
// library is one, the executable otherwise. Empty when the system cannot tell.
[[nodiscard]] std::filesystem::path OwnModulePath();

}  // namespace platform
