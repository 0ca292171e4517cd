#include "common/statistics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>

#include "log_test_support.h"

namespace {

using testing_support::ProcessLogCapture;

std::atomic<std::uint64_t> g_minute{29000000};  // a minute in 2025
std::uint64_t FakeMinute() {
    return g_minute.load();
}

// A Statistics driven by the fake minute, configured as the RTP manager does for milliseconds.
struct Driven {
    explicit Driven(const wchar_t* name, std::uint32_t kind = 0, std::uint64_t inputRate = 1000,
                    std::int32_t minimum = 0, std::int32_t maximum = 50)
        : stats(name) {
        stats.SetMinuteSource(&FakeMinute);
        stats.Configure(kind, 1, inputRate, 1000, minimum, maximum);
    }
    // Feeds time stamps that are the given intervals apart, starting at 1000.
    void Intervals(std::initializer_list<std::uint64_t> intervals) {
        std::uint64_t t = 1000;
        stats.AddSample(t);
        for (std::uint64_t d : intervals) {
            t += d;
            stats.AddSample(t);
        }
    }
    std::uint64_t Bucket(std::int32_t value) const {
        return stats.Buckets().at(static_cast<std::size_t>(value - stats.LowerBound()));
    }
    Statistics stats;
};

// The report with the time of the maximum (HH:MM:SS.mmm, local time) replaced by "hh:mm:ss.mmm"; an
// ill-formed time stays as it is and fails the comparison.
std::wstring MaskTime(std::wstring text) {
    const std::size_t open = text.find(L"(");
    if (open == std::wstring::npos || open + 14 > text.size() || text[open + 13] != L')') {
        return text;
    }
    const std::wstring shape = L"dd:dd:dd.ddd";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const wchar_t c = text[open + 1 + i];
        if (shape[i] == L'd' ? (c < L'0' || c > L'9') : c != shape[i]) {
            return text;
        }
    }
    text.replace(open + 1, 12, L"hh:mm:ss.mmm");
    return text;
}

TEST(Statistics, IntervalsFillTheHistogramAndTheExtremes) {
    Driven d(L"Test.Recv");
    EXPECT_EQ(d.stats.Buckets().size(), 53u) << "0..50 plus one outer bucket on each side";
    EXPECT_EQ(d.stats.LowerBound(), -1);
    EXPECT_EQ(d.stats.UpperBound(), 51);

    d.Intervals({10, 10, 20});
    EXPECT_EQ(d.stats.Count(), 3u);
    EXPECT_EQ(d.stats.MinValue(), 10.0);
    EXPECT_EQ(d.stats.MaxValue(), 20.0);
    EXPECT_EQ(d.Bucket(10), 2u);
    EXPECT_EQ(d.Bucket(20), 1u);
    EXPECT_EQ(MaskTime(d.stats.FormatReport()),
              L"STATISTICS: Test.Recv: N=3, E=13.3333, J=4.44444, S=4.71405, "
              L"Min=10, Max=20(hh:mm:ss.mmm), Unit=1/1000");

    // 70 is beyond the maximum: counted in the upper outer bucket (value 51), but Max is the real value.
    d.stats.AddSample(1000 + 40 + 70);
    EXPECT_EQ(d.stats.Count(), 4u);
    EXPECT_EQ(d.Bucket(51), 1u);
    EXPECT_EQ(d.stats.MaxValue(), 70.0);
    // The mean and deviations use the bucket value 51: E = (10+10+20+51)/4.
    EXPECT_EQ(MaskTime(d.stats.FormatReport()),
              L"STATISTICS: Test.Recv: N=4, E=22.75, J=14.125, S=16.8133, "
              L"Min=10, Max=70(hh:mm:ss.mmm), Unit=1/1000");
}

TEST(Statistics, TicksAreScaledWithRoundingToTheOutputUnit) {
    Driven d(L"Test.Rate", 0, 1000000000);  // nanosecond time stamps, millisecond values
    d.Intervals({9500000});                 // 9.5 ms rounds up
    EXPECT_EQ(d.stats.MaxValue(), 10.0);
    d.stats.AddSample(1000 + 9500000 + 9499999);  // just below 9.5 ms rounds down
    EXPECT_EQ(d.stats.MinValue(), 9.0);
    EXPECT_EQ(d.Bucket(10), 1u);
    EXPECT_EQ(d.Bucket(9), 1u);
}

