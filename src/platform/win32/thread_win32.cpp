#ifdef _WIN32

#include <windows.h>

#include "platform/thread.h"

namespace platform {

std::uint32_t CurrentThreadId() noexcept {
    return static_cast<std::uint32_t>(::GetCurrentThreadId());
}

SysErrorCode SetCurrentThreadPriority(int level) noexcept {
    int priority;
    switch (level) {
        case 0:
            priority = THREAD_PRIORITY_NORMAL;
            break;
        case 1:
            priority = THREAD_PRIORITY_HIGHEST;
            break;
        case 2:
            priority = THREAD_PRIORITY_TIME_CRITICAL;
            break;
        default:
            return kErrorInvalidParameter;
    }
    if (::SetThreadPriority(::GetCurrentThread(), priority) == 0) {
        const DWORD error = ::GetLastError();
        return error != 0 ? static_cast<SysErrorCode>(error) : static_cast<SysErrorCode>(ERROR_ACCESS_DENIED);
    }
    return kNoError;
}

int CurrentThreadPriority() noexcept {
    switch (::GetThreadPriority(::GetCurrentThread())) {
        case THREAD_PRIORITY_NORMAL:
            return 0;
        case THREAD_PRIORITY_HIGHEST:
            return 1;
        case THREAD_PRIORITY_TIME_CRITICAL:
            return 2;
        default:
            return -1;
    }
}

}  // namespace platform

#endif  // _WIN32
