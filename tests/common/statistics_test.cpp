#include "common/statistics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <vector>

#include "log_test_support.h"

namespace {

std::atomic<std::uint64_t> g_minute{29000000};  // a minute in 2025
std::uint64_t FakeMinute() {
    return g_minute.load();
}

// Configured as (kind, 1, inputRate, 1000, minimum, maximum) on the fake minute; fed intervals from 1000 on.
struct Driven {
    explicit Driven(const wchar_t* name, std::uint64_t inputRate = 1000, std::int32_t minimum = 0,
                    std::int32_t maximum = 50, std::uint32_t kind = 0)
        : stats(name) {
        stats.SetMinuteSource(&FakeMinute);
        stats.Configure(kind, 1, inputRate, 1000, minimum, maximum);
        stats.AddSample(t);
    }
    Driven& Intervals(const std::vector<std::uint64_t>& intervals) {
        for (std::uint64_t d : intervals) {
            stats.AddSample(t += d);
        }
        return *this;
    }
    std::wstring Report() const {
        static const std::wregex time(L"\\(\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\)");
        return std::regex_replace(stats.FormatReport(), time, L"(t)");
    }
    Statistics stats;
    std::uint64_t t = 1000;
};

TEST(Statistics, HistogramExtremesAndReport) {
    const struct Row {
        std::uint64_t inputRate;
        std::int32_t minimum;
        std::uint32_t kind;
        std::vector<std::uint64_t> intervals;
        std::wstring report;
    } rows[] = {
        {1000, 0, 0, {10, 10, 20}, L"N=3, E=13.3333, J=4.44444, S=4.71405, Min=10, Max=20(t), Unit=1/1000"},
        {1000,
         0,
         0,
         {10, 10, 20, 70},  // 70 counts as 51, the upper outer bucket, but Max is 70
         L"N=4, E=22.75, J=14.125, S=16.8133, Min=10, Max=70(t), Unit=1/1000"},
        {1000, 0, 1, {10}, L"N=1, E=10, Min=10, Max=10(t), Unit=1/1000"},
        {1000000000, 0, 0, {9500000, 9499999}, L"N=2, E=9.5, J=0.5, S=0.5, Min=9, Max=10(t), Unit=1/1000"},
        {1000,
         5,
         1,
         {4, 5, 50, 51, 51},  // the minimum and the maximum have buckets of their own
         L"N=5, E=32.2, Min=4, Max=51(t), Unit=1/1000 Histogram:  least:20 [5]:20 [50]:20 greatest:40"},
    };
    for (const Row& row : rows) {
        Driven d(L"S", row.inputRate, row.minimum, 50, row.kind);
        d.stats.SetPrintHistogram(row.minimum == 5);
        EXPECT_EQ(d.Intervals(row.intervals).Report(), L"STATISTICS: S: " + row.report);
    }
}

TEST(Statistics, ReportedAtLevelThreeAndAtEachNewPeriod) {
    testing_support::LogCapture capture;
    const std::uint32_t oldLevel = capture.Log().SetLoggingLevel(2);
    Driven quiet(L"Test.Level2");
    quiet.Intervals({10, 10}).stats.ReportAndReset();
    EXPECT_EQ(quiet.stats.Count(), 0u) << "reset even when not written";
    capture.Log().SetLoggingLevel(3);
    Driven d(L"Test.Period");
    d.Intervals({10, 20});
    ++g_minute;
    d.Intervals({40});  // measured, then the new minute reports all three and resets
    EXPECT_EQ(d.stats.Count(), 0u);
    d.Intervals({5});  // the time stamp before the reset still counts as previous
    EXPECT_EQ(d.stats.MinValue(), 5.0);
    capture.Log().SetLoggingLevel(oldLevel);
    EXPECT_TRUE(capture.Containing(L"Test.Level2").empty());
    EXPECT_EQ(capture.Containing(L"STATISTICS: Test.Period: N=3, E=23.3333,").size(), 1u);
}

TEST(PeriodClock, AlignedPeriodsAndTheSilentFirstCall) {
    PeriodClock fresh(5, &FakeMinute);
    const std::pair<std::uint64_t, bool> steps[] = {
        {1003, false}, {1004, false}, {1005, true}, {1009, false}, {1100, true}};
    for (const auto& [minute, turns] : steps) {
        EXPECT_EQ(fresh.IsNewPeriod(minute), turns) << minute << " (the first call only records the period)";
    }
    PeriodClock started(1, &FakeMinute);
    started.Start();
    EXPECT_FALSE(started.IsNewPeriod());
    ++g_minute;
    EXPECT_TRUE(started.IsNewPeriod()) << "a started clock reports its first turn";
}

}  // namespace