TEST(Statistics, OuterBucketsHistogramAndKind) {
    Driven d(L"Test.Hist", 0, 1000, 5, 50);
    d.stats.SetPrintHistogram(true);
    d.Intervals({2, 10, 10, 70});
    EXPECT_EQ(d.Bucket(4), 1u) << "below the minimum: the lower outer bucket";
    EXPECT_EQ(d.stats.MinValue(), 2.0);
    EXPECT_EQ(
        MaskTime(d.stats.FormatReport()),
        L"STATISTICS: Test.Hist: N=4, E=18.75, J=16.125, S=18.78, Min=2, Max=70(hh:mm:ss.mmm), Unit=1/1000"
        L" Histogram:  least:25 [10]:50 greatest:25");

    Driven brief(L"Test.Brief", 1);
    brief.Intervals({10});
    EXPECT_EQ(MaskTime(brief.stats.FormatReport()),
              L"STATISTICS: Test.Brief: N=1, E=10, Min=10, Max=10(hh:mm:ss.mmm), Unit=1/1000")
        << "a kind other than 0 prints neither J nor S";
}

TEST(Statistics, HugeAndBackwardIntervalsSaturate) {
    Driven d(L"Test.Huge");
    d.stats.AddInterval(5000000000ull);  // input rate = output rate: taken as it is
    EXPECT_EQ(d.stats.MaxValue(), 2147483647.0) << "saturates at the 32-bit maximum instead of wrapping";
    EXPECT_EQ(d.Bucket(51), 1u);
    d.stats.AddSample(500);
    d.stats.AddSample(400);  // time stamps out of order
    EXPECT_EQ(d.Bucket(51), 2u);
    EXPECT_EQ(d.stats.MinValue(), 2147483647.0);
    EXPECT_EQ(d.stats.Count(), 2u);
}

TEST(Statistics, AddIntervalKeepsThePreviousTimeStamp) {
    Driven d(L"Test.Interval");
    d.stats.AddSample(100);
    d.stats.AddInterval(33);
    d.stats.AddSample(107);
    EXPECT_EQ(d.Bucket(33), 1u);
    EXPECT_EQ(d.Bucket(7), 1u);
    EXPECT_EQ(d.stats.Count(), 2u);
}

