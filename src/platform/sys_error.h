// Native error codes as portable values, and the system's text for them.
//
// Every platform call in this layer turns a failure into a SysResult right where it happens, so the
// native code (errno on POSIX, GetLastError on Windows) is never lost to an intervening call.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The native error number of the platform: errno values on POSIX, Windows system error numbers on
// Windows. 0 means "no error" on both.
using SysErrorCode = std::uint32_t;

inline constexpr SysErrorCode kNoError = 0;

// The Windows number for an invalid argument. Operations whose contract names this result (the thread
// priority call) return it on every platform.
inline constexpr SysErrorCode kErrorInvalidParameter = 87;

// The outcome of one platform operation: ok, or the native code of the failure.
struct SysResult {
    SysErrorCode code = kNoError;

    [[nodiscard]] bool ok() const noexcept { return code == kNoError; }
    explicit operator bool() const noexcept { return ok(); }

    static SysResult Ok() noexcept { return {}; }
    static SysResult Fail(SysErrorCode c) noexcept { return {c}; }
};

// The calling thread's last native error (errno / GetLastError).
[[nodiscard]] SysErrorCode LastSystemError() noexcept;

// Sets the calling thread's last native error (errno / SetLastError).
void SetLastSystemError(SysErrorCode code) noexcept;

// The system's own message for `code` (strerror_r / FormatMessageW from the system table in the user's
// default language), as the system gives it: it may end with a line break, and it is empty when the
// system has no text for the code. Never throws.
[[nodiscard]] std::wstring SystemErrorText(SysErrorCode code);

}  // namespace platform
