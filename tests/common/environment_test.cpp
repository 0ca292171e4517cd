#include "common/environment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

#include "log_test_support.h"
#include "platform/utf8.h"

namespace {

TEST(Environment, ConcurrentFirstUseMakesOneEnvironmentAndOneLog) {
    // Whichever test of the program runs first may already have made it; then the threads below still
    // have to agree with it.
    const int kThreads = 8;
    std::atomic<bool> go{false};
    std::vector<IEnvironment*> environments(kThreads);
    std::vector<std::shared_ptr<IDebugLog>> logs(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            EnvironmentRef ref;
            environments[t] = GetEnvironment(ref);
            environments[t]->GetDebugLog(logs[t]);
        });
    }
    go = true;
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_TRUE(ProcessEnvironmentExists());
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_NE(environments[t], nullptr);
        EXPECT_EQ(environments[t], environments[0]);
        ASSERT_NE(logs[t], nullptr);
        EXPECT_EQ(logs[t], logs[0]);
    }
    // Later uses, after every reference was dropped, find the same environment.
    EnvironmentRef ref;
    EXPECT_EQ(GetEnvironment(ref), environments[0]);
    EXPECT_EQ(GetProcessDebugLog(), logs[0]);
}

TEST(Environment, ServicesNotYetBuiltAreEmpty) {
    EnvironmentRef ref;
    IEnvironment* env = GetEnvironment(ref);
    std::shared_ptr<IStackTraceLogger> trace;
    EXPECT_EQ(&env->GetStackTraceLogger(trace), &trace);
    EXPECT_EQ(trace, nullptr);
    std::shared_ptr<cmn::IUsageCounterManager> counters;
    EXPECT_EQ(&env->GetUsageCounterManager(counters), &counters);
    EXPECT_EQ(counters, nullptr);
    std::shared_ptr<IDebugLog> log;
    EXPECT_EQ(&env->GetDebugLog(log), &log);
    EXPECT_NE(log, nullptr);
}

TEST(Environment, ProcessLogUsesTheConfiguredFolderAndCannotBeReconfigured) {
    const std::filesystem::path folder = testing_support::ProcessLogTestFolder();
    std::shared_ptr<IDebugLog> log = GetProcessDebugLog();
    log->Write(L"Environment test: hello");
    ASSERT_TRUE(log->Flush(std::chrono::seconds(10)));
    const std::filesystem::path file(log->GetFilePath());
    ASSERT_FALSE(file.empty());
    // <folder>/<module>.logs/<module>-<stamp>.log
    EXPECT_EQ(file.parent_path().parent_path(), folder.lexically_normal());
    EXPECT_NE(testing_support::ReadBytes(file).find("Environment test: hello\r\n"), std::string::npos);
    EXPECT_FALSE(ConfigureProcessDebugLog(DebugLogOptions{}));
    EXPECT_FALSE(UseProcessDebugLogFolder(folder / "elsewhere"));
    EXPECT_FALSE(std::filesystem::exists(folder / "elsewhere"));
    // The settings file the log wrote points at the folder.
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().filename().string().find(".log_settings.json") != std::string::npos) {
            found = true;
            EXPECT_NE(testing_support::ReadBytes(entry.path()).find("LogFolderPath"), std::string::npos);
        }
    }
    EXPECT_TRUE(found);
}

}  // namespace

namespace {

constexpr int kExitRecords = 100000;

// The child process of the test below logs into this folder; the build tree gives both processes the
// same name without their having to talk.
std::filesystem::path ExitLogFolder() {
    return std::filesystem::path(NORVANE_TEST_BINARY_DIR) / "exit-drain-log";
}

int CountExitRecords(const std::filesystem::path& folder) {
    int found = 0;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (!it->is_regular_file() || it->path().extension() != ".log") {
            continue;
        }
        const std::string bytes = testing_support::ReadBytes(it->path());
        for (std::size_t pos = bytes.find("exit record "); pos != std::string::npos;
             pos = bytes.find("exit record ", pos + 1)) {
            ++found;
        }
    }
    return found;
}

TEST(EnvironmentDeathTest, RecordsQueuedAtExitReachTheFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, whose log is not yet made
    const std::filesystem::path folder = ExitLogFolder();
    EXPECT_EXIT(
        {
            testing_support::RemoveTree(folder);
            if (!UseProcessDebugLogFolder(folder)) {
                std::_Exit(2);
            }
            std::shared_ptr<IDebugLog> log = GetProcessDebugLog();
            log->SetEntriesPerMinute(0);
            for (int i = 0; i < kExitRecords; ++i) {
                log->Write(FormatLine(L"exit record %d of a program that ends at once", i));
            }
            std::exit(0);  // with most records still queued
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(CountExitRecords(folder), kExitRecords);
    testing_support::RemoveTree(folder);
}

}  // namespace
