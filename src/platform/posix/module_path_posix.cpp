#ifndef _WIN32

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "platform/module_path.h"

namespace platform {
namespace {

// Any function of this module serves as the address to look up.
void ModuleAnchor() {}

// Finds the file mapped at `address` in /proc/self/maps. The loader records the main program under the
// name it was started with (often relative), but the kernel's map always has the absolute file name.
std::filesystem::path MappedFileAt(std::uintptr_t address) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, perms, offset, device, inode;
        if (!(fields >> range >> perms >> offset >> device >> inode)) {
            continue;
        }
        const auto dash = range.find('-');
        if (dash == std::string::npos) {
            continue;
        }
        const std::uintptr_t begin = std::stoull(range.substr(0, dash), nullptr, 16);
        const std::uintptr_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        if (address < begin || address >= end) {
            continue;
        }
        std::string path;
        std::getline(fields >> std::ws, path);
        if (!path.empty() && path.front() == '/') {
            return path;
        }
        return {};
    }
    return {};
}

}  // namespace

std::filesystem::path OwnModulePath() {
    const auto address = reinterpret_cast<std::uintptr_t>(&ModuleAnchor);
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(address), &info) != 0 && info.dli_fname != nullptr &&
        info.dli_fname[0] == '/') {
        return std::filesystem::path(info.dli_fname).lexically_normal();
    }
    std::filesystem::path mapped = MappedFileAt(address);
    if (!mapped.empty()) {
        return mapped.lexically_normal();
    }
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe;
}

}  // namespace platform

#endif  // !_WIN32
