#include "common/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "common/locks.h"
#include "log_test_support.h"

namespace {

TEST(Environment, SlowLockUsesReachTheProcessLog) {
    testing_support::LogCapture capture;
    NamedRecursiveMutex m(L"Test::EnvironmentHook");
    {
        TimedLocker lock(m, L"Hold");
        TimedLocker inner(m, L"Nested", 1000);                      // the owner may lock again
        std::this_thread::sleep_for(std::chrono::milliseconds(7));  // the use itself must take 7 ms
    }
    const auto lines = capture.Containing(L"LOCK: Test::EnvironmentHook Hold: Total=");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_GE(std::stoi(lines[0].substr(lines[0].find(L"Total=") + 6)), 7)
        << "measured from request to release";
}

TEST(EnvironmentDeathTest, RecordsQueuedAtExitReachTheFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, whose log is not yet made
    constexpr int kRecords = 100000;
    // The build tree gives the child process and this one the same folder without their having to talk.
    const std::filesystem::path folder = std::filesystem::path(NORVANE_TEST_BINARY_DIR) / "exit-drain-log";
    EXPECT_EXIT(
        {
            testing_support::RemoveTree(folder);
            if (!UseProcessDebugLogFolder(folder)) {
                std::_Exit(2);
            }
            std::shared_ptr<IDebugLog> log = GetProcessDebugLog();
            log->SetEntriesPerMinute(0);
            for (int i = 0; i < kRecords; ++i) {
                log->Write(FormatLine(L"exit record %d of a program that ends at once", i));
            }
            std::exit(0);  // with most records still queued
        },
        ::testing::ExitedWithCode(0), "");
    std::size_t found = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string bytes = entry.is_regular_file() ? testing_support::ReadBytes(entry.path()) : "";
        for (auto pos = bytes.find("exit record "); pos != std::string::npos;
             pos = bytes.find("exit record ", pos + 1)) {
            ++found;
        }
    }
    EXPECT_EQ(found, std::size_t{kRecords});
    testing_support::RemoveTree(folder);
}

}  // namespace
