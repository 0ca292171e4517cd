#include "common/cdebug_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include "json/value.h"
#include "log_test_support.h"
#include "platform/calendar_time.h"
#include "platform/path_text.h"
#include "platform/thread.h"
#include "platform/utf8.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::PathToWide;
using testing_support::ReadBytes;
using testing_support::RecordingListener;

namespace {

constexpr std::size_t kHeaderRecords = 12;
const std::string kEndLog = "-------------------------<<< END LOG >>>-------------------------";

std::int64_t LocalMs(int y, int mo, int d, int h, int mi, int s, int ms) {
    return ((platform::DayNumber(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 24 + h) * 60 + mi) *
               60000 +
           s * 1000 + ms;
}

// The lines of a file without their CR LF and the 37 characters of time and thread.
std::vector<std::string> Messages(const fs::path& file) {
    std::vector<std::string> lines;
    const std::string bytes = ReadBytes(file);
    for (std::size_t start = 0, end; start < bytes.size(); start = end + 2) {
        end = bytes.find("\r\n", start);
        const std::string line = bytes.substr(start, end - start);
        lines.push_back(line.size() >= kLogPrefixWidth ? line.substr(kLogPrefixWidth) : line);
        if (end == std::string::npos) {
            break;
        }
    }
    return lines;
}

std::wstring Message(const std::wstring& record) {
    return record.substr(kLogPrefixWidth, record.size() - kLogPrefixWidth - 2);
}

// A log named "lib.dll" in a folder of the test's own: settings file, application folder and log folder.
class LogTest : public ::testing::Test {
protected:
    LogTest() { fs::create_directories(dir_ / "logs"); }

    fs::path LogFolder() const { return dir_ / "logs" / "lib.dll.logs"; }

    // Writes the settings file: the members `json` (comma-separated) after a LogFolderPath of dir/logs.
    void Settings(const std::string& json) {
        std::string folder = WideToUtf8(PathToWide(dir_ / "logs"));
        std::replace(folder.begin(), folder.end(), '\\', '/');
        std::ofstream(dir_ / "lib.dll.log_settings.json", std::ios::binary)
            << "{\"LogFolderPath\": \"" << folder << "\"" << (json.empty() ? "" : ", ") << json << "}";
    }

    std::unique_ptr<CDebugLog> MakeLog(LogClock clock = {}) {
        DebugLogOptions options;
        options.appFolder = dir_.path();
        options.logName = L"lib.dll";
        options.defaultLogFolderPath = dir_ / "logs";
        return std::make_unique<CDebugLog>(options, std::move(clock));
    }

    std::vector<fs::path> LogFiles() const {
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(LogFolder())) {
            files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    testing_support::TempFolder dir_{"dlog"};
};

TEST(LogRecord, LayoutOfTimeThreadAndText) {
    wchar_t id[16];
    std::swprintf(id, 16, L"%08X", platform::CurrentThreadId());
    struct Row {
        LogTimePoint at;
        bool time, thread;
        std::wstring expected;
    } rows[] = {
        {{0, LocalMs(2024, 1, 25, 22, 4, 9, 123)}, true, true,
         L"2024/01/25 22:04:09.123 @ " + std::wstring(id) + L" @ Rtp: hi\r\n"},
        {{0, LocalMs(2024, 1, 25, 22, 4, 9, 7)}, true, false, L"2024/01/25 22:04:09.007 @ Rtp: hi\r\n"},
        {{0, LocalMs(2000, 2, 29, 0, 0, 0, 0)}, true, false, L"2000/02/29 00:00:00.000 @ Rtp: hi\r\n"},
        {{0, LocalMs(1999, 12, 31, 23, 59, 59, 999)}, true, false, L"1999/12/31 23:59:59.999 @ Rtp: hi\r\n"},
        {{0, 0}, false, true, std::wstring(id) + L" @ Rtp: hi\r\n"},
        {{0, 0}, false, false, L"Rtp: hi\r\n"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(FormatLogRecord(L"Rtp: hi", row.at, row.time, row.thread), row.expected);
    }
    EXPECT_EQ(LogFileStamp(LocalMs(2024, 1, 25, 22, 4, 9, 123)), L"2024-01-25 22_04_09.123");
}

TEST_F(LogTest, SettingsKeys) {
    struct Row {
        const char* json;
        std::function<std::uint64_t(CDebugLog&)> get;
        std::uint64_t expected;
    } rows[] = {
        {"\"LogSegmentSize\": 5000", [](CDebugLog& l) { return l.Settings().logSegmentSize; }, 5000},
        {"\"TotalBytesLimit\": \"many\"", [](CDebugLog& l) { return l.Settings().totalBytesLimit; }, 31457280},
        {"\"TotalBytesLimit\": 77", [](CDebugLog& l) { return l.Settings().totalBytesLimit; }, 77},
        {"\"MaxDaysKeepAlive\": -1", [](CDebugLog& l) { return l.Settings().maxDaysKeepAlive; }, 30},
        {"\"MaxDaysKeepAlive\": 7", [](CDebugLog& l) { return l.Settings().maxDaysKeepAlive; }, 7},
        {"\"LoggingLevel\": 4", [](CDebugLog& l) { return l.GetLoggingLevel(); }, 4},
        {"\"TimeLogging\": false", [](CDebugLog& l) { return l.Settings().timeLogging; }, 0},
        {"\"ThreadIdLogging\": 0", [](CDebugLog& l) { return l.Settings().threadIdLogging; }, 0},
        {"\"UseFilesFilter\": \"no\"", [](CDebugLog& l) { return l.Settings().useFilesFilter; }, 1},
        {"\"UseFilesFilter\": false", [](CDebugLog& l) { return l.Settings().useFilesFilter; }, 0},
        {"\"EntriesPerMinute\": 17", [](CDebugLog& l) { return l.GetEntriesPerMinute(); }, 17},
        {"\"WriteToDisk\": false", [](CDebugLog& l) { return l.Settings().writeToDisk; }, 0},
        {"\"StackDumpInDebug\": true", [](CDebugLog& l) { return l.IsStackDumpInDebug(); }, 1},
        {"\"LogStates\": [{\"A\": 1, \"B\": 0}]",
         [](CDebugLog& l) { return l.GetLogStreamState(L"TestLogStreamId"); }, kLogStreamOff},
        {"\"LogStates\": [{\"On\": true}, {\"On\": false}]",
         [](CDebugLog& l) { return l.GetLogStreamState(L"On"); }, kLogStreamOff},
        {"\"LogStates\": [{\"N\": 7}]", [](CDebugLog& l) { return l.GetLogStreamState(L"N"); }, kLogStreamOn},
    };
    for (const Row& row : rows) {
        Settings(row.json);
        EXPECT_EQ(row.get(*MakeLog()), row.expected) << row.json;
    }
}

TEST_F(LogTest, MissingSettingsFileIsWrittenWithTheDefaults) {
    MakeLog();
    JSON::Value v;
    ASSERT_TRUE(JSON::ParseFile(dir_ / "lib.dll.log_settings.json", v));
    EXPECT_EQ(v[L"LogFolderPath"].GetString(), PathToWide(dir_ / "logs"));
    const std::pair<const wchar_t*, const wchar_t*> keys[] = {
        {L"LogSegmentSize", L"1048576"}, {L"TotalBytesLimit", L"31457280"}, {L"MaxDaysKeepAlive", L"30"},
        {L"LoggingLevel", L"2"},         {L"EntriesPerMinute", L"10000"},   {L"TimeLogging", L"true"},
        {L"ThreadIdLogging", L"true"},   {L"UseFilesFilter", L"true"},      {L"WriteToDisk", L"true"},
        {L"LogStates", L"[{\"TestLogStreamId\":false}]"}};
    for (const auto& [key, text] : keys) {
        EXPECT_EQ(JSON::GenerateText(v[key]), text) << WideToUtf8(key);
    }
    EXPECT_EQ(v.ObjectSize(), 11u) << "StackDumpInDebug is not written";
}

TEST_F(LogTest, LogFolderIsResolvedAgainstTheApplicationFolder) {
    const std::pair<std::string, fs::path> rows[] = {
        {"", dir_ / "lib.dll.logs"},
        {".", dir_ / "lib.dll.logs"},
        {"a/b/../c", dir_ / "a" / "c" / "lib.dll.logs"},
        {WideToUtf8(PathToWide(dir_ / "x" / ".." / "abs")), dir_ / "abs" / "lib.dll.logs"},
    };
    fs::create_directories(dir_ / "a" / "c");
    fs::create_directories(dir_ / "abs");
    for (const auto& [value, expected] : rows) {
        std::string json = value;
        std::replace(json.begin(), json.end(), '\\', '/');
        std::ofstream(dir_ / "lib.dll.log_settings.json") << "{\"LogFolderPath\": \"" << json << "\"}";
        EXPECT_EQ(MakeLog()->LogFolder(), expected.lexically_normal()) << value;
        EXPECT_TRUE(fs::is_directory(expected)) << value;
    }
}

TEST_F(LogTest, WritesDropZerosEmptyTextsAndInvalidUtf8) {
    Settings("\"TimeLogging\": false, \"ThreadIdLogging\": false");
    auto log = MakeLog();
    RecordingListener listener;
    log->SetListener(&listener);
    log->Write(std::wstring(3, L'\0'));
    log->Write(std::wstring(L"ab\0\0", 4));
    log->Write("caf\xC3\xA9");
    log->Write("xy\0zz", 5);
    log->Write("\xFF\xFE");
    log->WriteId(L"id", L"sub", L"msg");
    ASSERT_TRUE(log->Flush(10s));
    log->SetListener(nullptr);
    EXPECT_EQ(listener.Records(),
              (std::vector<std::wstring>{L"ab\r\n", L"caf\u00E9\r\n", L"xy\r\n", L"ID=id SUB_ID=sub MSG=msg\r\n"}));
    EXPECT_NE(ReadBytes(fs::path(log->GetFilePath())).find("caf\xC3\xA9\r\nxy\r\n"), std::string::npos);
}

TEST_F(LogTest, PerMinuteLimitSuspendsUntilTheNextMinuteOrANewLimit) {
    Settings("\"EntriesPerMinute\": 3");
    std::atomic<std::int64_t> now{LocalMs(2024, 1, 25, 22, 4, 9, 0)};
    auto log = MakeLog([&] { return LogTimePoint{now.load(), now.load()}; });
    RecordingListener listener;
    log->SetListener(&listener);
    for (const wchar_t* text : {L"r1", L"r2", L"r3", L"r4"}) {
        log->Write(text);
    }
    now = LocalMs(2024, 1, 25, 22, 4, 59, 999);
    log->Write(L"late");
    now = LocalMs(2024, 1, 25, 22, 5, 0, 0);
    log->Write(L"next");
    log->Write(L"n2");
    log->Write(L"n3");
    log->Write(L"dropped");
    EXPECT_EQ(log->SetEntriesPerMinute(3), 3u) << "restarts the count within the minute";
    log->Write(L"counted again");
    ASSERT_TRUE(log->Flush(10s));
    log->SetListener(nullptr);
    std::vector<std::wstring> messages;
    for (const auto& r : listener.Records()) {
        messages.push_back(Message(r));
    }
    const std::wstring suspended = L"*** Log writing process suspended, too many messages per minute ***";
    EXPECT_EQ(messages, (std::vector<std::wstring>{L"r1", L"r2", L"r3", suspended, L"next", L"n2", L"n3",
                                                   suspended, L"counted again"}));
}

TEST_F(LogTest, FileHasHeaderRecordsAndEndLog) {
    Settings("\"LoggingLevel\": 3, \"EntriesPerMinute\": 123");
    fs::path file;
    {
        auto log = MakeLog();
        log->Write(L"first");
        ASSERT_TRUE(log->Flush(10s));
        file = fs::path(log->GetFilePath());
    }
    EXPECT_EQ(file.parent_path(), LogFolder().lexically_normal());
    EXPECT_TRUE(platform::IsRootedPath(file));
    const std::string name = WideToUtf8(PathToWide(file.filename()));
    EXPECT_EQ(name.size(), std::string("lib.dll-2024-01-25 22_04_09.123.log").size()) << name;
    const std::vector<std::string> expected = {
        "------------------------<<< BUILD VER >>>------------------------",
        "",
        "----------------------<<< LOG PARAMETERS >>>---------------------",
        "App Folder Path : " + WideToUtf8(PathToWide(dir_.path())),
        "Log Folder Path : " + WideToUtf8(PathToWide(LogFolder().lexically_normal())),
        "Debug Log Name  : lib.dll",
        "Logger severity level      : 3",
        "Max days to keep files     : 30",
        "Max total bytes in files   : 31457280",
        "Max bytes per log file     : 1048576",
        "Max log records per minute : 123",
        "------------------------<<< BEGIN LOG >>>------------------------",
        "first",
        kEndLog};
    std::vector<std::string> m = Messages(file);
    ASSERT_EQ(m.size(), expected.size());
    EXPECT_EQ(m[1].rfind("Norvane SDK 0.1.0 ", 0), 0u) << m[1];
    m[1].clear();
    EXPECT_EQ(m, expected);
}

TEST(LogFileRotation, FullOnlyPastTheSegmentSize) {
    testing_support::TempFolder dir("seg");
    for (const std::uint64_t segment : {0ull, 2000ull}) {
        LogFile file({dir.path(), L"lib.dll", segment, false, false, [] { return LogTimePoint{}; }});
        ASSERT_TRUE(file.Open({}));
        const std::uint64_t header = fs::file_size(file.Path());
        file.Append(std::wstring(2000 - header, L'x'));
        EXPECT_FALSE(file.Full()) << "exactly at the size: " << segment;
        file.Append(L"y");
        EXPECT_EQ(file.Full(), segment != 0) << "one byte past it: " << segment;
        file.Close();
    }
}

TEST_F(LogTest, SegmentsRotateWithFullHeadersAndLoseNothing) {
    Settings("\"LogSegmentSize\": 3000, \"TotalBytesLimit\": 0, \"MaxDaysKeepAlive\": 0");
    {
        auto log = MakeLog();
        for (int i = 0; i < 200; ++i) {
            log->Write(FormatLine(L"record %03d %ls", i, std::wstring(40, L'x').c_str()));
        }
    }
    int next = 0;
    const auto files = LogFiles();
    ASSERT_GE(files.size(), 5u);
    for (const auto& file : files) {
        const auto m = Messages(file);
        ASSERT_GT(m.size(), kHeaderRecords);
        EXPECT_EQ(m.front(), "------------------------<<< BUILD VER >>>------------------------");
        EXPECT_EQ(m.back(), kEndLog);
        for (std::size_t i = kHeaderRecords; i + 1 < m.size(); ++i) {
            char expected[16];
            std::snprintf(expected, sizeof(expected), "record %03d", next++);
            EXPECT_EQ(m[i].substr(0, 10), expected);
        }
    }
    EXPECT_EQ(next, 200);
}

TEST_F(LogTest, WithoutSegmentsOneFileIsAppendedAcrossRuns) {
    Settings("\"LogSegmentSize\": 0");
    for (int run = 0; run < 2; ++run) {
        auto log = MakeLog();
        log->Write(FormatLine(L"run %d", run));
    }
    ASSERT_EQ(LogFiles(), std::vector<fs::path>{LogFolder() / "lib.dll.log"});
    const auto m = Messages(LogFolder() / "lib.dll.log");
    ASSERT_EQ(m.size(), 2 * (kHeaderRecords + 2));
    EXPECT_EQ(m[kHeaderRecords], "run 0");
    EXPECT_EQ(m[2 * kHeaderRecords + 2], "run 1");
}

TEST_F(LogTest, RequestNewFileClosesTheFileAndCallsTheCallbacksInOrder) {
    auto log = MakeLog();
    log->Write(L"in the first file");
    ASSERT_TRUE(log->Flush(10s));
    std::atomic<int> order{0};
    log->AddNewFileCallback([&] { order = order * 10 + 1; });
    log->AddNewFileCallback([&] { order = order * 10 + 2; });
    const std::wstring first = log->GetFilePath();
    EXPECT_EQ(log->RequestNewFile(), first);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return order.load() == 12; }));
    log->Write(L"in the second file");
    ASSERT_TRUE(log->Flush(10s));
    const std::wstring second = log->GetFilePath();
    ASSERT_NE(second, first);
    const auto m1 = Messages(fs::path(first));
    EXPECT_EQ(m1[m1.size() - 2], "in the first file");
    EXPECT_EQ(m1.back(), kEndLog);
    EXPECT_EQ(Messages(fs::path(second)).back(), "in the second file");
}

TEST_F(LogTest, DestructionWritesEveryQueuedRecordInOrderBeforeEndLog) {
    Settings("\"EntriesPerMinute\": 0, \"LogSegmentSize\": 0");
    const int kThreads = 4;
    const int kPerThread = 5000;
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
    }
    const auto m = Messages(LogFolder() / "lib.dll.log");
    ASSERT_EQ(m.back(), kEndLog);
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : m) {
        int t = -1;
        int n = -1;
        if (std::sscanf(line.c_str(), "t%d n%d", &t, &n) == 2) {
            ASSERT_EQ(n, next[static_cast<std::size_t>(t)]) << "lost or out of order";
            ++next[static_cast<std::size_t>(t)];
        }
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));
}

