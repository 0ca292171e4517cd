#ifdef _WIN32

#include <windows.h>

#include "platform/ticks.h"

namespace platform {

std::uint64_t QueryTicks() noexcept {
    LARGE_INTEGER value;
    if (::QueryPerformanceCounter(&value) == 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(value.QuadPart);
}

std::uint64_t QueryTicksFrequency() noexcept {
    LARGE_INTEGER value;
    if (::QueryPerformanceFrequency(&value) == 0 || value.QuadPart <= 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(value.QuadPart);
}

}  // namespace platform

#endif  // _WIN32
