#include "common/statistics.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "log_test_support.h"

namespace {

std::atomic<std::uint64_t> g_minute{29000000};  // a minute in 2025
std::uint64_t FakeMinute() {
    return g_minute.load();
}

// Configured as (kind, 1, inputRate, 1000, minimum, 50) on the fake minute, fed the given intervals;
// returns the report with the time of the maximum as "(t)".
std::wstring Feed(Statistics& s, const std::vector<std::uint64_t>& intervals, std::uint64_t inputRate = 1000,
                  std::int32_t minimum = 0, std::uint32_t kind = 0) {
    s.SetMinuteSource(&FakeMinute);
    s.Configure(kind, 1, inputRate, 1000, minimum, 50);
    std::uint64_t t = 1000;
    s.AddSample(t);
    for (std::uint64_t d : intervals) {
        s.AddSample(t += d);
    }
    // Every "(hh:mm:ss.mmm)" becomes "(t)" (std::regex trips GCC 12's uninitialised-use check at -O2).
    std::wstring report = s.FormatReport();
    const std::wstring shape = L"(00:00:00.000)";
    for (std::size_t i = 0; i + shape.size() <= report.size(); ++i) {
        bool stamp = true;
        for (std::size_t k = 0; k < shape.size() && stamp; ++k) {
            const wchar_t c = report[i + k];
            stamp = shape[k] == L'0' ? (c >= L'0' && c <= L'9') : c == shape[k];
        }
        if (stamp) {
            report.replace(i, shape.size(), L"(t)");
        }
    }
    return report;
}

TEST(Statistics, HistogramExtremesAndReport) {
    const struct Row {
        std::vector<std::uint64_t> intervals;
        std::uint64_t inputRate;
        std::int32_t minimum;
        std::uint32_t kind;
        std::wstring report;
    } rows[] = {
        {{10, 10, 20}, 1000, 0, 0, L"N=3, E=13.3333, J=4.44444, S=4.71405, Min=10, Max=20(t), Unit=1/1000"},
        {{10, 10, 20, 70},
         1000,
         0,
         0,  // 70 counts as 51, the upper outer bucket, but Max is 70
         L"N=4, E=22.75, J=14.125, S=16.8133, Min=10, Max=70(t), Unit=1/1000"},
        {{10}, 1000, 0, 1, L"N=1, E=10, Min=10, Max=10(t), Unit=1/1000"},
        {{9500000, 9499999}, 1000000000, 0, 0, L"N=2, E=9.5, J=0.5, S=0.5, Min=9, Max=10(t), Unit=1/1000"},
        {{4, 5, 50, 51, 51},
         1000,
         5,
         1,  // the minimum and the maximum have buckets of their own
         L"N=5, E=32.2, Min=4, Max=51(t), Unit=1/1000 Histogram:  least:20 [5]:20 [50]:20 greatest:40"},
    };
    for (const Row& row : rows) {
        Statistics s(L"S");
        s.SetPrintHistogram(row.minimum == 5);
        EXPECT_EQ(Feed(s, row.intervals, row.inputRate, row.minimum, row.kind),
                  L"STATISTICS: S: " + row.report);
    }
}

TEST(Statistics, ReportedAtLevelThreeAndAtEachNewPeriod) {
    testing_support::LogCapture capture;
    const std::uint32_t oldLevel = capture.Log().SetLoggingLevel(2);
    Statistics quiet(L"Test.Level2");
    Feed(quiet, {10, 10});
    quiet.ReportAndReset();
    EXPECT_EQ(quiet.Count(), 0u) << "reset even when not written";
    capture.Log().SetLoggingLevel(3);
    Statistics s(L"Test.Period");
    Feed(s, {10, 20});
    ++g_minute;
    s.AddSample(1070);  // measured, then the new minute reports all three and resets
    EXPECT_EQ(s.Count(), 0u);
    s.AddSample(1075);  // the time stamp before the reset still counts as previous
    EXPECT_EQ(s.MinValue(), 5.0);
    capture.Log().SetLoggingLevel(oldLevel);
    EXPECT_TRUE(capture.Containing(L"Test.Level2").empty());
    EXPECT_EQ(capture.Containing(L"STATISTICS: Test.Period: N=3, E=23.3333,").size(), 1u);
}

}  // namespace
