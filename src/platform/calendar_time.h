// Wall-clock time: calendar fields in local time and UTC, and seconds/milliseconds since 1970.
#pragma once

#include <cstdint>

namespace platform {

// A calendar date and time of day, field for field like the Windows SYSTEMTIME.
struct CalendarTime {
    std::uint16_t year = 0;         // e.g. 2024
    std::uint16_t month = 0;        // 1..12
    std::uint16_t dayOfWeek = 0;    // 0 = Sunday .. 6 = Saturday
    std::uint16_t day = 0;          // 1..31
    std::uint16_t hour = 0;         // 0..23
    std::uint16_t minute = 0;       // 0..59
    std::uint16_t second = 0;       // 0..59 (60 never appears)
    std::uint16_t millisecond = 0;  // 0..999

    friend bool operator==(const CalendarTime&, const CalendarTime&) = default;
};

// Current local time (GetLocalTime / localtime_r of the real-time clock).
[[nodiscard]] CalendarTime LocalTimeNow() noexcept;

// Current UTC time (GetSystemTime / gmtime_r of the real-time clock).
[[nodiscard]] CalendarTime UtcTimeNow() noexcept;

// Milliseconds since 1970-01-01 00:00:00 UTC, from the real-time clock.
[[nodiscard]] std::int64_t UnixTimeMs() noexcept;

// Whole seconds since 1970-01-01 00:00:00 UTC (what _time64 gives).
[[nodiscard]] std::int64_t UnixTimeSeconds() noexcept;

// The instant `unixMs` expressed as local time / as UTC. Callers that need several clocks to agree
// read UnixTimeMs once and convert it.
[[nodiscard]] CalendarTime LocalTimeFromUnixMs(std::int64_t unixMs) noexcept;
[[nodiscard]] CalendarTime UtcTimeFromUnixMs(std::int64_t unixMs) noexcept;

// Day number of a proleptic Gregorian date: days since 1970-01-01 (negative before it). Consecutive
// calendar days have consecutive numbers, so "n days before" is a subtraction.
[[nodiscard]] constexpr std::int64_t DayNumber(int year, unsigned month, unsigned day) noexcept {
    // Days from civil: shift the year to start in March so that the leap day is the year's last day.
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned mp = month > 2 ? month - 3 : month + 9;
    const unsigned doy = (153 * mp + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace platform
