// A clock the test steps by hand, for components that take their time from an IClock.
//
// Components poll their clock, so after a Step the test waits for a condition (the repeat arrives, the
// error is reported). To check that something did NOT happen, wait until the component has read the
// clock again after the step (WaitForReads): it has then looked at the new time and acted on it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "common/clock.h"
#include "wait.h"

namespace testing_support {

class TestClock final : public IClock {
public:
    std::int64_t NowMs() noexcept override {
        reads_.fetch_add(1);
        return now_.load();
    }

    void Step(milliseconds d) {
        // Time first: a read counted after the step has then surely seen the new time.
        now_.fetch_add(d.count());
        stepReads_.store(reads_.load());
    }

    // True once the clock has been read `n` times since the last Step.
    bool WaitForReads(std::uint64_t n, milliseconds timeout = milliseconds(10000)) {
        return WaitUntil([&] { return reads_.load() - stepReads_.load() >= n; }, timeout);
    }

private:
    std::atomic<std::int64_t> now_{1000000};
    std::atomic<std::uint64_t> reads_{0};
    std::atomic<std::uint64_t> stepReads_{0};
};

}  // namespace testing_support
