#include "common/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>

namespace {

TEST(Clock, ConversionsAreExactIntegerArithmetic) {
    // A 10 MHz counter (Windows' usual frequency) and a nanosecond counter (POSIX).
    EXPECT_EQ(TicksToUnits(10000, 1000, 10000000), 1u);
    EXPECT_EQ(TicksToUnits(9999, 1000, 10000000), 0u) << "truncated, not rounded";
    EXPECT_EQ(TicksToUnits(25000, 1000000, 10000000), 2500u);
    EXPECT_EQ(TicksToUnits(1999999, 1000, 1000000000), 1u);
    EXPECT_EQ(UnitsToTicks(5, 1000, 10000000), 50000u);
    EXPECT_EQ(UnitsToTicks(5, 1000, 1000000000), 5000000u);
    EXPECT_EQ(UnitsToTicks(1, 1000, 999), 0u) << "999 * 1 / 1000 truncates to 0";
    EXPECT_EQ(TicksToUnits(123, 1000, 0), 0u) << "no frequency, no time";
}

TEST(Clock, LargeTickValuesDoNotOverflow) {
    // Thirty days of a nanosecond counter: ticks * 10^6 is far beyond 64 bits.
    const std::uint64_t ticks = 30ull * 24 * 3600 * 1000000000ull;
    EXPECT_EQ(TicksToUnits(ticks, 1000000, 1000000000), 30ull * 24 * 3600 * 1000000ull);
    EXPECT_EQ(TicksToUnits(ticks, 1000, 1000000000), 30ull * 24 * 3600 * 1000ull);
    EXPECT_EQ(UnitsToTicks(30ull * 24 * 3600 * 1000ull, 1000, 1000000000), ticks);
    // A result beyond 64 bits saturates instead of wrapping to a small number.
    EXPECT_EQ(TicksToUnits(std::numeric_limits<std::uint64_t>::max(), 1000000, 1000),
              std::numeric_limits<std::uint64_t>::max());
}

TEST(Clock, ProcessClockAgreesWithItsFrequency) {
    const std::uint64_t frequency = GetTicksFrequency();
    ASSERT_GT(frequency, 0u);
    EXPECT_EQ(TicksToMs(frequency * 3 / 2), 1500u);
    EXPECT_EQ(TicksToMks(frequency), 1000000u);
    EXPECT_EQ(MsToTicks(5), frequency / 200);
    const std::uint64_t start = GetTicks();
    const std::int64_t start100ns = GetTime100ns();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a known minimum span to measure
    EXPECT_GE(TicksToMs(GetTicks() - start), 20u);
    EXPECT_GE(GetTime100ns() - start100ns, 200000);
}

TEST(Clock, MulDivDoubleTruncatesTowardZero) {
    EXPECT_EQ(MulDivDouble(7, 3, 2), 10);    // 10.5
    EXPECT_EQ(MulDivDouble(-7, 3, 2), -10);  // -10.5 toward zero
    EXPECT_EQ(MulDivDouble(7, -3, -2), 10);
    EXPECT_EQ(MulDivDouble(1, 1, 3), 0);
    EXPECT_EQ(MulDivDouble(3000000000LL, 3000000000LL, 1000000000LL), 9000000000LL)
        << "the product exceeds 64 bits; double precision keeps the result";
    EXPECT_EQ(MulDivDouble(5, 5, 0), 0) << "division by zero gives 0, not an undefined conversion";
    EXPECT_EQ(MulDivDouble(std::numeric_limits<std::int64_t>::max(), 4, 1),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(MulDivDouble(std::numeric_limits<std::int64_t>::max(), -4, 1),
              std::numeric_limits<std::int64_t>::min());
}

}  // namespace
