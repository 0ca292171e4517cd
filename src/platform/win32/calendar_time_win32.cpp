#ifdef _WIN32

#include <windows.h>

#include <ctime>

#include "platform/calendar_time.h"

namespace platform {
namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kEpochDifference100ns = 116444736000000000LL;

CalendarTime FromSystemTime(const SYSTEMTIME& t) noexcept {
    CalendarTime c;
    c.year = t.wYear;
    c.month = t.wMonth;
    c.dayOfWeek = t.wDayOfWeek;
    c.day = t.wDay;
    c.hour = t.wHour;
    c.minute = t.wMinute;
    c.second = t.wSecond;
    c.millisecond = t.wMilliseconds;
    return c;
}

bool ToUtcSystemTime(std::int64_t unixMs, SYSTEMTIME& utc) noexcept {
    const std::int64_t ft100ns = unixMs * 10000 + kEpochDifference100ns;
    if (ft100ns < 0) {
        return false;
    }
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ft100ns) & 0xFFFFFFFFu);
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<std::uint64_t>(ft100ns) >> 32);
    return ::FileTimeToSystemTime(&ft, &utc) != 0;
}

}  // namespace

CalendarTime LocalTimeNow() noexcept {
    SYSTEMTIME t;
    ::GetLocalTime(&t);
    return FromSystemTime(t);
}

CalendarTime UtcTimeNow() noexcept {
    SYSTEMTIME t;
    ::GetSystemTime(&t);
    return FromSystemTime(t);
}

std::int64_t UnixTimeMs() noexcept {
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    const std::int64_t ft100ns =
        static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    return (ft100ns - kEpochDifference100ns) / 10000;
}

std::int64_t UnixTimeSeconds() noexcept {
    return static_cast<std::int64_t>(::_time64(nullptr));
}

CalendarTime LocalTimeFromUnixMs(std::int64_t unixMs) noexcept {
    SYSTEMTIME utc;
    SYSTEMTIME local;
    if (!ToUtcSystemTime(unixMs, utc) || ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) == 0) {
        return {};
    }
    return FromSystemTime(local);
}

CalendarTime UtcTimeFromUnixMs(std::int64_t unixMs) noexcept {
    SYSTEMTIME utc;
    if (!ToUtcSystemTime(unixMs, utc)) {
        return {};
    }
    return FromSystemTime(utc);
}

}  // namespace platform

#endif  // _WIN32
