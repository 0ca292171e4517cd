#ifndef _WIN32

#include <time.h>

#include "platform/ticks.h"

namespace platform {

std::uint64_t QueryTicks() noexcept {
    struct timespec ts {};
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::uint64_t QueryTicksFrequency() noexcept {
    struct timespec ts {};
    // The counter is in nanoseconds; it exists when the monotonic clock does.
    return clock_getres(CLOCK_MONOTONIC, &ts) == 0 ? 1000000000u : 0u;
}

}  // namespace platform

#endif  // !_WIN32
