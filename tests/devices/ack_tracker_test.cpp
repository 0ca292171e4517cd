#include "devices/ack_tracker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using Norvane::AckTracker;
using std::chrono::milliseconds;

TEST(AckTracker, AcknowledgementFollowedAtOnceByAnotherIsNotMissed) {
    AckTracker acks;
    acks.Expect(11);
    acks.Expect(12);
    // Both arrive before either waiter looks: keeping only the last one would lose 11.
    acks.OnAck(11);
    acks.OnAck(12);
    EXPECT_EQ(acks.LastAcknowledged(), 12u);
    EXPECT_TRUE(acks.Wait(11, milliseconds(0)));
    EXPECT_TRUE(acks.Wait(12, milliseconds(0)));
    EXPECT_EQ(acks.Pending(), 0u);
}

TEST(AckTracker, OnlyExpectedIdentifiersAreKeptUntilTheirWaitEnds) {
    AckTracker acks;
    acks.OnAck(5);  // nobody waits for it
    acks.Expect(6);
    acks.Forget(6);  // its send failed
    acks.OnAck(6);
    acks.Expect(7);
    EXPECT_FALSE(acks.Wait(5, milliseconds(0)));
    EXPECT_FALSE(acks.Wait(6, milliseconds(0)));
    EXPECT_FALSE(acks.Wait(7, milliseconds(50)));
    acks.OnAck(7);  // too late for the waiter that gave up
    EXPECT_EQ(acks.Pending(), 0u);
}

TEST(AckTracker, ManyWaitersAcknowledgedBackToBackAllSucceed) {
    AckTracker acks;
    constexpr std::uint32_t kWaiters = 16;
    for (std::uint32_t id = 1; id <= kWaiters; ++id) {
        acks.Expect(id);
    }
    std::atomic<int> succeeded{0};
    std::atomic<int> started{0};
    std::vector<std::thread> waiters;
    for (std::uint32_t id = 1; id <= kWaiters; ++id) {
        waiters.emplace_back([&, id] {
            started.fetch_add(1);
            if (acks.Wait(id, milliseconds(5000))) {
                succeeded.fetch_add(1);
            }
        });
    }
    while (started.load() < static_cast<int>(kWaiters)) {
        std::this_thread::yield();
    }
    // In reverse order and without pause, as a busy session delivers them.
    for (std::uint32_t id = kWaiters; id >= 1; --id) {
        acks.OnAck(id);
    }
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(succeeded.load(), static_cast<int>(kWaiters));
    EXPECT_EQ(acks.Pending(), 0u);
}

}  // namespace
