#include "common/cdebug_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "log_test_support.h"
#include "platform/calendar_time.h"
#include "platform/file.h"
#include "platform/path_text.h"
#include "platform/temp_folder.h"
#include "platform/thread.h"
#include "platform/utf8.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::PathToWide;
using testing_support::LogCapture;

namespace {

constexpr std::size_t kHeaderRecords = 12;
const std::string kEndLog = "-------------------------<<< END LOG >>>-------------------------";

// Milliseconds since 1970 of a local date and time.
std::int64_t At(int y, int mo, int d, int h, int mi, int s, int ms) {
    return platform::MsFromCalendar({std::uint16_t(y), std::uint16_t(mo), 0, std::uint16_t(d),
                                     std::uint16_t(h), std::uint16_t(mi), std::uint16_t(s),
                                     std::uint16_t(ms)});
}

// The lines of a file, or the records of a listener, without the 37 characters of time and thread.
std::vector<std::string> Messages(const fs::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(testing_support::ReadBytes(file));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(
            line.substr(std::min(line.size(), kLogPrefixWidth), line.size() - kLogPrefixWidth - 1));
    }
    return lines;
}
std::vector<std::wstring> Messages(LogCapture& capture) {
    std::vector<std::wstring> messages;
    for (const auto& r : capture.Records()) {
        messages.push_back(r.substr(kLogPrefixWidth, r.size() - kLogPrefixWidth - 2));
    }
    return messages;
}

// True when a record of the log's current file holds `part`.
bool LogHas(CDebugLog& log, const std::string& part) {
    log.Flush(std::chrono::seconds(10));
    const std::string bytes = testing_support::ReadBytes(log.GetFilePath());
    return bytes.find(part) != std::string::npos;
}

// A log named "lib.dll" in a folder of the test's own: settings file, application folder and log folder.
class LogTest : public ::testing::Test {
protected:
    LogTest() { fs::create_directories(dir_ / "logs"); }

    fs::path LogFolder() const { return dir_ / "logs" / "lib.dll.logs"; }

    // The settings file with the members `json`; the log folder's default is dir/logs.
    void Settings(const std::string& json) {
        std::ofstream(dir_ / "lib.dll.log_settings.json", std::ios::binary) << "{" << json << "}";
    }

    std::unique_ptr<CDebugLog> MakeLog(LogClock clock = {}) {
        DebugLogOptions options{dir_.path(), L"lib.dll", {}, dir_ / "logs"};
        return std::make_unique<CDebugLog>(options, std::move(clock));
    }

    std::vector<fs::path> LogFiles() const {
        std::vector<fs::path> files{fs::directory_iterator(LogFolder()), fs::directory_iterator()};
        std::sort(files.begin(), files.end());
        return files;
    }

    testing_support::TempFolder dir_{"dlog"};
};

