// Error texts, the module path, the temporary folder, the tick counter and the calling thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "platform/module_path.h"
#include "platform/sys_error.h"
#include "platform/temp_folder.h"
#include "platform/thread.h"
#include "platform/ticks.h"

namespace {

TEST(PlatformSysError, LastErrorCanBeSetAndRead) {
    // Read right after setting: on Windows any system call may overwrite the value.
    platform::SetLastSystemError(5);
    EXPECT_EQ(platform::LastSystemError(), 5u);
    platform::SetLastSystemError(13);
    EXPECT_EQ(platform::LastSystemError(), 13u);
    platform::SetLastSystemError(0);
    EXPECT_EQ(platform::LastSystemError(), 0u);
}

TEST(PlatformSysError, FailedCallLeavesItsNativeCodeAndATextForIt) {
    std::string bytes;
    const auto result = platform::ReadWholeFile(std::filesystem::path("/no/such/folder/file.txt"), bytes);
    ASSERT_FALSE(result.ok());
    EXPECT_FALSE(static_cast<bool>(result));
    // ENOENT is 2; Windows reports 3 (path not found) for a missing folder.
    EXPECT_TRUE(result.code == 2u || result.code == 3u) << result.code;
    // Code 2 has a system text everywhere (only some socket codes lack one under Wine).
    const std::wstring text = platform::SystemErrorText(2);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, platform::SystemErrorText(13)) << "different codes, different texts";
    // An unknown code never throws; its text may be empty or generic.
    (void)platform::SystemErrorText(0xFFFFFFF0u);
}

TEST(PlatformModulePath, NamesThisTestExecutable) {
    const std::filesystem::path path = platform::OwnModulePath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(path.is_absolute()) << path;
    EXPECT_TRUE(platform::FileExists(path)) << path;
    EXPECT_EQ(path.stem().string(), "platform_tests") << path;
    std::uint64_t size = 0;
    ASSERT_TRUE(platform::FileSize(path, size).ok());
    EXPECT_GT(size, 1000u);
}

TEST(PlatformTempFolder, ExistingFolderEndingWithSeparator) {
    const std::filesystem::path folder = platform::TempFolder();
    const auto text = folder.native();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), std::filesystem::path::preferred_separator) << folder;
    EXPECT_TRUE(platform::DirectoryExists(folder)) << folder;
}

TEST(PlatformTicks, MonotonicAndScaledBySeconds) {
    const std::uint64_t frequency = platform::QueryTicksFrequency();
    ASSERT_GT(frequency, 0u);
    EXPECT_EQ(frequency, platform::QueryTicksFrequency());

    std::uint64_t previous = platform::QueryTicks();
    ASSERT_NE(previous, 0u);
    for (int i = 0; i < 100000; ++i) {
        const std::uint64_t now = platform::QueryTicks();
        ASSERT_GE(now, previous);
        previous = now;
    }

    // At least as many ticks pass as the sleep is long (sleeps never end early); a generous upper bound
    // only catches a wrong frequency by orders of magnitude.
    const auto wallStart = std::chrono::steady_clock::now();
    const std::uint64_t start = platform::QueryTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::uint64_t ticks = platform::QueryTicks() - start;
    const auto wallMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - wallStart)
            .count();
    const double ms = static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency);
    EXPECT_GE(ms, 49.0);
    EXPECT_LE(ms, static_cast<double>(wallMs) + 20.0);
}

TEST(PlatformTicks, AgreeAcrossThreads) {
    // A value read in one thread is never ahead of a value read later in another.
    std::atomic<std::uint64_t> published{0};
    std::atomic<bool> done{false};
    std::atomic<int> violations{0};
    std::thread reader([&] {
        while (!done.load()) {
            const std::uint64_t seen = published.load();
            const std::uint64_t now = platform::QueryTicks();
            if (now < seen) {
                violations.fetch_add(1);
            }
        }
    });
    for (int i = 0; i < 20000; ++i) {
        published.store(platform::QueryTicks());
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(violations.load(), 0);
}

TEST(PlatformThread, IdsAreStablePerThreadAndDistinct) {
    const std::uint32_t mine = platform::CurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(mine, platform::CurrentThreadId());
    std::vector<std::uint32_t> ids(4);
    std::vector<std::thread> threads;
    std::atomic<int> ready{0};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        threads.emplace_back([&, i] {
            ids[i] = platform::CurrentThreadId();
            // Stay alive until all have read their id: ids of ended threads may be reused.
            ready.fetch_add(1);
            while (ready.load() < static_cast<int>(ids.size())) {
                std::this_thread::yield();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::set<std::uint32_t> distinct(ids.begin(), ids.end());
    distinct.insert(mine);
    EXPECT_EQ(distinct.size(), ids.size() + 1);
}

TEST(PlatformThread, InvalidPriorityLevelIsRefusedWithoutTouchingTheThread) {
    std::thread([] {
        // A new thread starts at the process's own priority (normal, unless the tests run under nice).
        const int before = platform::CurrentThreadPriority();
        EXPECT_EQ(platform::SetCurrentThreadPriority(3), platform::kErrorInvalidParameter);
        EXPECT_EQ(platform::SetCurrentThreadPriority(-1), 87u);
        EXPECT_EQ(platform::SetCurrentThreadPriority(1000), 87u);
        EXPECT_EQ(platform::CurrentThreadPriority(), before);
    }).join();
}

TEST(PlatformThread, EachLevelIsEitherSetOrRefusedWithACode) {
    // Run on threads of their own: the test runner's thread keeps its priority.
    for (int level : {1, 2, 0}) {
        std::thread([level] {
            const int before = platform::CurrentThreadPriority();
            const platform::SysErrorCode rc = platform::SetCurrentThreadPriority(level);
            if (rc == 0) {
                EXPECT_EQ(platform::CurrentThreadPriority(), level) << "level " << level;
            } else {
                EXPECT_NE(rc, platform::kErrorInvalidParameter) << "a valid level is never called invalid";
                EXPECT_EQ(platform::CurrentThreadPriority(), before) << "a refusal changes nothing";
            }
            // Back to normal works once the thread was raised (and trivially when it was not).
            if (rc == 0) {
                EXPECT_EQ(platform::SetCurrentThreadPriority(0), 0u);
                EXPECT_EQ(platform::CurrentThreadPriority(), 0);
            }
        }).join();
    }
}

}  // namespace
