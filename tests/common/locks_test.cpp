#include "common/locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr std::uint64_t kFrequency = 10000000;  // 10 MHz: 10000 ticks per millisecond

LockUseTimes Times(std::uint64_t wait, std::uint64_t hold, std::uint64_t release) {
    return {1000000, 1000000 + wait, 1000000 + wait + hold, 1000000 + wait + hold + release};
}

TEST(LockReport, ThresholdAndLayout) {
    EXPECT_FALSE(IsSlowLockUse(Times(20000, 29999, 0), 5, kFrequency)) << "4.9999 ms";
    EXPECT_TRUE(IsSlowLockUse(Times(20000, 30000, 0), 5, kFrequency)) << "5 ms";
    const std::wstring name = L"NetManager::ServicedSocketsMutex";
    struct Row {
        const wchar_t* comment;
        const char* method;
        const char* file;
        int line;
        std::wstring expected;
    } rows[] = {
        {L"", "Network::NetManager::Process", "net_manager.cpp", 412,
         L"LOCK: " + name + L" : Total=13 Waiting=10 Owning=1 Release=1"
                            L" Method=Network::NetManager::Process File=net_manager.cpp Line=412"},
        {L"Close", nullptr, nullptr, 0, L"LOCK: " + name + L" Close: Total=13 Waiting=10 Owning=1 Release=1"},
        {nullptr, "m", nullptr, 3, L"LOCK: " + name + L" : Total=13 Waiting=10 Owning=1 Release=1"},
        {L"c", nullptr, "f", 3, L"LOCK: " + name + L" c: Total=13 Waiting=10 Owning=1 Release=1"},
        {L"c", "m", "f", 0, L"LOCK: " + name + L" c: Total=13 Waiting=10 Owning=1 Release=1"},
    };
    for (const Row& row : rows) {
        const SlowLockUse use{&name, row.comment, row.method, row.file, row.line, Times(105000, 19999, 10001)};
        EXPECT_EQ(FormatLockReport(use, kFrequency), row.expected);
    }
}

// Records the slow uses while installed.
struct HookCapture {
    static inline std::mutex mutex;
    static inline std::vector<std::pair<std::wstring, LockUseTimes>> uses;
    static void Hook(const SlowLockUse& use) noexcept {
        std::lock_guard<std::mutex> lock(mutex);
        uses.emplace_back(*use.mutexName, use.times);
    }
    HookCapture() : previous(SetSlowLockHook(&Hook)) {}
    ~HookCapture() {
        SetSlowLockHook(previous);
        uses.clear();
    }
    std::vector<LockUseTimes> Of(const std::wstring& name) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<LockUseTimes> found;
        for (const auto& [n, t] : uses) {
            if (n == name) {
                found.push_back(t);
            }
        }
        return found;
    }
    SlowLockHook previous;
};

std::uint64_t Ms(std::uint64_t ticks) {
    return TicksToMs(ticks);
}

TEST(TimedLocker, HandsASlowUseToTheHookAndReleasesTheMutex) {
    HookCapture capture;
    NamedRecursiveMutex m(L"Test::Slow");
    {
        TimedLocker lock(m, L"Slow");
        TimedLocker inner(m, L"Nested", 1000);  // the owner may lock again
        std::this_thread::sleep_for(std::chrono::milliseconds(7));  // the use itself must take 7 ms
    }
    std::atomic<bool> free{false};
    std::thread([&] {
        free = m.try_lock();
        if (free) {
            m.unlock();
        }
    }).join();
    EXPECT_TRUE(free.load());
    const auto uses = capture.Of(L"Test::Slow");
    ASSERT_EQ(uses.size(), 1u);
    EXPECT_GE(Ms(uses[0].releaseEnd - uses[0].request), 7u);
    EXPECT_GE(Ms(uses[0].releaseStart - uses[0].acquire), 7u);
}

TEST(TimedLocker, WaitingForAnotherThreadCountsAsWaiting) {
    HookCapture capture;
    NamedMutex m(L"Test::Contended");
    std::atomic<bool> held{false};
    std::atomic<std::uint64_t> released{0};
    std::thread holder([&] {
        m.lock();
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the waiter asks meanwhile
        released = GetTicks();
        m.unlock();
    });
    while (!held) {
        std::this_thread::yield();
    }
    { TimedLocker lock(m, L"Wait", 0); }
    holder.join();
    const auto uses = capture.Of(L"Test::Contended");
    ASSERT_EQ(uses.size(), 1u);
    EXPECT_GE(uses[0].acquire, released.load()) << "the wait lasts until the holder lets go";
    EXPECT_LE(uses[0].acquire, uses[0].releaseStart);
}

}  // namespace