TEST(LogRecord, LayoutOfTimeThreadAndText) {
    wchar_t id[16];
    std::swprintf(id, 16, L"%08X", platform::CurrentThreadId());
    const struct Row {
        std::int64_t localMs;
        bool time, thread;
        std::wstring expected;
    } rows[] = {
        {At(2024, 1, 25, 22, 4, 9, 123), true, true,
         L"2024/01/25 22:04:09.123 @ " + std::wstring(id) + L" @ hi\r\n"},
        {At(2024, 1, 25, 22, 4, 9, 7), true, false, L"2024/01/25 22:04:09.007 @ hi\r\n"},
        {At(2000, 2, 29, 0, 0, 0, 0), true, false, L"2000/02/29 00:00:00.000 @ hi\r\n"},
        {0, false, true, std::wstring(id) + L" @ hi\r\n"},
        {0, false, false, L"hi\r\n"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(FormatLogRecord(L"hi", {0, row.localMs}, row.time, row.thread), row.expected);
    }
    EXPECT_EQ(LogFileStamp(At(2024, 1, 25, 22, 4, 9, 123)), L"2024-01-25 22_04_09.123");
}

TEST_F(LogTest, AComponentsTextCannotForgeARecord) {
    Settings("");
    MakeLog()->Write(L"Net: unit A\r\n2024/01/25 22:04:09.123 @ 00000001 @ Sdk: forged\n\x1b[2J");
    const auto m = Messages(LogFiles().at(0));
    const std::string r = "\xEF\xBF\xBD";
    ASSERT_EQ(m.size(), kHeaderRecords + 2);
    EXPECT_EQ(m[kHeaderRecords],
              "Net: unit A" + r + r + "2024/01/25 22:04:09.123 @ 00000001 @ Sdk: forged" + r + r + "[2J");
}

TEST_F(LogTest, SettingsKeys) {
    using Get = std::function<std::uint64_t(CDebugLog&)>;
    const auto state = [](const wchar_t* id) {
        return Get([id](CDebugLog& l) { return l.GetLogStreamState(id); });
    };
    std::string abs = WideToUtf8(PathToWide(dir_ / "x" / ".." / "abs"));
    std::replace(abs.begin(), abs.end(), '\\', '/');
    const auto folder = [this](const fs::path& parent) {
        fs::create_directories(dir_ / parent);
        return Get([=, this](CDebugLog& l) {
            return l.LogFolder() == (dir_ / parent / "lib.dll.logs").lexically_normal();
        });
    };
    const struct Row {
        std::string json;
        Get get;
        std::uint64_t expected;
    } rows[] = {
        {"\"LogSegmentSize\": 5000", [](CDebugLog& l) { return l.Settings().logSegmentSize; }, 5000},
        {"\"TotalBytesLimit\": 77", [](CDebugLog& l) { return l.Settings().totalBytesLimit; }, 77},
        {"\"MaxDaysKeepAlive\": 7", [](CDebugLog& l) { return l.Settings().maxDaysKeepAlive; }, 7},
        {"\"LoggingLevel\": 4", [](CDebugLog& l) { return l.GetLoggingLevel(); }, 4},
        {"\"TimeLogging\": false", [](CDebugLog& l) { return l.Settings().timeLogging; }, 0},
        {"\"UseFilesFilter\": false", [](CDebugLog& l) { return l.Settings().useFilesFilter; }, 0},
        {"\"EntriesPerMinute\": 17", [](CDebugLog& l) { return l.GetEntriesPerMinute(); }, 17},
        {"\"WriteToDisk\": false", [](CDebugLog& l) { return l.Settings().writeToDisk; }, 0},
        {"\"StackDumpInDebug\": true", [](CDebugLog& l) { return l.IsStackDumpInDebug(); }, 1},
        {"\"LogStates\": [{\"A\": 1, \"B\": 0}]", state(L"TestLogStreamId"), kLogStreamOff},
        {"\"LogStates\": [{\"On\": true}, {\"On\": false}]", state(L"On"), kLogStreamOff},
        {"\"LogStates\": [{\"N\": 7}]", state(L"N"), kLogStreamOn},
        {"\"LogFolderPath\": \"a/b/../c\"", folder("a/c"), 1},  // relative to the application folder
        {"\"LogFolderPath\": \"" + abs + "\"", folder("abs"), 1},
    };
    for (const Row& row : rows) {
        Settings(row.json);
        EXPECT_EQ(row.get(*MakeLog()), row.expected) << row.json;
    }
}

// The settings file lies in the application folder (the module's path without its extension), which is
// made when the default settings file is written there.
TEST_F(LogTest, SettingsFileLiesInTheApplicationFolder) {
#ifdef _WIN32
    EXPECT_EQ(CDebugLog::AppFolderOf(L"C:\\x\\lib.dll"), fs::path(L"C:\\x\\lib"));
#endif
    EXPECT_EQ(CDebugLog::AppFolderOf("/x/libnorvane_sdk.so"), fs::path("/x/libnorvane_sdk"));
    EXPECT_EQ(CDebugLog::AppFolderOf(dir_ / "a.b" / "kxctl"), dir_ / "a.b" / "kxctl");
    CDebugLog log({dir_ / "lib", L"lib.dll", {}, dir_ / "logs"});
    EXPECT_TRUE(fs::is_regular_file(dir_ / "lib" / "lib.dll.log_settings.json"));
}

// Where the settings file cannot be written the defaults apply, with the log folder in the user's own
// temporary folder, never in the working directory.
TEST_F(LogTest, UnwritableSettingsLeaveTheLogFolderInTheUsersTempFolder) {
    fs::path userTemp;
    std::string why;
    ASSERT_TRUE(platform::UserTempFolder(userTemp, why).ok()) << why;
    const std::wstring name = L"unwritable-" + PathToWide(dir_.path().filename()) + L".dll";
    {
        CDebugLog log({dir_ / "missing" / "lib", name, {}, {}});
        EXPECT_EQ(log.LogFolder(), userTemp / (name + L".logs"));
        EXPECT_TRUE(LogHas(log, "cannot be written"));
    }
    testing_support::RemoveTree(userTemp / (name + L".logs"));
}

// A settings file that is refused, or a value that does not fit its key, leaves the default in force,
// and the log names the file or the key and the value.
TEST_F(LogTest, RefusedSettingsKeepTheDefaultsAndSayWhy) {
    Settings("\"LogSegmentSize\": -1, \"MaxDaysKeepAlive\": 4294967296");
    auto log = MakeLog();
    EXPECT_EQ(log->Settings().logSegmentSize, 1048576u);
    EXPECT_EQ(log->Settings().maxDaysKeepAlive, 30u);
    EXPECT_TRUE(LogHas(*log, "\"LogSegmentSize\" is -1, outside") &&
                LogHas(*log, "\"MaxDaysKeepAlive\" is 4294967296"));
    Settings("\"LogSegmentSize\": 5" + std::string(platform::kMaxSettingsFileBytes, ' '));
    log = MakeLog();
    EXPECT_EQ(log->Settings().logSegmentSize, 1048576u);
    EXPECT_TRUE(LogHas(*log, "more than the 65536 a settings file may hold"));
}

TEST_F(LogTest, PerMinuteLimitSuspendsUntilTheNextMinuteOrANewLimit) {
    Settings("\"EntriesPerMinute\": 3");
    std::atomic<std::int64_t> now{At(2024, 1, 25, 22, 4, 9, 0)};
    auto log = MakeLog([&] { return LogTimePoint{now.load(), now.load()}; });
    LogCapture listener(*log);
    for (const wchar_t* text : {L"r1", L"r2", L"r3", L"r4"}) {
        log->Write(text);
    }
    now = At(2024, 1, 25, 22, 4, 59, 999);
    log->Write(L"late");
    now = At(2024, 1, 25, 22, 5, 0, 0);
    for (const wchar_t* text : {L"n1", L"n2", L"n3", L"dropped"}) {
        log->Write(text);
    }
    EXPECT_EQ(log->SetEntriesPerMinute(3), 3u) << "restarts the count within the minute";
    log->Write(L"counted again");
    const std::wstring suspended = L"*** Log writing process suspended, too many messages per minute ***";
    EXPECT_EQ(Messages(listener), (std::vector<std::wstring>{L"r1", L"r2", L"r3", suspended, L"n1", L"n2",
                                                             L"n3", suspended, L"counted again"}));
}

TEST(LogFile, FullOnlyPastTheSegmentSizeAndNeverWithoutSegments) {
    testing_support::TempFolder dir("seg");
    for (const std::uint64_t segment : {2000ull, 0ull, 0ull}) {
        LogFile file({dir.path(), L"lib.dll", segment, true, true, [] { return LogTimePoint{}; }});
        ASSERT_TRUE(file.Open({}));
        const std::uint64_t size = fs::file_size(file.Path());
        file.Append(size < 2000 ? std::wstring(2000 - size - 2, L'x') + L"\r\n" : L"");
        EXPECT_FALSE(file.Full()) << "at the size: " << segment;
        file.Append(L"\n");
        EXPECT_EQ(file.Full(), segment != 0) << "one byte past it: " << segment;
        file.Close();
    }
    EXPECT_TRUE(fs::exists(dir / "lib.dll-1970-01-01 00_00_00.000.log"));
    const auto m = Messages(dir / "lib.dll.log");
    EXPECT_EQ(std::count(m.begin(), m.end(), kEndLog), 2) << "without segments one file, appended to";
}

TEST_F(LogTest, FullSegmentsAreReplacedAndQueuedRecordsWrittenAtTheEnd) {
    Settings("\"LogSegmentSize\": 3000, \"EntriesPerMinute\": 0, \"LoggingLevel\": 3");
    const int kThreads = 3;
    const int kPerThread = 300;
    {
        auto log = MakeLog();
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    log->Write(FormatLine(L"t%d n%d", t, i));
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
    }  // no flush: the destructor writes what is still queued
    const auto files = LogFiles();
    ASSERT_GE(files.size(), 5u);
    std::vector<std::string> header = Messages(files[0]);
    header.resize(kHeaderRecords);
    header[1].resize(18);
    EXPECT_EQ(header,
              (std::vector<std::string>{
                  "------------------------<<< BUILD VER >>>------------------------", "Norvane SDK 0.1.0 ",
                  "----------------------<<< LOG PARAMETERS >>>---------------------",
                  "App Folder Path : " + WideToUtf8(PathToWide(dir_.path())),
                  "Log Folder Path : " + WideToUtf8(PathToWide(LogFolder().lexically_normal())),
                  "Debug Log Name  : lib.dll", "Logger severity level      : 3",
                  "Max days to keep files     : 30", "Max total bytes in files   : 31457280",
                  "Max bytes per log file     : 3000", "Max log records per minute : 0",
                  "------------------------<<< BEGIN LOG >>>------------------------"}));
    std::vector<int> next(kThreads, 0);
    for (const auto& file : files) {
        const auto m = Messages(file);
        EXPECT_EQ(m[kHeaderRecords - 1], header.back());
        EXPECT_EQ(m.back(), kEndLog);
        for (const std::string& line : m) {
            int t = -1;
            int n = -1;
            if (std::sscanf(line.c_str(), "t%d n%d", &t, &n) == 2) {
                ASSERT_EQ(n, next[static_cast<std::size_t>(t)]++) << "lost or out of order";
            }
        }
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));
}

