#include "common/usage_counters.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "log_test_support.h"
#include "support/test_clock.h"

namespace {

using cmn::UsageCounterManager;
constexpr std::size_t kOff = cmn::IUsageCounterManager::kCounterOff;

TEST(UsageCounters, RegistrationFollowsTheStreamsSharesNamesIsBoundedAndDestructionIsPrompt) {
    testing_support::LogCapture capture;
    const auto lines = [&](const wchar_t* part) { return capture.Containing(part).size(); };
    testing_support::TestClock clock;
    // A poll far longer than the test: the thread's wait must end at once on destruction.
    auto manager =
        std::make_unique<UsageCounterManager>(GetProcessDebugLog(), clock, std::chrono::minutes(1));
    // Name, a stream switched off before it, the index it gets, its storage after one increment through
    // every index.
    const std::tuple<const char*, const wchar_t*, std::size_t, std::int32_t> rows[] = {
        {"ucr.a", nullptr, 1, 2},
        {"ucr.b", L"counter.ucr.b", kOff, 0},
        {"ucr.a", nullptr, 1, 0},
        {"ucr.c", nullptr, 2, 1},
        {"ucr.d", L"UsageCounters-Stat", kOff, 0}};
    std::atomic<std::int32_t> storage[std::size(rows)]{};
    std::size_t index[std::size(rows)]{};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        if (std::get<1>(rows[i]) != nullptr) {
            capture.Log().SetLogStreamState(std::get<1>(rows[i]), false);
        }
        manager->RegisterCounter(std::get<0>(rows[i]), storage[i], index[i]);
        EXPECT_EQ(index[i], std::get<2>(rows[i])) << i;
    }
    capture.Log().SetLogStreamState(L"UsageCounters-Stat", true);
    for (const std::size_t i : index) {
        manager->IncrementCounter(i);
    }
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(storage[i].load(), std::get<3>(rows[i])) << i;
    }
    manager->IncrementCounter(3);
    manager->DecrementCounter(7);
    EXPECT_EQ(lines(L"<> IncrementCounter: Invalid usage counter index [2]; increment ignored"), 1u);
    EXPECT_EQ(lines(L"<> DecrementCounter: Invalid usage counter index [6]; decrement ignored"), 1u);
    EXPECT_EQ(lines(L"Invalid usage counter index"), 2u);  // none for a switched-off one

    std::vector<std::atomic<std::int32_t>> more(UsageCounterManager::kMaxCounters);
    std::vector<std::size_t> moreIndex(more.size());
    for (std::size_t i = 0; i < more.size(); ++i) {
        manager->RegisterCounter("ucr.n" + std::to_string(i), more[i], moreIndex[i]);
    }
    EXPECT_EQ(moreIndex[1022], kOff);  // ucr.a and ucr.c came first
    EXPECT_EQ(lines(L"Usage counter table full (1024 counters, its limit); \"ucr.n1022\""), 1u);
    EXPECT_EQ(lines(L"table full"), 1u);
    auto done = std::async(std::launch::async, [&] { manager.reset(); });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

TEST(UsageCounters, StatisticsOncePerWindowWithoutZeroCounters) {
    testing_support::LogCapture capture;
    testing_support::TestClock clock;  // at the start of a ten-second window
    UsageCounterManager manager(GetProcessDebugLog(), clock, std::chrono::milliseconds(1));
    std::atomic<std::int32_t> storage[2]{};
    std::size_t index[2]{};
    manager.RegisterCounter("ucw.live", storage[0], index[0]);
    manager.RegisterCounter("ucw.idle", storage[1], index[1]);
    manager.IncrementCounter(index[0]);
    const auto records = [&](std::int64_t stepMs) {
        clock.Step(std::chrono::milliseconds(stepMs));
        EXPECT_TRUE(clock.WaitForReads(2));  // a whole pass has seen the new time
        return capture.Containing(L"<> Usage counter statistics <> ");
    };
    EXPECT_EQ(records(9999).size(), 0u);
    EXPECT_EQ(records(1).size(), 1u);
    const auto written = records(9999);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_NE(written[0].find(L"STATISTICS: <> -- counter \"ucw.live\" = 1"), std::wstring::npos);
    EXPECT_EQ(written[0].find(L"ucw.idle"), std::wstring::npos);
    manager.DecrementCounter(index[0]);
    EXPECT_EQ(records(1).size(), 1u);  // every counter zero: nothing written
}

}  // namespace