TEST_F(LogTest, RecordsWaitForAFileThatCannotBeCreatedYet) {
    std::ofstream(LogFolder()) << "a file where the folder belongs";
    auto log = MakeLog();
    for (int i = 0; i < 100; ++i) {
        log->Write(FormatLine(L"kept %d", i));
    }
    ASSERT_TRUE(log->Flush(10s));
    EXPECT_TRUE(log->GetFilePath().empty());
    fs::remove(LogFolder());
    ASSERT_TRUE(testing_support::WaitUntil([&] { return !log->GetFilePath().empty(); }));
    const auto m = Messages(fs::path(log->GetFilePath()));
    ASSERT_EQ(m.size(), kHeaderRecords + 100);
    EXPECT_EQ(m[kHeaderRecords], "kept 0");
    EXPECT_EQ(m.back(), "kept 99");
}

TEST_F(LogTest, WriteRawGoesStraightIntoTheFile) {
    Settings("\"LogSegmentSize\": 0");
    auto log = MakeLog();
    log->Write(L"queued");
    ASSERT_TRUE(log->Flush(10s));
    log->WriteRaw("raw\0ignored", 11);
    const auto m = Messages(fs::path(log->GetFilePath()));
    EXPECT_EQ(m[m.size() - 2], "queued");
    EXPECT_EQ(m.back(), "raw");
}

