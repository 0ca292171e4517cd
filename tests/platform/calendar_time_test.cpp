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
    // Unix milliseconds, then year, month, day of the week, day, hour, minute, second, millisecond.
    for (const std::vector<std::int64_t>& c : {std::vector<std::int64_t>{0, 1970, 1, 4, 1, 0, 0, 0, 0},
                                               {1700000000123LL, 2023, 11, 2, 14, 22, 13, 20, 123},
                                               {1709251199999LL, 2024, 2, 4, 29, 23, 59, 59, 999}}) {
        const CalendarTime t = platform::UtcTimeFromUnixMs(c[0]);
        EXPECT_EQ(c, (std::vector<std::int64_t>{c[0], t.year, t.month, t.dayOfWeek, t.day, t.hour, t.minute,
                                                t.second, t.millisecond}));
    }
}

TEST(PlatformCalendarTime, DayNumbersCountCalendarDays) {
    EXPECT_EQ(platform::DayNumber(2000, 3, 1) - platform::DayNumber(2000, 2, 28), 2) << "2000 is a leap year";
    EXPECT_EQ(platform::DayNumber(1900, 3, 1) - platform::DayNumber(1900, 2, 28), 1) << "1900 is not";
    // Every day of several years, across month and year ends, matches the UTC conversion.
    for (std::int64_t day = platform::DayNumber(2023, 1, 1); day < platform::DayNumber(2029, 1, 1); ++day) {
        const CalendarTime c = platform::UtcTimeFromUnixMs(day * 86400000LL + 43200000LL);
        ASSERT_EQ(platform::DayNumber(c.year, c.month, c.day), day);
        ASSERT_EQ(platform::CalendarFromMs(day * 86400000LL + 43200000LL), c);
        ASSERT_EQ(c.dayOfWeek, static_cast<std::uint16_t>(((day % 7) + 11) % 7))
            << "1970-01-01 was a Thursday";
    }
}

TEST(PlatformCalendarTime, NowInUtcAndLocalTimeDifferByAZoneOffset) {
    const std::int64_t before = platform::UnixTimeMs();
    const CalendarTime utc = platform::UtcTimeNow();
    const std::int64_t offset = MinutesOf(platform::LocalTimeNow()) - MinutesOf(utc);
    const std::int64_t utc_ms = (MinutesOf(utc) * 60 + utc.second) * 1000 + utc.millisecond;
    EXPECT_TRUE(before <= utc_ms && utc_ms <= platform::UnixTimeMs());
    EXPECT_TRUE(std::llabs(offset) <= 14 * 60 && offset % 15 == 0) << "whole quarter hours";
}

}  // namespace
