// Waiting on a condition instead of on time.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace testing_support {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Polls `pred()` until it holds; false when `timeout` passes first. The time-out is a failure bound, not
// a pause: a passing test never waits it out.
template <class Pred>
bool WaitUntil(Pred pred, milliseconds timeout = milliseconds(10000)) {
    const Clock::time_point end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

inline std::int64_t MsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration_cast<milliseconds>(b - a).count();
}

}  // namespace testing_support
