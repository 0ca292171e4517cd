// Error texts, the module path, the temporary folder, the tick counter and the calling thread.
#include <gtest/gtest.h>

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

TEST(PlatformSystem, ErrorsModulePathAndTempFolder) {
    platform::SetLastSystemError(13);
    EXPECT_EQ(platform::LastSystemError(), 13u);  // read at once: any Windows call may overwrite it
    // Code 2 has a system text everywhere (only some socket codes lack one under Wine).
    EXPECT_FALSE(platform::SystemErrorText(2).empty());
    EXPECT_NE(platform::SystemErrorText(2), platform::SystemErrorText(13));
    const std::filesystem::path path = platform::OwnModulePath();
    EXPECT_TRUE(path.is_absolute() && platform::FileExists(path)) << path;
    EXPECT_EQ(path.stem().string(), "platform_tests") << path;
    const std::filesystem::path temp = platform::TempFolder();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.native().back(), std::filesystem::path::preferred_separator) << temp;
    EXPECT_TRUE(platform::DirectoryExists(temp)) << temp;
}

TEST(PlatformSystem, TicksCountSecondsAtTheirFrequency) {
    const std::uint64_t frequency = platform::QueryTicksFrequency();
    ASSERT_GT(frequency, 0u);
    // Sleeps never end early; the upper bound only catches a frequency wrong by orders of magnitude.
    const auto wall_start = std::chrono::steady_clock::now();
    const std::uint64_t start = platform::QueryTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::uint64_t ticks = platform::QueryTicks() - start;
    const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - wall_start;
    EXPECT_GE(static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency), 49.0);
    EXPECT_LE(static_cast<double>(ticks) * 1000.0 / static_cast<double>(frequency), wall.count() + 20.0);
}

TEST(PlatformSystem, ThreadIdsDifferAndInvalidPrioritiesAreRefused) {
    std::uint32_t other = 0;
    std::thread([&other] {
        other = platform::CurrentThreadId();
        // On a thread of its own: the test runner's thread keeps its priority.
        const int before = platform::CurrentThreadPriority();
        for (int level : {3, -1}) {
            EXPECT_EQ(platform::SetCurrentThreadPriority(level), platform::kErrorInvalidParameter) << level;
        }
        EXPECT_EQ(platform::CurrentThreadPriority(), before);
        if (platform::SetCurrentThreadPriority(1) == 0) {
            EXPECT_EQ(platform::CurrentThreadPriority(), 1);
        }
    }).join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, platform::CurrentThreadId());
    EXPECT_EQ(platform::CurrentThreadId(), platform::CurrentThreadId());
}

}  // namespace