TEST(Statistics, NonsenseConfigurationIsMadeSane) {
    Statistics s(L"Test.Sane");
    s.SetMinuteSource(&FakeMinute);
    s.Configure(0, 0, 0, 0, 10, 10);
    EXPECT_EQ(s.LowerBound(), 9);
    EXPECT_EQ(s.UpperBound(), 12);
    EXPECT_EQ(s.Buckets().size(), 4u);
    s.AddInterval(3);
    s.AddInterval(11);
    EXPECT_EQ(s.Buckets()[0], 1u);
    EXPECT_EQ(s.Buckets()[2], 1u);
    // A range too wide for memory is cut to a million buckets rather than allocated.
    s.Configure(0, 1, 1000, 1000, 0, std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(s.LowerBound(), -1);
    EXPECT_EQ(s.UpperBound(), 1000001);
    EXPECT_EQ(s.Buckets().size(), 1000003u);
    s.Configure(0, 1, 1000, 1000, std::numeric_limits<std::int32_t>::min(), 5);
    EXPECT_EQ(s.LowerBound(), std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(s.Buckets().size(), 1000003u);
    s.AddInterval(7);
    EXPECT_EQ(s.Buckets().back(), 1u) << "the range was cut at its top end: 7 is above it";
}

TEST(StatisticsReport, WrittenAtLevelThreeOnly) {
    ProcessLogCapture capture;
    const std::uint32_t oldLevel = capture.Log().SetLoggingLevel(3);
    Driven d(L"Test.Level3");
    d.Intervals({10, 10, 20});
    d.stats.Report();
    EXPECT_EQ(d.stats.LastReported().n, 3u);
    EXPECT_NEAR(d.stats.LastReported().e, 13.3333, 0.001);
    EXPECT_EQ(d.stats.Count(), 3u) << "Report alone does not reset";
    d.stats.ReportAndReset();
    EXPECT_EQ(d.stats.Count(), 0u);
    d.stats.Report();  // nothing to report after the reset

    capture.Log().SetLoggingLevel(2);
    Driven quiet(L"Test.Level2");
    quiet.Intervals({10, 10});
    quiet.stats.ReportAndReset();
    EXPECT_EQ(quiet.stats.Count(), 0u) << "values are still reset";
    EXPECT_EQ(quiet.stats.LastReported().n, 0u);

    capture.Log().SetLoggingLevel(3);
    Driven off(L"Test.Disabled");
    off.stats.SetEnabled(false);
    off.Intervals({10});
    off.stats.Report();
    capture.Log().SetLoggingLevel(oldLevel);

    capture.Sync();
    const auto lines = capture.Containing(L"STATISTICS: Test.Level3:");
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) {
        const std::size_t start = line.find(L"STATISTICS: ");
        ASSERT_NE(start, std::wstring::npos);
        EXPECT_EQ(MaskTime(line.substr(start)),
                  L"STATISTICS: Test.Level3: N=3, E=13.3333, J=4.44444, S=4.71405, "
                  L"Min=10, Max=20(hh:mm:ss.mmm), Unit=1/1000\r\n");
    }
    EXPECT_TRUE(capture.Containing(L"Test.Level2").empty());
    EXPECT_TRUE(capture.Containing(L"Test.Disabled").empty());
}

TEST(StatisticsReport, ANewPeriodReportsAndResets) {
    ProcessLogCapture capture;
    const std::uint32_t oldLevel = capture.Log().SetLoggingLevel(3);
    g_minute = 29000100;
    Driven d(L"Test.Period");
    d.Intervals({10, 20});
    EXPECT_EQ(d.stats.Count(), 2u);
    g_minute = 29000101;
    d.stats.AddSample(1000 + 30 + 40);  // measured, then the new minute reports all three and resets
    EXPECT_EQ(d.stats.Count(), 0u);
    EXPECT_EQ(d.stats.LastReported().n, 3u);
    d.stats.AddSample(1000 + 70 + 5);  // the time stamp before the reset still counts as previous
    EXPECT_EQ(d.stats.Count(), 1u);
    EXPECT_EQ(d.Bucket(5), 1u);
    EXPECT_EQ(d.stats.MinValue(), 5.0);

    // At level 2 the period still resets, silently.
    capture.Log().SetLoggingLevel(2);
    g_minute = 29000102;
    d.stats.AddSample(1000 + 75 + 5);
    EXPECT_EQ(d.stats.Count(), 0u);
    capture.Log().SetLoggingLevel(oldLevel);

    capture.Sync();
    const auto lines = capture.Containing(L"STATISTICS: Test.Period:");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(L"N=3, E=23.3333,"), std::wstring::npos);
    EXPECT_NE(lines[0].find(L"Min=10, Max=40("), std::wstring::npos);
}

TEST(PeriodClock, AlignedPeriodsAndTheSilentFirstCall) {
    PeriodClock fresh(5, &FakeMinute);
    EXPECT_EQ(fresh.PeriodStart(), 0u);
    EXPECT_FALSE(fresh.IsNewPeriod(1003)) << "the first call only records the period";
    EXPECT_EQ(fresh.PeriodStart(), 1000u);
    EXPECT_FALSE(fresh.IsNewPeriod(1004));
    EXPECT_TRUE(fresh.IsNewPeriod(1005));
    EXPECT_EQ(fresh.PeriodStart(), 1005u);
    EXPECT_FALSE(fresh.IsNewPeriod(1009));
    EXPECT_TRUE(fresh.IsNewPeriod(1200)) << "any later period, however far";
    EXPECT_TRUE(fresh.IsNewPeriod(1100)) << "or earlier (the wall clock was set back)";

    PeriodClock started(1, &FakeMinute);
    g_minute = 29000200;
    started.Start();
    EXPECT_EQ(started.PeriodStart(), 29000200u);
    EXPECT_FALSE(started.IsNewPeriod());
    g_minute = 29000201;
    EXPECT_TRUE(started.IsNewPeriod()) << "a started clock reports its first turn";
    EXPECT_FALSE(started.IsNewPeriod());

    PeriodClock zero(0);
    EXPECT_EQ(zero.Length(), 1u) << "a period is at least one minute";
    zero.Start();
    EXPECT_EQ(zero.PeriodStart(), CurrentUnixMinute());
}

}  // namespace
