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

// a / b rounded toward minus infinity (b > 0), so that instants before 1970 fall into their own day.
[[nodiscard]] constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) noexcept {
    return a / b - ((a % b != 0 && a < 0) ? 1 : 0);
}

// The calendar fields of `ms` milliseconds since 1970-01-01 00:00, counted without a zone: UTC for a
// Unix time, local time for a Unix time already shifted by the zone offset. The inverse of
// MsFromCalendar; years before 0 give year 0.
[[nodiscard]] constexpr CalendarTime CalendarFromMs(std::int64_t ms) noexcept {
    const std::int64_t seconds = FloorDiv(ms, 1000);
    const std::int64_t days = FloorDiv(seconds, 86400);
    const auto secondOfDay = static_cast<unsigned>(seconds - days * 86400);
    // Civil from days: the inverse of DayNumber, with years starting in March.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    CalendarTime c;
    c.year = static_cast<std::uint16_t>(year < 0 ? 0 : year);
    c.month = static_cast<std::uint16_t>(month);
    c.dayOfWeek = static_cast<std::uint16_t>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    c.day = static_cast<std::uint16_t>(doy - (153 * mp + 2) / 5 + 1);
    c.hour = static_cast<std::uint16_t>(secondOfDay / 3600);
    c.minute = static_cast<std::uint16_t>(secondOfDay / 60 % 60);
    c.second = static_cast<std::uint16_t>(secondOfDay % 60);
    c.millisecond = static_cast<std::uint16_t>(ms - seconds * 1000);
    return c;
}

// Milliseconds since 1970-01-01 00:00 of calendar fields counted without a zone (dayOfWeek is ignored).
[[nodiscard]] constexpr std::int64_t MsFromCalendar(const CalendarTime& c) noexcept {
    const std::int64_t seconds =
        ((DayNumber(c.year, c.month, c.day) * 24 + c.hour) * 60 + c.minute) * 60 + c.second;
    return seconds * 1000 + c.millisecond;
}

}  // namespace platform
