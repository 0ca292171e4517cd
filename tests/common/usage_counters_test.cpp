#include "common/usage_counters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <vector>

#include "support/test_clock.h"

namespace {

using cmn::IUsageCounterManager;
using cmn::UsageCounterManager;

// Keeps the lines written and answers the stream states it was given.
class LinesLog final : public IDebugLog {
public:
    std::map<std::wstring, int, std::less<>> streams;
    std::uint32_t SetLoggingLevel(std::uint32_t) override { return 0; }
    std::uint32_t GetLoggingLevel() const override { return 0; }
    std::uint32_t SetEntriesPerMinute(std::uint32_t) override { return 0; }
    std::uint32_t GetEntriesPerMinute() const override { return 0; }
    int GetLogStreamState(std::wstring_view id) override {
        const auto it = streams.find(id);
        return it == streams.end() ? kLogStreamNotSet : it->second;
    }
    void Write(const wchar_t* text, std::size_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(text, length);
    }
    void WriteRaw(const char*, std::size_t) override {}
    void SetListener(IDebugLogListener*) override {}
    std::size_t Count(const std::wstring& part) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::count_if(lines_.begin(), lines_.end(),
                             [&](const std::wstring& l) { return l.find(part) != std::wstring::npos; });
    }

private:
    std::mutex mutex_;
    std::vector<std::wstring> lines_;
};

TEST(UsageCounters, RegistrationFollowsTheStreamsAndSharesANameAndReportsBadIndices) {
    constexpr std::size_t kOff = IUsageCounterManager::kCounterOff;
    const struct Row {
        const char* name;
        const wchar_t* stream;  // switched off before the registration, or null
        std::size_t index;      // expected
        std::int32_t after;     // the storage after one increment through the index
    } rows[] = {{"a", nullptr, 1, 2},
                {"b", L"counter.b", kOff, 0},
                {"a", nullptr, 1, 0},
                {"c", nullptr, 2, 1},
                {"d", L"UsageCounters-Stat", kOff, 0}};
    auto log = std::make_shared<LinesLog>();
    testing_support::TestClock clock;
    UsageCounterManager manager(log, clock);
    std::atomic<std::int32_t> storage[std::size(rows)]{};
    std::size_t index[std::size(rows)]{};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        if (rows[i].stream != nullptr) {
            log->streams[rows[i].stream] = kLogStreamOff;
        }
        manager.RegisterCounter(rows[i].name, storage[i], index[i]);
        EXPECT_EQ(index[i], rows[i].index) << i;
    }
    for (const std::size_t i : index) {
        manager.IncrementCounter(i);
    }
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(storage[i].load(), rows[i].after) << i;
    }
    manager.IncrementCounter(3);
    manager.DecrementCounter(7);
    EXPECT_EQ(log->Count(L"<> IncrementCounter: Invalid usage counter index [2]; increment ignored"), 1u);
    EXPECT_EQ(log->Count(L"<> DecrementCounter: Invalid usage counter index [6]; decrement ignored"), 1u);
    EXPECT_EQ(log->Count(L"Invalid usage counter index"), 2u);  // none for a switched-off one
}

TEST(UsageCounters, RegistrationBeyondTheTableIsRefusedWithOneLine) {
    auto log = std::make_shared<LinesLog>();
    testing_support::TestClock clock;
    UsageCounterManager manager(log, clock);
    std::vector<std::atomic<std::int32_t>> storage(UsageCounterManager::kMaxCounters + 2);
    std::vector<std::size_t> index(storage.size());
    for (std::size_t i = 0; i < storage.size(); ++i) {
        manager.RegisterCounter("n" + std::to_string(i), storage[i], index[i]);
    }
    EXPECT_EQ(index[UsageCounterManager::kMaxCounters - 1], UsageCounterManager::kMaxCounters);
    EXPECT_EQ(index.back(), IUsageCounterManager::kCounterOff);
    EXPECT_EQ(log->Count(L"Usage counter table full (1024 counters, its limit); \"n1024\""), 1u);
    EXPECT_EQ(log->Count(L"table full"), 1u);
}

TEST(UsageCounters, StatisticsOncePerWindowWithoutZeroCounters) {
    auto log = std::make_shared<LinesLog>();
    testing_support::TestClock clock;  // starts at the beginning of a ten-second window
    UsageCounterManager manager(log, clock, std::chrono::milliseconds(1));
    std::atomic<std::int32_t> storage[2]{};
    std::size_t index[2]{};
    manager.RegisterCounter("live", storage[0], index[0]);
    manager.RegisterCounter("idle", storage[1], index[1]);
    manager.IncrementCounter(index[0]);
    const auto step = [&](std::int64_t ms) {
        clock.Step(std::chrono::milliseconds(ms));
        ASSERT_TRUE(clock.WaitForReads(2));  // a whole pass has seen the new time
    };
    const std::wstring heading = L"<> Usage counter statistics <> ";
    step(9999);
    EXPECT_EQ(log->Count(heading), 0u);
    step(1);
    step(9999);
    EXPECT_EQ(log->Count(heading), 1u);
    EXPECT_EQ(log->Count(L"STATISTICS: <> -- counter \"live\" = 1"), 1u);
    EXPECT_EQ(log->Count(L"-- counter \"idle\""), 0u);
    manager.DecrementCounter(index[0]);
    step(1);
    EXPECT_EQ(log->Count(heading), 1u);
}

TEST(UsageCounters, DestructionDoesNotWaitForThePoll) {
    testing_support::TestClock clock;
    auto manager = std::make_unique<UsageCounterManager>(nullptr, clock, std::chrono::minutes(1));
    ASSERT_TRUE(clock.WaitForReads(1));  // the thread waits now
    auto done = std::async(std::launch::async, [&] { manager.reset(); });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

}  // namespace
