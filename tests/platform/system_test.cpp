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
    const std::filesystem::path path = platform::OwnModulePath();
    EXPECT_TRUE(path.is_absolute() && platform::FileExists(path)) << path;
    EXPECT_EQ(path.stem().string(), "platform_tests") << path;
    const std::filesystem::path temp = platform::TempFolder();
    EXPECT_EQ(temp.native().back(), std::filesystem::path::preferred_separator) << temp;
    EXPECT_TRUE(platform::DirectoryExists(temp)) << temp;
}

TEST(PlatformSystem, TicksCountSecondsAtTheirFrequency) {
    const auto frequency = static_cast<double>(platform::QueryTicksFrequency());
    // Sleeps never end early; the upper bound only catches a frequency wrong by orders of magnitude.
    const auto wall_start = std::chrono::steady_clock::now();
    const std::uint64_t start = platform::QueryTicks();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double ms = static_cast<double>(platform::QueryTicks() - start) * 1000.0 / frequency;
    const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - wall_start;
    EXPECT_TRUE(ms >= 49.0 && ms <= wall.count() + 20.0) << ms;
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
    }).join();
    EXPECT_TRUE(other != 0u && other != platform::CurrentThreadId());
}

}  // namespace
