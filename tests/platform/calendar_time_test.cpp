#include "platform/calendar_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

using platform::CalendarTime;

std::int64_t MinutesOf(const CalendarTime& c) {
    return (platform::DayNumber(c.year, c.month, c.day) * 24 + c.hour) * 60 + c.minute;
}

TEST(PlatformCalendarTime, KnownInstantsInUtc) {
    const struct {
        std::int64_t unix_ms;
        int year, month, day_of_week, day, hour, minute, second, ms;
    } kCases[] = {
        {0, 1970, 1, 4, 1, 0, 0, 0, 0},
        {1700000000123LL, 2023, 11, 2, 14, 22, 13, 20, 123},  // a Tuesday
        {1709251199999LL, 2024, 2, 4, 29, 23, 59, 59, 999},   // a leap day, a Thursday
    };
    for (const auto& c : kCases) {
        const CalendarTime t = platform::UtcTimeFromUnixMs(c.unix_ms);
        EXPECT_EQ((std::vector<int>{t.year, t.month, t.dayOfWeek, t.day, t.hour, t.minute, t.second,
                                    t.millisecond}),
                  (std::vector<int>{c.year, c.month, c.day_of_week, c.day, c.hour, c.minute, c.second, c.ms}))
            << c.unix_ms;
    }
}

TEST(PlatformCalendarTime, DayNumbersCountCalendarDays) {
    EXPECT_EQ(platform::DayNumber(1969, 12, 31), -1);
    EXPECT_EQ(platform::DayNumber(2000, 3, 1) - platform::DayNumber(2000, 2, 28), 2) << "2000 is a leap year";
    EXPECT_EQ(platform::DayNumber(1900, 3, 1) - platform::DayNumber(1900, 2, 28), 1) << "1900 is not";
    // Every day of several years, across month and year ends, matches the UTC conversion.
    for (std::int64_t day = platform::DayNumber(2023, 1, 1); day < platform::DayNumber(2029, 1, 1); ++day) {
        const CalendarTime c = platform::UtcTimeFromUnixMs(day * 86400000LL + 43200000LL);
        ASSERT_EQ(platform::DayNumber(c.year, c.month, c.day), day);
        ASSERT_EQ(c.dayOfWeek, ((day % 7) + 11) % 7) << "1970-01-01 was a Thursday";
    }
}

TEST(PlatformCalendarTime, LocalAndUtcNowDifferByAZoneOffset) {
    const std::int64_t before = platform::UnixTimeMs();
    const CalendarTime utc = platform::UtcTimeNow();
    const CalendarTime local = platform::LocalTimeFromUnixMs(before);
    const std::int64_t after = platform::UnixTimeMs();
    const std::int64_t utc_ms = (MinutesOf(utc) * 60 + utc.second) * 1000 + utc.millisecond;
    EXPECT_TRUE(before <= utc_ms && utc_ms <= after);
    EXPECT_LE(platform::UnixTimeSeconds() - after / 1000, 1);
    const std::int64_t offset = MinutesOf(local) - (before / 60000);
    EXPECT_LE(std::llabs(offset), 14 * 60);
    EXPECT_EQ(offset % 15, 0) << "zone offsets are whole quarter hours";
    EXPECT_GE(platform::LocalTimeNow().year, 2023);
}

}  // namespace
