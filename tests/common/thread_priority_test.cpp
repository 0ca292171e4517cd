#include "common/thread_priority.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/thread.h"

namespace {

TEST(ThreadPriority, UnknownLevelGives87AndLeavesThePriority) {
    std::thread([] {
        const int before = platform::CurrentThreadPriority();
        EXPECT_EQ(SetCurrentThreadPriority(3), 87u);
        EXPECT_EQ(SetCurrentThreadPriority(-1), 87u);
        EXPECT_EQ(platform::CurrentThreadPriority(), before);
    }).join();
}

TEST(ThreadPriority, TimeCriticalIsSetOrRefusedWithTheSystemsCode) {
    std::thread([] {
        const int before = platform::CurrentThreadPriority();
        const std::uint32_t rc = SetCurrentThreadPriority(2);
        if (rc == 0) {
            EXPECT_EQ(platform::CurrentThreadPriority(), 2);
            EXPECT_EQ(SetCurrentThreadPriority(0), 0u);
            EXPECT_EQ(platform::CurrentThreadPriority(), 0);
        } else {
            EXPECT_NE(rc, 87u);
            EXPECT_EQ(platform::CurrentThreadPriority(), before) << "a refusal leaves the thread as it was";
        }
    }).join();
}

}  // namespace
