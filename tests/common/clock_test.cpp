#include "common/clock.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(Clock, ConversionsTruncateAndNeverOverflow) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t month = 30ull * 24 * 3600 * 1000000000ull;  // of a nanosecond counter
    const struct Row {
        std::uint64_t value, unitsPerSecond, frequency, ticksToUnits;
    } rows[] = {
        {10000, 1000, 10000000, 1},
        {9999, 1000, 10000000, 0},  // 10 MHz: truncated, not rounded
        {25000, 1000000, 10000000, 2500},
        {123, 1000, 0, 0},  // no frequency, no time
        {month, 1000000, 1000000000, month / 1000},
        {kMax, 1000000, 1000, kMax},  // saturates
    };
    for (const Row& row : rows) {
        EXPECT_EQ(TicksToUnits(row.value, row.unitsPerSecond, row.frequency), row.ticksToUnits) << row.value;
    }
    EXPECT_EQ(UnitsToTicks(5, 1000, 10000000), 50000u);
    EXPECT_EQ(UnitsToTicks(month / 1000000, 1000, 1000000000), month);
    EXPECT_EQ(MsToTicks(1000), GetTicksFrequency());
}

TEST(Clock, MulDivDoubleTruncatesTowardZeroAndSaturates) {
    EXPECT_EQ(MulDivDouble(7, 3, 2), 10);
    EXPECT_EQ(MulDivDouble(-7, 3, 2), -10);
    EXPECT_EQ(MulDivDouble(3000000000LL, 3000000000LL, 1000000000LL), 9000000000LL);
    EXPECT_EQ(MulDivDouble(5, 5, 0), 0);
    EXPECT_EQ(MulDivDouble(std::numeric_limits<std::int64_t>::max(), -4, 1),
              std::numeric_limits<std::int64_t>::min());
}

}  // namespace
