#include "platform/calendar_time.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using platform::CalendarTime;

CalendarTime Make(int y, int mo, int dow, int d, int h, int mi, int s, int ms) {
    CalendarTime c;
    c.year = static_cast<std::uint16_t>(y);
    c.month = static_cast<std::uint16_t>(mo);
    c.dayOfWeek = static_cast<std::uint16_t>(dow);
    c.day = static_cast<std::uint16_t>(d);
    c.hour = static_cast<std::uint16_t>(h);
    c.minute = static_cast<std::uint16_t>(mi);
    c.second = static_cast<std::uint16_t>(s);
    c.millisecond = static_cast<std::uint16_t>(ms);
    return c;
}

std::int64_t MinutesOf(const CalendarTime& c) {
    return (platform::DayNumber(c.year, c.month, c.day) * 24 + c.hour) * 60 + c.minute;
}

TEST(PlatformCalendarTime, KnownInstantsInUtc) {
    EXPECT_EQ(platform::UtcTimeFromUnixMs(0), Make(1970, 1, 4, 1, 0, 0, 0, 0));
    // 1700000000123 ms: Tuesday 2023-11-14 22:13:20.123 UTC.
    EXPECT_EQ(platform::UtcTimeFromUnixMs(1700000000123LL), Make(2023, 11, 2, 14, 22, 13, 20, 123));
    // A leap day: Thursday 2024-02-29 23:59:59.999 UTC.
    EXPECT_EQ(platform::UtcTimeFromUnixMs(1709251199999LL), Make(2024, 2, 4, 29, 23, 59, 59, 999));
}

TEST(PlatformCalendarTime, DayNumbersCountCalendarDays) {
    EXPECT_EQ(platform::DayNumber(1970, 1, 1), 0);
    EXPECT_EQ(platform::DayNumber(1969, 12, 31), -1);
    EXPECT_EQ(platform::DayNumber(2000, 3, 1) - platform::DayNumber(2000, 2, 28), 2) << "2000 is a leap year";
    EXPECT_EQ(platform::DayNumber(1900, 3, 1) - platform::DayNumber(1900, 2, 28), 1) << "1900 is not";
    EXPECT_EQ(platform::DayNumber(2025, 1, 1) - platform::DayNumber(2024, 1, 1), 366);
    static_assert(platform::DayNumber(2024, 1, 25) == 19747);
    // Every day of several years, also across month and year ends, matches the UTC conversion.
    for (std::int64_t day = platform::DayNumber(2023, 1, 1); day < platform::DayNumber(2029, 1, 1); ++day) {
        const CalendarTime c = platform::UtcTimeFromUnixMs(day * 86400000LL + 43200000LL);
        ASSERT_EQ(platform::DayNumber(c.year, c.month, c.day), day);
        ASSERT_EQ(platform::CalendarFromMs(day * 86400000LL + 43200000LL), c);
        ASSERT_EQ(c.dayOfWeek, static_cast<std::uint16_t>(((day % 7) + 11) % 7))
            << "1970-01-01 was a Thursday";
    }
}

TEST(PlatformCalendarTime, LocalAndUtcOfOneInstantDifferByAZoneOffset) {
    const std::int64_t now = platform::UnixTimeMs();
    const CalendarTime utc = platform::UtcTimeFromUnixMs(now);
    const CalendarTime local = platform::LocalTimeFromUnixMs(now);
    EXPECT_EQ(utc.second, local.second);
    EXPECT_EQ(utc.millisecond, local.millisecond);
    const std::int64_t offset = MinutesOf(local) - MinutesOf(utc);
    EXPECT_LE(std::llabs(offset), 14 * 60);
    EXPECT_EQ(offset % 15, 0) << "zone offsets are whole quarter hours";
    EXPECT_EQ(MinutesOf(utc), now / 60000) << "UTC minutes count from 1970";
}

TEST(PlatformCalendarTime, CurrentTimesAreSaneAndAgree) {
    const std::int64_t before = platform::UnixTimeMs();
    const CalendarTime local = platform::LocalTimeNow();
    const CalendarTime utc = platform::UtcTimeNow();
    const std::int64_t seconds = platform::UnixTimeSeconds();
    const std::int64_t after = platform::UnixTimeMs();

    EXPECT_GE(before, 1700000000000LL) << "the clock is past November 2023";
    EXPECT_LE(before, after);
    EXPECT_GE(seconds, before / 1000);
    EXPECT_LE(seconds, after / 1000);
    for (const CalendarTime& c : {local, utc}) {
        EXPECT_GE(c.year, 2023);
        EXPECT_TRUE(c.month >= 1 && c.month <= 12);
        EXPECT_TRUE(c.day >= 1 && c.day <= 31);
        EXPECT_LE(c.dayOfWeek, 6);
        EXPECT_LE(c.hour, 23);
        EXPECT_LE(c.minute, 59);
        EXPECT_LE(c.second, 59);
        EXPECT_LE(c.millisecond, 999);
    }
    // UtcTimeNow lies between the two readings around it.
    const std::int64_t utcMs =
        ((MinutesOf(utc) * 60) + utc.second) * 1000 + static_cast<std::int64_t>(utc.millisecond);
    EXPECT_GE(utcMs, before);
    EXPECT_LE(utcMs, after);
    // Local now agrees with the conversion of the same moment up to the time between the calls.
    const CalendarTime converted = platform::LocalTimeFromUnixMs(platform::UnixTimeMs());
    EXPECT_LE(std::llabs(MinutesOf(converted) - MinutesOf(local)), 1);
}

}  // namespace
