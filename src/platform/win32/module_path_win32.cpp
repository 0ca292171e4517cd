#ifdef _WIN32

#include <windows.h>

#include <string>

#include "platform/module_path.h"

namespace platform {
namespace {

// Any function of this module serves as the address to look up.
void ModuleAnchor() {}

}  // namespace

std::filesystem::path OwnModulePath() {
    // The allocation that holds our code is the module's image; its base is the module handle.
    MEMORY_BASIC_INFORMATION info{};
    if (::VirtualQuery(reinterpret_cast<const void*>(&ModuleAnchor), &info, sizeof info) == 0 ||
        info.AllocationBase == nullptr) {
        return {};
    }
    const HMODULE module = static_cast<HMODULE>(info.AllocationBase);
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(buffer);
        }
        // Truncated: the name did not fit.
        if (buffer.size() >= 32768) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace platform

#endif  // _WIN32
