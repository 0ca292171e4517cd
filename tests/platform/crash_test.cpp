#include "platform/crash.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

#include "platform/file.h"
#include "platform/signals.h"
#include "temp_folder.h"

namespace {

std::string Read(const std::filesystem::path& path) {
    std::string bytes;
    return platform::ReadWholeFile(path, bytes), bytes;
}

// The log closes its file when it rotates: reports still reach that file until the next one is handed
// over, and then only the next one.
TEST(CrashReportFile, OutlivesTheCallersFileUntilReplaced) {
    testing_support::TempFolder folder;
    platform::File first;
    platform::File second;
    ASSERT_TRUE(platform::File::Open(folder / "first.log", platform::OpenMode::kCreateAlways, first).ok());
    ASSERT_TRUE(platform::File::Open(folder / "second.log", platform::OpenMode::kCreateAlways, second).ok());
    ASSERT_TRUE(first.Write("log line\n").ok());
    ASSERT_TRUE(platform::SetCrashReportFile(first.NativeHandle()).ok());
    ASSERT_TRUE(first.Close().ok());
    platform::WriteCrashReport("report one\n", 11);
    ASSERT_TRUE(platform::SetCrashReportFile(second.NativeHandle()).ok());
    platform::WriteCrashReport("report two\n", 11);
    ASSERT_TRUE(platform::SetCrashReportFile(-1).ok());  // no file: the slot stays
    platform::WriteCrashReport("report three\n", 13);
    ASSERT_TRUE(second.Write("log again\n").ok());
    EXPECT_EQ(Read(folder / "first.log"), "log line\nreport one\n");
    EXPECT_EQ(Read(folder / "second.log"), "report two\nreport three\nlog again\n");
}

std::atomic<int> g_dispatched{0};

bool Record(int signal) noexcept {
    g_dispatched.store(signal);
    return true;
}

// What the system delivers reaches the dispatcher under the collection's number.
TEST(SignalHooks, DeliverUnderTheCommonNumbers) {
    const struct {
        int number;
        int native;
    } rows[] = {
#ifdef _WIN32
        {4, SIGILL},
        {8, SIGFPE},
#else
        {2, SIGINT}, {3, SIGQUIT}, {15, SIGTERM}, {128, SIGHUP}, {4, SIGILL}, {8, SIGFPE}, {22, SIGABRT},
#endif
    };
    for (const auto& row : rows) {
        g_dispatched.store(0);
        ASSERT_TRUE(platform::SetSignalHook(row.number, &Record).ok()) << row.number;
        ASSERT_EQ(std::raise(row.native), 0);
        EXPECT_EQ(g_dispatched.load(), row.number) << row.native;
        EXPECT_TRUE(platform::SetSignalHook(row.number, nullptr).ok()) << row.number;
    }
    EXPECT_EQ(platform::SetSignalHook(5, &Record).code, platform::kErrorInvalidParameter);
    EXPECT_TRUE(platform::SetSignalHook(129, &Record).ok()) << "no such signal here, or a console event";
    EXPECT_TRUE(platform::SetSignalHook(129, nullptr).ok());
}

}  // namespace
