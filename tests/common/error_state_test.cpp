#include "common/error_state.h"

#include <gtest/gtest.h>

#include <atomic>

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
    testing_support::LogCapture capture;
    ErrorState state(L"Test::Transitions", &FakeMinute);
    for (const bool fails : {true, true, true, false, false, true}) {  // recovery, then a new series
        Attempt(state, fails);
    }
    const auto lines = capture.Containing(L"Info='Test::Transitions'");
    ASSERT_EQ(lines.size(), 3u);
    const std::wstring transitions[] = {
        L"ErrStr=send failed" + capture.Log().LineBreak +
            L"ErrState: Ok->Error, Info='Test::Transitions', ErrCount = 1 Method=Test::Send",
        L"ErrStr=ErrState: Error->OK, Info='Test::Transitions', ErrCount = 3 Method=ErrorState::SetState",
        L"ErrState: Ok->Error, Info='Test::Transitions', ErrCount = 1 Method=Test::Send"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NE(lines[i].find(transitions[i]), std::wstring::npos) << i;
    }
    for (const bool fails : {true, true, true}) {
        Attempt(state, fails);
    }
    ++g_minute;
    Attempt(state, true);  // the first failure of a later minute is reported with the running count
    EXPECT_EQ(capture.Containing(L"Info='Test::Transitions'").size(), 4u);
    EXPECT_EQ(
        capture.Containing(L"Error->Error, Info='Test::Transitions', ErrCount = 5 Method=Test::Send").size(),
        1u);
}

}  // namespace
