#include "common/clock.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(Clock, ConversionsTruncateAndNeverOverflow) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t month = 30ull * 24 * 3600 * 1000000000ull;  // of a nanosecond counter
    EXPECT_EQ(TicksToUnits(10000, 1000, 10000000), 1u);
    EXPECT_EQ(TicksToUnits(9999, 1000, 10000000), 0u) << "truncated, not rounded";
    EXPECT_EQ(TicksToUnits(123, 1000, 0), 0u) << "no frequency, no time";
    EXPECT_EQ(TicksToUnits(month, 1000000, 1000000000), month / 1000);
    EXPECT_EQ(TicksToUnits(kMax, 1000000, 1000), kMax) << "saturates";
    EXPECT_EQ(UnitsToTicks(month / 1000000, 1000, 1000000000), month);
    EXPECT_EQ(MulDivDouble(-7, 3, 2), -10) << "toward zero";
    EXPECT_EQ(MulDivDouble(3000000000LL, 3000000000LL, 1000000000LL), 9000000000LL);
    EXPECT_EQ(MulDivDouble(5, 5, 0), 0);
}

}  // namespace
