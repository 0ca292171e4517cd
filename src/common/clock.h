// The high-resolution clock all micro- and millisecond timing is done with.
//
// Ticks come from the platform's monotonic counter; the frequency is read once per process and kept.
// Conversions between ticks and time units use exact integer arithmetic with a 128-bit intermediate, so
// they neither overflow for large tick values (a nanosecond counter passes 2^64 / 10^6 after five hours)
// nor lose precision.
#pragma once

#include <cstdint>

// Current counter value; 0 when the counter cannot be read.
std::uint64_t GetTicks() noexcept;

// Ticks per second (read on first use, then cached); 0 when unavailable.
std::uint64_t GetTicksFrequency() noexcept;

// ticks * 1000 / frequency, truncated; 0 when the frequency is 0.
std::uint64_t TicksToMs(std::uint64_t ticks) noexcept;

// ticks * 1000000 / frequency, truncated; 0 when the frequency is 0.
std::uint64_t TicksToMks(std::uint64_t ticks) noexcept;

// ms * frequency / 1000, truncated.
std::uint64_t MsToTicks(std::uint64_t ms) noexcept;

// Current ticks in 100-nanosecond units: ticks * 10000000 / frequency computed in double precision and
// truncated toward zero; 0 when the frequency is 0.
std::int64_t GetTime100ns() noexcept;

// a * b / c computed in double precision and truncated toward zero. c = 0 gives 0, and results outside
// the signed 64-bit range saturate, instead of the undefined conversion of an infinite or huge double.
std::int64_t MulDivDouble(std::int64_t a, std::int64_t b, std::int64_t c) noexcept;

// The same conversions for an explicit frequency (what the ones above do with GetTicksFrequency).
std::uint64_t TicksToUnits(std::uint64_t ticks, std::uint64_t unitsPerSecond,
                           std::uint64_t frequency) noexcept;
std::uint64_t UnitsToTicks(std::uint64_t units, std::uint64_t unitsPerSecond,
                           std::uint64_t frequency) noexcept;

// A monotonic millisecond clock. Components whose rules run on time (repeats, give-ups, pings, idle
// visits) read it through this interface, so that tests can step time instead of waiting it out.
class IClock {
public:
    virtual ~IClock() = default;
    [[nodiscard]] virtual std::int64_t NowMs() noexcept = 0;
};

// The process's clock: the platform's monotonic counter in milliseconds.
[[nodiscard]] IClock& RealClock() noexcept;

// The wall clock through the same interface: milliseconds since 1970-01-01 UTC. It may jump when the
// system's time is set; for rules aligned to the calendar (windows of ten wall-clock seconds), not for
// measuring intervals.
[[nodiscard]] IClock& WallClock() noexcept;
