#include "common/statistics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>

#include "log_test_support.h"

namespace {

std::atomic<std::uint64_t> g_minute{29000000};  // a minute in 2025
std::uint64_t FakeMinute() {
    return g_minute.load();
}

// Configured as (0, 1, inputRate, 1000, minimum, maximum) on the fake minute; fed intervals from 1000 on.
struct Driven {
    explicit Driven(const wchar_t* name, std::uint64_t inputRate = 1000, std::int32_t minimum = 0,
                    std::int32_t maximum = 50, std::uint32_t kind = 0)
        : stats(name) {
        stats.SetMinuteSource(&FakeMinute);
        stats.Configure(kind, 1, inputRate, 1000, minimum, maximum);
    }
    void Intervals(std::initializer_list<std::uint64_t> intervals) {
        stats.AddSample(t);
        for (std::uint64_t d : intervals) {
            stats.AddSample(t += d);
        }
    }
    std::uint64_t Bucket(std::int32_t value) const {
        return stats.Buckets().at(static_cast<std::size_t>(value - stats.LowerBound()));
    }
    std::wstring Report() const {
        return std::regex_replace(stats.FormatReport(), std::wregex(L"\\(\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\)"), L"(t)");
    }
    Statistics stats;
    std::uint64_t t = 1000;
};

TEST(Statistics, HistogramExtremesAndReport) {
    Driven d(L"Test.Recv");
    d.Intervals({10, 10, 20});
    EXPECT_EQ(d.Report(), L"STATISTICS: Test.Recv: N=3, E=13.3333, J=4.44444, S=4.71405, Min=10, Max=20(t), Unit=1/1000");
    d.stats.AddSample(d.t + 70);  // beyond the maximum: the upper outer bucket, but Max is the real value
    EXPECT_EQ(d.Bucket(51), 1u);
    EXPECT_EQ(d.Report(), L"STATISTICS: Test.Recv: N=4, E=22.75, J=14.125, S=16.8133, Min=10, Max=70(t), Unit=1/1000");

    Driven h(L"Test.Hist", 1000, 5, 50);
    h.stats.SetPrintHistogram(true);
    h.Intervals({4, 5, 50, 51});
    EXPECT_EQ(h.Bucket(4), 1u) << "below the minimum";
    EXPECT_EQ(h.Bucket(5), 1u) << "the minimum has its own bucket";
    EXPECT_EQ(h.Bucket(50), 1u) << "so has the maximum";
    EXPECT_EQ(h.Bucket(51), 1u) << "above the maximum";
    EXPECT_NE(h.Report().find(L" Histogram:  least:25 [5]:25 [50]:25 greatest:25"), std::wstring::npos)
        << h.Report().c_str();

    Driven brief(L"Test.Brief", 1000, 0, 50, 1);
    brief.Intervals({10});
    EXPECT_EQ(brief.Report(), L"STATISTICS: Test.Brief: N=1, E=10, Min=10, Max=10(t), Unit=1/1000");
}

TEST(Statistics, TicksAreScaledWithRoundingToTheOutputUnit) {
    Driven d(L"Test.Rate", 1000000000);  // nanosecond time stamps, millisecond values
    d.Intervals({9500000, 9499999});
    EXPECT_EQ(d.Bucket(10), 1u) << "9.5 ms rounds up";
    EXPECT_EQ(d.Bucket(9), 1u) << "just below rounds down";
}

TEST(Statistics, ReportedAtLevelThreeAndAtEachNewPeriod) {
    testing_support::ProcessLogCapture capture;
    const std::uint32_t oldLevel = capture.Log().SetLoggingLevel(2);
    g_minute = 29000100;
    Driven quiet(L"Test.Level2");
    quiet.Intervals({10, 10});
    quiet.stats.ReportAndReset();
    EXPECT_EQ(quiet.stats.Count(), 0u) << "reset even when not written";

    capture.Log().SetLoggingLevel(3);
    Driven d(L"Test.Period");
    d.Intervals({10, 20});
    g_minute = 29000101;
    d.stats.AddSample(d.t += 40);  // measured, then the new minute reports all three and resets
    EXPECT_EQ(d.stats.Count(), 0u);
    d.stats.AddSample(d.t += 5);  // the time stamp before the reset still counts as previous
    EXPECT_EQ(d.Bucket(5), 1u);
    capture.Log().SetLoggingLevel(oldLevel);
    capture.Sync();
    EXPECT_TRUE(capture.Containing(L"Test.Level2").empty());
    const auto lines = capture.Containing(L"STATISTICS: Test.Period: N=3, E=23.3333,");
    EXPECT_EQ(lines.size(), 1u);
}

TEST(PeriodClock, AlignedPeriodsAndTheSilentFirstCall) {
    PeriodClock fresh(5, &FakeMinute);
    EXPECT_FALSE(fresh.IsNewPeriod(1003)) << "the first call only records the period";
    EXPECT_FALSE(fresh.IsNewPeriod(1004));
    EXPECT_TRUE(fresh.IsNewPeriod(1005));
    EXPECT_FALSE(fresh.IsNewPeriod(1009));
    EXPECT_TRUE(fresh.IsNewPeriod(1100)) << "any other period, also an earlier one";
    PeriodClock started(1, &FakeMinute);
    started.Start();
    EXPECT_FALSE(started.IsNewPeriod());
    ++g_minute;
    EXPECT_TRUE(started.IsNewPeriod()) << "a started clock reports its first turn";
}

}  // namespace