TEST_F(LogTest, EachLogStreamIsReportedOnce) {
    Settings("\"LogStates\": [{\"NetManager-Stat\": false}, {\"RtpStreams\": true}]");
    auto log = MakeLog();
    LogCapture listener(*log);
    for (const wchar_t* id : {L"X", L"X", L"NetManager-Stat"}) {
        log->GetLogStreamState(id);
    }
    EXPECT_TRUE(log->IsLogEnabled(L"RtpStreams"));
    EXPECT_EQ(
        Messages(listener),
        (std::vector<std::wstring>{
            L"GetLogStreamState() check for log-id = \"X\"; not found in log_settings; logging is not set",
            L"GetLogStreamState() check for log-id = \"NetManager-Stat\"; found in log_settings; logging is "
            L"OFF",
            L"IsLogEnabled() check for log-id = \"RtpStreams\"; logging is ON"}));
}

TEST(LogCleanup, WhichFilesGo) {
    const std::int64_t today = platform::DayNumber(2024, 3, 1);
    const std::wstring newest = L"lib.dll-2024-02-28 10_00_00.000.log";
    const std::wstring day30 = L"lib.dll-2024-01-31 10_00_00.000.log";
    const std::wstring day31 = L"lib.dll-2024-01-30 10_00_00.000.log";
    const std::wstring other = L"LIB.dll-2023-01-01 10_00_00.000.log";  // the name is compared with its case
    const std::vector<LogFileInfo> files = {{newest, 100}, {day30, 100},           {day31, 100},
                                            {other, 100},  {L"lib.dll.log", 5000}, {L"aaa.txt", 5000}};
    const struct Row {
        const char* name;
        LogCleanupRules rules;
        std::vector<std::wstring> expected;
    } rows[] = {
        {"within every limit", {10000, 0, true}, {}},
        {"oldest first while above the total", {250, 0, true}, {day31}},
        {"never the newest", {1, 0, true}, {day31, day30}},
        {"older than the age limit", {0, 30, true}, {day31}},
        {"age after size", {250, 29, true}, {day31, day30}},
        {"without the filter every file counts", {5100, 0, false}, {L"aaa.txt", other, day31, day30}},
        {"age stops at a name without a date", {0, 30, false}, {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(LogFilesToDelete(files, L"lib.dll", row.rules, today), row.expected) << row.name;
    }
    EXPECT_TRUE(IsSegmentFileName(L"lib.dll-1-2 00_00.000.log", L"lib.dll"));
    EXPECT_FALSE(IsSegmentFileName(L"libXdll-2024-01-25 22_04_09.123.log", L"lib.dll")) << "taken literally";
}

TEST_F(LogTest, CleanupDeletesFromTheFolderOnRequest) {
    fs::create_directories(LogFolder());
    for (const char* name : {"lib.dll-2020-01-01 10_00_00.000.log", "lib.dll-2021-01-01 10_00_00.000.log"}) {
        std::ofstream(LogFolder() / name) << std::string(4000, 'o');
    }
    LogCleanup cleanup(LogFolder(), L"lib.dll", {5000, 0, true}, [] { return SystemLogTime(); });
    cleanup.Request();
    ASSERT_TRUE(testing_support::WaitUntil([&] { return cleanup.Completed() >= 1; }));
    EXPECT_EQ(LogFiles(), std::vector<fs::path>{LogFolder() / "lib.dll-2021-01-01 10_00_00.000.log"});
}

}  // namespace
