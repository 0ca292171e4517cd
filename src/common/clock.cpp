#include "common/clock.h"

#include <atomic>
#include <cmath>
#include <limits>

#include "platform/calendar_time.h"
#include "platform/ticks.h"

namespace {

// 0: not read yet (or not available: then every call asks again, which costs nothing where it matters).
std::atomic<std::uint64_t> g_frequency{0};

std::uint64_t SaturatedMulDiv(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b / c;
    return product > std::numeric_limits<std::uint64_t>::max() ? std::numeric_limits<std::uint64_t>::max()
                                                               : static_cast<std::uint64_t>(product);
}

std::int64_t TruncateToInt64(double value) noexcept {
    if (std::isnan(value)) {
        return 0;
    }
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    constexpr double kLimit = 9223372036854775808.0;
    if (value >= kLimit) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (value < -kLimit) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(value);  // truncates toward zero
}

}  // namespace

std::uint64_t GetTicks() noexcept {
    return platform::QueryTicks();
}

std::uint64_t GetTicksFrequency() noexcept {
    std::uint64_t frequency = g_frequency.load(std::memory_order_relaxed);
    if (frequency == 0) {
        frequency = platform::QueryTicksFrequency();
        g_frequency.store(frequency, std::memory_order_relaxed);
    }
    return frequency;
}

std::uint64_t TicksToUnits(std::uint64_t ticks, std::uint64_t unitsPerSecond,
                           std::uint64_t frequency) noexcept {
    return frequency == 0 ? 0 : SaturatedMulDiv(ticks, unitsPerSecond, frequency);
}

std::uint64_t UnitsToTicks(std::uint64_t units, std::uint64_t unitsPerSecond,
                           std::uint64_t frequency) noexcept {
    return unitsPerSecond == 0 ? 0 : SaturatedMulDiv(units, frequency, unitsPerSecond);
}

std::uint64_t TicksToMs(std::uint64_t ticks) noexcept {
    return TicksToUnits(ticks, 1000, GetTicksFrequency());
}

std::uint64_t TicksToMks(std::uint64_t ticks) noexcept {
    return TicksToUnits(ticks, 1000000, GetTicksFrequency());
}

std::uint64_t MsToTicks(std::uint64_t ms) noexcept {
    return UnitsToTicks(ms, 1000, GetTicksFrequency());
}

std::int64_t GetTime100ns() noexcept {
    const std::uint64_t frequency = GetTicksFrequency();
    if (frequency == 0) {
        return 0;
    }
    return TruncateToInt64(static_cast<double>(GetTicks()) * 10000000.0 / static_cast<double>(frequency));
}

std::int64_t MulDivDouble(std::int64_t a, std::int64_t b, std::int64_t c) noexcept {
    if (c == 0) {
        return 0;
    }
    return TruncateToInt64(static_cast<double>(a) * static_cast<double>(b) / static_cast<double>(c));
}

IClock& RealClock() noexcept {
    class Real final : public IClock {
    public:
        std::int64_t NowMs() noexcept override { return static_cast<std::int64_t>(TicksToMs(GetTicks())); }
    };
    static Real clock;
    return clock;
}

IClock& WallClock() noexcept {
    class Wall final : public IClock {
    public:
        std::int64_t NowMs() noexcept override { return platform::UnixTimeMs(); }
    };
    // Never destroyed: threads of process-wide services read it until the process ends.
    static Wall* const clock = new Wall();
    return *clock;
}
