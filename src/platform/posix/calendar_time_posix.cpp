#ifndef _WIN32

#include <time.h>

#include "platform/calendar_time.h"

namespace platform {
namespace {

CalendarTime FromTm(const struct tm& t, std::int64_t millisecond) {
    CalendarTime c;
    c.year = static_cast<std::uint16_t>(t.tm_year + 1900);
    c.month = static_cast<std::uint16_t>(t.tm_mon + 1);
    c.dayOfWeek = static_cast<std::uint16_t>(t.tm_wday);
    c.day = static_cast<std::uint16_t>(t.tm_mday);
    c.hour = static_cast<std::uint16_t>(t.tm_hour);
    c.minute = static_cast<std::uint16_t>(t.tm_min);
    // A leap second shows as :59, as on Windows.
    c.second = static_cast<std::uint16_t>(t.tm_sec > 59 ? 59 : t.tm_sec);
    c.millisecond = static_cast<std::uint16_t>(millisecond);
    return c;
}

// Splits milliseconds since 1970 into whole seconds and the millisecond, rounding toward the past also
// for instants before 1970.
void Split(std::int64_t unixMs, time_t& seconds, std::int64_t& millisecond) {
    std::int64_t s = unixMs / 1000;
    std::int64_t ms = unixMs % 1000;
    if (ms < 0) {
        ms += 1000;
        --s;
    }
    seconds = static_cast<time_t>(s);
    millisecond = ms;
}

}  // namespace

std::int64_t UnixTimeMs() noexcept {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::int64_t UnixTimeSeconds() noexcept {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec);
}

CalendarTime LocalTimeFromUnixMs(std::int64_t unixMs) noexcept {
    time_t seconds = 0;
    std::int64_t ms = 0;
    Split(unixMs, seconds, ms);
    struct tm t {};
    if (localtime_r(&seconds, &t) == nullptr) {
        return {};
    }
    return FromTm(t, ms);
}

CalendarTime UtcTimeFromUnixMs(std::int64_t unixMs) noexcept {
    time_t seconds = 0;
    std::int64_t ms = 0;
    Split(unixMs, seconds, ms);
    struct tm t {};
    if (gmtime_r(&seconds, &t) == nullptr) {
        return {};
    }
    return FromTm(t, ms);
}

CalendarTime LocalTimeNow() noexcept {
    return LocalTimeFromUnixMs(UnixTimeMs());
}

CalendarTime UtcTimeNow() noexcept {
    return UtcTimeFromUnixMs(UnixTimeMs());
}

}  // namespace platform

#endif  // !_WIN32