TEST_F(LogTest, EachLogStreamIsReportedOnce) {
    Settings("\"LogStates\": [{\"NetManager-Stat\": false}, {\"RtpStreams\": true}]");
    auto log = MakeLog();
    RecordingListener listener;
    log->SetListener(&listener);
    EXPECT_EQ(log->GetLogStreamState(L"X"), kLogStreamNotSet);
    EXPECT_EQ(log->GetLogStreamState(L"X"), kLogStreamNotSet);
    EXPECT_EQ(log->GetLogStreamState(L"NetManager-Stat"), kLogStreamOff);
    EXPECT_TRUE(log->IsLogEnabled(L"RtpStreams"));
    EXPECT_FALSE(log->IsLogEnabled(L"NetManager-Stat"));
    EXPECT_FALSE(log->IsLogEnabled(L"Y"));
    EXPECT_FALSE(log->SetLogStreamState(L"Y", true));
    EXPECT_TRUE(log->IsLogEnabled(L"Y"));
    ASSERT_TRUE(log->Flush(10s));
    log->SetListener(nullptr);
    std::vector<std::wstring> messages;
    for (const auto& r : listener.Records()) {
        messages.push_back(Message(r));
    }
    EXPECT_EQ(messages,
              (std::vector<std::wstring>{
                  L"GetLogStreamState() check for log-id = \"X\"; not found in log_settings; logging is not set",
                  L"GetLogStreamState() check for log-id = \"NetManager-Stat\"; found in log_settings; logging is OFF",
                  L"IsLogEnabled() check for log-id = \"RtpStreams\"; logging is ON",
                  L"IsLogEnabled() check for log-id = \"Y\"; logging is OFF"}));
}

