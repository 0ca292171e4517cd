#ifndef _WIN32

#include <cerrno>
#include <cstring>

#include "platform/sys_error.h"
#include "platform/utf8.h"

namespace platform {
namespace {

// strerror_r comes in two flavours; overloads pick the one this C library has.
[[maybe_unused]] const char* PickText(int result, const char* buffer) {
    return result == 0 ? buffer : "";
}
[[maybe_unused]] const char* PickText(const char* result, const char*) {
    return result ? result : "";
}

}  // namespace

SysErrorCode LastSystemError() noexcept {
    return static_cast<SysErrorCode>(errno);
}

void SetLastSystemError(SysErrorCode code) noexcept {
    errno = static_cast<int>(code);
}

std::wstring SystemErrorText(SysErrorCode code) {
    char buffer[512] = {};
    const char* text = PickText(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
    std::wstring wide = Utf8ToWide(text);
    if (wide.empty()) {
        // Not UTF-8 (a legacy locale): keep the bytes one by one rather than lose the message.
        for (const char* p = text; *p != '\0'; ++p) {
            wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
        }
    }
    return wide;
}

}  // namespace platform

#endif  // !_WIN32
