#ifdef _WIN32

#include <windows.h>

#include <string>

#include "platform/temp_folder.h"

namespace platform {

std::filesystem::path TempFolder() {
    std::wstring buffer(MAX_PATH + 1, L'\0');
    DWORD length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length > buffer.size()) {
        // The result tells the size needed, terminating zero included.
        buffer.assign(length, L'\0');
        length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    if (length == 0 || length > buffer.size()) {
        return {};
    }
    buffer.resize(length);
    if (buffer.back() != L'\\') {
        buffer.push_back(L'\\');
    }
    return std::filesystem::path(buffer);
}

}  // namespace platform

#endif  // _WIN32
