// The high-resolution monotonic tick counter.
#pragma once

#include <cstdint>

namespace platform {

// Current value of the monotonic high-resolution counter (QueryPerformanceCounter /
// clock_gettime(CLOCK_MONOTONIC) in nanoseconds); 0 when the counter cannot be read.
[[nodiscard]] std::uint64_t QueryTicks() noexcept;

// Ticks per second of QueryTicks (QueryPerformanceFrequency / 1000000000); 0 when unavailable.
// Constant for the life of the process.
[[nodiscard]] std::uint64_t QueryTicksFrequency() noexcept;

}  // namespace platform
