#include "common/error_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "log_test_support.h"

namespace {

std::atomic<std::uint64_t> g_minute{29100000};
std::uint64_t FakeMinute() {
    return g_minute.load();
}

void Attempt(ErrorState& state, bool fails) {
    ErrInfo result(ERR_PLACE("Test::Send"));
    if (fails) {
        result.SetSysError(10054, "send failed");
    }
    EXPECT_EQ(&state.SetState(result), &result);
}

TEST(ErrorState, ReportsTransitionsAndOneRepetitionAMinute) {
    testing_support::ProcessLogCapture capture;
    ErrorState state(L"Test::Transitions", &FakeMinute);
    for (int i = 0; i < 10; ++i) {
        Attempt(state, true);
    }
    ++g_minute;
    Attempt(state, true);  // the first failure of a later minute is reported with the running count
    Attempt(state, true);
    Attempt(state, false);
    Attempt(state, false);  // no errors in progress: nothing to report
    Attempt(state, true);   // a new series
    capture.Sync();
    const auto lines = capture.Containing(L"Info='Test::Transitions'");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(L"ErrStr=send failed" + capture.Log().LineBreak +
                            L"ErrState: Ok->Error, Info='Test::Transitions', ErrCount = 1 Method=Test::Send"),
              std::wstring::npos);
    EXPECT_NE(lines[1].find(L"ErrState: Error->Error, Info='Test::Transitions', ErrCount = 11 Method="),
              std::wstring::npos);
    EXPECT_NE(lines[2].find(L"ErrStr=ErrState: Error->OK, Info='Test::Transitions', ErrCount = 12 "
                            L"Method=ErrorState::SetState"),
              std::wstring::npos);
    EXPECT_NE(lines[3].find(L"ErrState: Ok->Error, Info='Test::Transitions', ErrCount = 1 "), std::wstring::npos);
}

TEST(ErrorState, ConcurrentCallersCountEveryFailureAndReportOnce) {
    testing_support::ProcessLogCapture capture;
    ErrorState state(L"Test::Concurrent", &FakeMinute);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&state] {
            for (int i = 0; i < 500; ++i) {
                Attempt(state, true);
            }
            Attempt(state, false);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    capture.Sync();
    EXPECT_EQ(capture.Containing(L"ErrState: Ok->Error, Info='Test::Concurrent'").size() +
                  capture.Containing(L"ErrState: Error->OK, Info='Test::Concurrent'").size(),
              capture.Containing(L"Info='Test::Concurrent'").size());
    EXPECT_EQ(state.ErrCount(), 0u);
    std::uint32_t failures = 0;
    for (const auto& line : capture.Containing(L"Error->OK, Info='Test::Concurrent', ErrCount = ")) {
        failures += static_cast<std::uint32_t>(std::stoul(line.substr(line.find(L"ErrCount = ") + 11)));
    }
    EXPECT_EQ(failures, 2000u) << "every failure counted in exactly one series";
}

}  // namespace
