#include "common/error_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "log_test_support.h"

namespace {

using testing_support::ProcessLogCapture;

std::atomic<std::uint64_t> g_minute{29100000};
std::uint64_t FakeMinute() {
    return g_minute.load();
}

void Fail(ErrorState& state) {
    ErrInfo e(ERR_PLACE("Test::Send"));
    e.SetSysError(10054, "send failed");
    ErrInfo& same = state.SetState(e);
    EXPECT_EQ(&same, &e);
}

void Succeed(ErrorState& state) {
    ErrInfo ok(ERR_PLACE("Test::Send"));
    ErrInfo& same = state.SetState(ok);
    EXPECT_EQ(&same, &ok);
    EXPECT_TRUE(ok.IsOk());
}

TEST(ErrorState, ReportsTransitionsAndOneRepetitionAMinute) {
    ProcessLogCapture capture;
    g_minute = 29100000;
    ErrorState state(L"Test::Transitions", &FakeMinute);
    EXPECT_EQ(state.ErrCount(), 0u);

    for (int i = 0; i < 10; ++i) {
        Fail(state);
    }
    EXPECT_EQ(state.ErrCount(), 10u);
    g_minute = 29100001;
    Fail(state);  // the first failure of a later minute is reported with the running count
    Fail(state);  // the next one in that minute is not
    EXPECT_EQ(state.ErrCount(), 12u);
    Succeed(state);
    EXPECT_EQ(state.ErrCount(), 0u);
    Succeed(state);  // no errors in progress: nothing to report
    Fail(state);     // a new series
    EXPECT_EQ(state.ErrCount(), 1u);

    capture.Sync();
    const auto lines = capture.Containing(L"Info='Test::Transitions'");
    ASSERT_EQ(lines.size(), 4u);
    // The transition is appended to the error's own text, on a continuation line.
    const std::wstring& lineBreak = capture.Log().LineBreak;
    EXPECT_NE(lines[0].find(L"ErrStr=send failed" + lineBreak +
                            L"ErrState: Ok->Error, Info='Test::Transitions', ErrCount = 1 Method=Test::Send"),
              std::wstring::npos);
    EXPECT_NE(
        lines[1].find(L"ErrState: Error->Error, Info='Test::Transitions', ErrCount = 11 Method=Test::Send"),
        std::wstring::npos);
    EXPECT_NE(lines[2].find(L"ErrStr=ErrState: Error->OK, Info='Test::Transitions', ErrCount = 12 "
                            L"Method=ErrorState::SetState"),
              std::wstring::npos);
    EXPECT_NE(lines[3].find(L"ErrState: Ok->Error, Info='Test::Transitions', ErrCount = 1 Method="),
              std::wstring::npos);
}

TEST(ErrorState, SuppressedRepetitionsAreMarkedHandled) {
    g_minute = 29100010;
    ErrorState state(L"Test::Handled", &FakeMinute);
    ErrInfo first(ERR_PLACE("Test::Send"));
    first.SetError("x");
    state.SetState(first);
    EXPECT_FALSE(first.IsHandled());
    EXPECT_NE(first.GetText().find(L"Ok->Error"), std::wstring::npos);
    first.MarkHandled();

    ErrInfo second(ERR_PLACE("Test::Send"));
    second.SetError("x");
    state.SetState(second);
    EXPECT_TRUE(second.IsHandled());
    EXPECT_EQ(second.GetText(), L"x") << "a suppressed repetition gets no text";
}

TEST(ErrorState, ConcurrentCallersCountEveryFailureAndReportOnce) {
    ProcessLogCapture capture;
    g_minute = 29100020;
    ErrorState state(L"Test::Concurrent", &FakeMinute);
    constexpr int kThreads = 4;
    constexpr int kCalls = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&state] {
            for (int i = 0; i < kCalls; ++i) {
                Fail(state);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(state.ErrCount(), static_cast<std::uint32_t>(kThreads * kCalls));
    std::vector<std::thread> recoverers;
    for (int t = 0; t < kThreads; ++t) {
        recoverers.emplace_back([&state] { Succeed(state); });
    }
    for (auto& t : recoverers) {
        t.join();
    }
    EXPECT_EQ(state.ErrCount(), 0u);
    capture.Sync();
    EXPECT_EQ(capture.Containing(L"ErrState: Ok->Error, Info='Test::Concurrent'").size(), 1u);
    EXPECT_EQ(capture.Containing(L"ErrState: Error->OK, Info='Test::Concurrent', ErrCount = 2000").size(),
              1u);
    EXPECT_EQ(capture.Containing(L"Info='Test::Concurrent'").size(), 2u);
}

}  // namespace