TEST(LogCleanupRules, WhichFilesGo) {
    const std::int64_t today = platform::DayNumber(2024, 3, 1);
    const std::vector<LogFileInfo> files = {
        {L"lib.dll-2024-02-28 10_00_00.000.log", 100},  // the newest
        {L"lib.dll-2024-01-31 10_00_00.000.log", 100},  // exactly 30 days old
        {L"lib.dll-2024-01-30 10_00_00.000.log", 100},  // 31 days
        {L"LIB.dll-2023-01-01 10_00_00.000.log", 100},  // not ours: the name is compared with its case
        {L"lib.dll.log", 5000},
        {L"aaa.txt", 5000},
    };
    struct Row {
        const char* name;
        LogCleanupRules rules;
        std::vector<std::wstring> expected;
    } rows[] = {
        {"within every limit", {10000, 0, true}, {}},
        {"oldest first while above the total", {250, 0, true}, {L"lib.dll-2024-01-30 10_00_00.000.log"}},
        {"never the newest", {1, 0, true},
         {L"lib.dll-2024-01-30 10_00_00.000.log", L"lib.dll-2024-01-31 10_00_00.000.log"}},
        {"older than the age limit", {0, 30, true}, {L"lib.dll-2024-01-30 10_00_00.000.log"}},
        {"age after size", {250, 29, true},
         {L"lib.dll-2024-01-30 10_00_00.000.log", L"lib.dll-2024-01-31 10_00_00.000.log"}},
        {"without the filter every file counts", {5100, 0, false},
         {L"aaa.txt", L"LIB.dll-2023-01-01 10_00_00.000.log", L"lib.dll-2024-01-30 10_00_00.000.log",
          L"lib.dll-2024-01-31 10_00_00.000.log"}},
        {"age stops at a name without a date", {0, 30, false}, {}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(LogFilesToDelete(files, L"lib.dll", row.rules, today), row.expected) << row.name;
    }
}

TEST(LogCleanupRules, SegmentNames) {
    for (const wchar_t* name : {L"lib.dll-2024-01-25 22_04_09.123.log", L"lib.dll-1-2 00_00.000.log",
                                L"c++(x)-2024-01-25 22_04_09.123.log"}) {
        EXPECT_TRUE(IsSegmentFileName(name, name[0] == L'c' ? L"c++(x)" : L"lib.dll")) << WideToUtf8(name);
    }
    for (const wchar_t* name : {L"lib.dll.log", L"libXdll-2024-01-25 22_04_09.123.log",
                                L"lib.dll-2024-01-25 22_04_09.123.log.bak", L"lib.dll-2024-01-25 22_04_09.12.log",
                                L"lib.dll-2024-01-25 22_04_9.123.log", L"lib.dll-2024-01-25_22_04_09.123.log",
                                L"lib.dll- 22_04_09.123.log", L"lib.dll 22_04_09.123.log", L""}) {
        EXPECT_FALSE(IsSegmentFileName(name, L"lib.dll")) << WideToUtf8(name);
    }
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
