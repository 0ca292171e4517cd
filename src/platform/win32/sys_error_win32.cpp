#ifdef _WIN32

#include <windows.h>

#include "platform/sys_error.h"

namespace platform {

SysErrorCode LastSystemError() noexcept {
    return static_cast<SysErrorCode>(::GetLastError());
}

void SetLastSystemError(SysErrorCode code) noexcept {
    ::SetLastError(static_cast<DWORD>(code));
}

std::wstring SystemErrorText(SysErrorCode code) {
    wchar_t buffer[512] = {};
    // Inserts are ignored: some system messages carry %1 placeholders, and without arguments to fill them
    // FormatMessageW would read arguments that were never passed.
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                          static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                          buffer, 512, nullptr);
    return std::wstring(buffer, length < 512 ? length : 511);
}

}  // namespace platform

#endif  // _WIN32
