#include "common/cdebug_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "json/value.h"
#include "log_test_support.h"
#include "platform/calendar_time.h"
#include "platform/thread.h"
#include "platform/utf8.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ReadBytes;
using testing_support::RecordingListener;
using testing_support::ScratchDir;
using testing_support::SplitRecords;
using testing_support::WaitFor;

namespace {

constexpr wchar_t kLogName[] = L"lib.dll";

std::string Narrow(const std::wstring& w) {
    return WideToUtf8(w);
}

std::wstring PathText(const fs::path& p) {
#ifdef _WIN32
    return p.native();
#else
    return Utf8ToWide(p.native());
#endif
}

// Milliseconds since 1970 of a local calendar time, as the log's clock gives it.
std::int64_t LocalMs(int y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s, unsigned ms) {
    return ((platform::DayNumber(y, mo, d) * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
}

// A clock the test moves by hand.
struct ManualClock {
    std::atomic<std::int64_t> utcMs{LocalMs(2024, 1, 25, 22, 4, 9, 123)};
    LogClock Clock() {
        return [this] {
            const std::int64_t t = utcMs.load();
            return LogTimePoint{t, t};
        };
    }
};

// A log in a scratch folder: settings file, application folder and log folder all inside it.
class LogFixture : public ::testing::Test {
protected:
    // The log makes one folder level (lib.dll.logs); the base folder exists, like the temporary folder.
    LogFixture() { fs::create_directories(dir_ / "logs"); }

    fs::path SettingsPath() const { return dir_ / (std::wstring(kLogName) + L".log_settings.json"); }
    fs::path LogFolder() const { return dir_ / "logs" / (std::wstring(kLogName) + L".logs"); }

    // Writes the settings file: `extra` members are added to a LogFolderPath of dir/logs.
    void WriteSettings(JSON::Value settings) {
        if (settings.GetType() == JSON::kUndefined) {
            settings.SetType(JSON::kObject);
        }
        if (settings.FindItem(L"LogFolderPath") == nullptr) {
            settings[L"LogFolderPath"].SetString(PathText(dir_ / "logs"));
        }
        std::ofstream out(SettingsPath(), std::ios::binary);
        out << WideToUtf8(JSON::GenerateText(settings));
    }

    DebugLogOptions Options() const {
        DebugLogOptions options;
        options.appFolder = dir_.path();
        options.logName = kLogName;
        options.defaultLogFolderPath = dir_ / "logs";
        return options;
    }

    std::unique_ptr<CDebugLog> MakeLog(LogClock clock = {}) {
        return std::make_unique<CDebugLog>(Options(), std::move(clock));
    }

    // The log files of the log folder, sorted by name.
    std::vector<fs::path> LogFiles() const {
        std::vector<fs::path> files;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(LogFolder(), ec)) {
            if (entry.is_regular_file()) {
                files.push_back(entry.path());
            }
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    // The records of a file without their prefix (everything after the 37 characters of time and thread).
    static std::vector<std::string> Messages(const fs::path& file) {
        std::vector<std::string> messages;
        for (const std::string& line : SplitRecords(ReadBytes(file))) {
            messages.push_back(line.size() >= 37 ? line.substr(37) : line);
        }
        return messages;
    }

    static std::vector<std::string> AllMessages(const std::vector<fs::path>& files) {
        std::vector<std::string> all;
        for (const auto& f : files) {
            auto m = Messages(f);
            all.insert(all.end(), m.begin(), m.end());
        }
        return all;
    }

    ScratchDir dir_{"dlog"};
};

JSON::Value Settings(std::initializer_list<std::pair<const wchar_t*, JSON::Value>> members) {
    JSON::Value v;
    v.SetType(JSON::kObject);
    for (const auto& [key, value] : members) {
        v[key] = value;
    }
    return v;
}

JSON::Value Int(std::int64_t i) {
    JSON::Value v;
    v.SetInt(i);
    return v;
}

JSON::Value Bool(bool b) {
    JSON::Value v;
    v.SetBool(b);
    return v;
}

JSON::Value Str(const std::wstring& s) {
    JSON::Value v;
    v.SetString(s);
    return v;
}

const std::vector<std::string> kHeaderLabels = {
    "------------------------<<< BUILD VER >>>------------------------",
    "",  // build line
    "----------------------<<< LOG PARAMETERS >>>---------------------",
    "App Folder Path : ",
    "Log Folder Path : ",
    "Debug Log Name  : ",
    "Logger severity level      : ",
    "Max days to keep files     : ",
    "Max total bytes in files   : ",
    "Max bytes per log file     : ",
    "Max log records per minute : ",
    "------------------------<<< BEGIN LOG >>>------------------------",
};
const std::string kEndLog = "-------------------------<<< END LOG >>>-------------------------";

// ---- the interface's own operations ------------------------------------------------------------------

// Records what reaches the two operations every other overload ends in.
class MinimalLog : public IDebugLog {
public:
    using IDebugLog::Trace;
    using IDebugLog::Write;
    using IDebugLog::WriteRaw;
    std::uint32_t SetLoggingLevel(std::uint32_t level) override { return std::exchange(level_, level); }
    std::uint32_t GetLoggingLevel() const override { return level_; }
    std::uint32_t SetEntriesPerMinute(std::uint32_t) override { return 0; }
    std::uint32_t GetEntriesPerMinute() const override { return 0; }
    void Write(const wchar_t* text, std::size_t length) override { writes.emplace_back(text, length); }
    void Trace(const wchar_t* text, std::size_t length) override { traces.emplace_back(text, length); }
    void WriteRaw(const char* text, std::size_t length) override { raws.emplace_back(text, length); }
    void SetListener(IDebugLogListener*) override {}

    std::vector<std::wstring> writes;
    std::vector<std::wstring> traces;
    std::vector<std::string> raws;

private:
    std::uint32_t level_ = 2;
};

TEST(DebugLogInterface, OverloadsEndInTheWideOperationAndDefaultsAnswerNeutrally) {
    MinimalLog log;
    log.Write(std::string("a\xC3\xA9"));
    log.Write("bcd", 2);
    log.Write("e");
    log.Write(std::wstring(L"f"));
    log.Write(L"g");
    log.Write(static_cast<const char*>(nullptr));
    log.WriteId(L"1", L"2", L"3");
    const std::vector<std::wstring> writes = {L"a\u00E9", L"bc", L"e", L"f", L"g", L"ID=1 SUB_ID=2 MSG=3"};
    EXPECT_EQ(log.writes, writes);
    log.Trace(std::string("t1"));
    log.Trace("t2x", 2);
    log.Trace("t3");
    log.Trace(std::wstring(L"t4"));
    log.Trace(L"t5");
    const std::vector<std::wstring> traces = {L"t1", L"t2", L"t3", L"t4", L"t5"};
    EXPECT_EQ(log.traces, traces);
    log.WriteRaw("raw");
    log.WriteRaw(static_cast<const char*>(nullptr));
    EXPECT_EQ(log.raws, std::vector<std::string>{"raw"});
    EXPECT_EQ(log.LineBreak, L"\r\n");
    EXPECT_FALSE(log.IsLogEnabled(L"x"));
    EXPECT_EQ(log.GetLogStreamState(L"x"), kLogStreamNotSet);
    EXPECT_FALSE(log.SetLogStreamState(L"x", true));
    EXPECT_FALSE(log.IsStackDumpInDebug());
    log.AddNewFileCallback([] {});
    EXPECT_EQ(log.RequestNewFile(), L"");
    EXPECT_EQ(log.GetFilePath(), L"");
    EXPECT_TRUE(log.Flush(0ms));
}

// ---- settings -------------------------------------------------------------------------------------

TEST_F(LogFixture, MissingSettingsFileIsWrittenWithDefaultsAndReadBack) {
    {
        auto log = MakeLog();
        EXPECT_EQ(log->SettingsFile(), (dir_ / "lib.dll.log_settings.json").lexically_normal());
        EXPECT_EQ(log->LogFolder(), LogFolder().lexically_normal());
        EXPECT_TRUE(fs::is_directory(LogFolder()));
    }
    JSON::Value v;
    ASSERT_TRUE(JSON::ParseFile(SettingsPath(), v));
    EXPECT_EQ(v[L"LogFolderPath"].GetString(), PathText(dir_ / "logs"));
    EXPECT_EQ(v[L"LogSegmentSize"].GetUInt64(), 1048576u);
    EXPECT_EQ(v[L"TotalBytesLimit"].GetUInt64(), 31457280u);
    EXPECT_EQ(v[L"MaxDaysKeepAlive"].GetUInt32(), 30u);
    EXPECT_EQ(v[L"LoggingLevel"].GetUInt32(), 2u);
    EXPECT_EQ(v[L"EntriesPerMinute"].GetUInt32(), 10000u);
    for (const wchar_t* key : {L"TimeLogging", L"ThreadIdLogging", L"UseFilesFilter", L"WriteToDisk"}) {
        EXPECT_EQ(v[key].GetType(), JSON::kLiteral) << Narrow(key);
        EXPECT_TRUE(v[key].GetBool()) << Narrow(key);
    }
    EXPECT_EQ(v.FindItem(L"StackDumpInDebug"), nullptr);
    ASSERT_EQ(v[L"LogStates"].ArraySize(), 1u);
    EXPECT_EQ(JSON::GenerateText(v[L"LogStates"]), L"[{\"TestLogStreamId\":false}]");
    EXPECT_EQ(v.ObjectSize(), 11u);
}

TEST_F(LogFixture, SettingsAreReadAndWrongKindsKeepTheirDefaults) {
    JSON::Value states;
    states.SetType(JSON::kArray);
    states.array.push_back(Settings({{L"On", Bool(true)}}));
    states.array.push_back(Settings({{L"Off", Bool(false)}}));
    states.array.push_back(Settings({{L"Num", Int(7)}}));
    states.array.push_back(Settings({{L"A", Int(1)}, {L"B", Int(0)}}));  // two members
    states.array.push_back(Int(5));                                      // not an object
    states.array.push_back(Settings({{L"On", Bool(false)}}));            // later duplicate wins
    WriteSettings(Settings({{L"LogSegmentSize", Int(5000)},
                            {L"TotalBytesLimit", Str(L"many")},  // wrong kind
                            {L"MaxDaysKeepAlive", Int(-1)},      // out of range
                            {L"LoggingLevel", Int(4)},
                            {L"TimeLogging", Bool(false)},
                            {L"ThreadIdLogging", Int(0)},
                            {L"UseFilesFilter", Str(L"no")},
                            {L"EntriesPerMinute", Int(17)},
                            {L"StackDumpInDebug", Bool(true)},
                            {L"LogStates", states}}));
    auto log = MakeLog();
    const DebugLogSettings& s = log->Settings();
    EXPECT_EQ(s.logSegmentSize, 5000u);
    EXPECT_EQ(s.totalBytesLimit, 31457280u);
    EXPECT_EQ(s.maxDaysKeepAlive, 30u);
    EXPECT_EQ(log->GetLoggingLevel(), 4u);
    EXPECT_FALSE(s.timeLogging);
    EXPECT_FALSE(s.threadIdLogging);
    EXPECT_TRUE(s.useFilesFilter);
    EXPECT_EQ(log->GetEntriesPerMinute(), 17u);
    EXPECT_TRUE(log->IsStackDumpInDebug());
    EXPECT_EQ(log->GetLogStreamState(L"On"), kLogStreamOff);
    EXPECT_EQ(log->GetLogStreamState(L"Off"), kLogStreamOff);
    EXPECT_EQ(log->GetLogStreamState(L"Num"), kLogStreamOn);
    EXPECT_EQ(log->GetLogStreamState(L"TestLogStreamId"), kLogStreamOff);
    EXPECT_EQ(log->GetLogStreamState(L"A"), kLogStreamNotSet);
    EXPECT_EQ(log->GetLogStreamState(L"B"), kLogStreamNotSet);
}

TEST_F(LogFixture, TextThatIsNotJsonGivesDefaultsAndTheDefaultFolder) {
    {
        std::ofstream out(SettingsPath(), std::ios::binary);
        out << "{ this is not json";
    }
    auto log = MakeLog();
    EXPECT_EQ(log->Settings().logSegmentSize, 1048576u);
    EXPECT_EQ(log->GetLoggingLevel(), 2u);
    // The default "LogFolderPath" of this log is dir/logs.
    EXPECT_EQ(log->LogFolder(), LogFolder().lexically_normal());
    // The file is left as it was.
    EXPECT_EQ(ReadBytes(SettingsPath()), "{ this is not json");
}

TEST_F(LogFixture, SettingsFileWithByteOrderMarkIsRead) {
    {
        std::ofstream out(SettingsPath(), std::ios::binary);
        out << "\xEF\xBB\xBF{\"LoggingLevel\": 5, \"LogFolderPath\": \"sub\"}";
    }
    auto log = MakeLog();
    EXPECT_EQ(log->GetLoggingLevel(), 5u);
    // A relative folder is taken relative to the application folder.
    EXPECT_EQ(log->LogFolder(), (dir_ / "sub" / "lib.dll.logs").lexically_normal());
}

TEST_F(LogFixture, LogFolderRulesEmptyRelativeDottedAndAbsolute) {
    struct Case {
        std::wstring value;
        fs::path expected;
    };
    const std::vector<Case> cases = {
        {L"", dir_ / "lib.dll.logs"},
        {L".", dir_ / "lib.dll.logs"},
        {L"a/b/../c", dir_ / "a" / "c" / "lib.dll.logs"},
        {PathText(dir_ / "x" / ".." / "abs"), dir_ / "abs" / "lib.dll.logs"},
    };
    fs::create_directories(dir_ / "a" / "c");
    fs::create_directories(dir_ / "abs");
    for (const Case& c : cases) {
        WriteSettings(Settings({{L"LogFolderPath", Str(c.value)}}));
        auto log = MakeLog();
        EXPECT_EQ(log->LogFolder(), c.expected.lexically_normal()) << Narrow(c.value);
        EXPECT_TRUE(fs::is_directory(c.expected)) << Narrow(c.value);
        // The folder text carries no trailing separator and only the platform's separators.
        const std::wstring text = PathText(log->LogFolder());
        EXPECT_NE(text.back(), fs::path::preferred_separator);
#ifdef _WIN32
        EXPECT_EQ(text.find(L'/'), std::wstring::npos);
#endif
    }
}

TEST_F(LogFixture, UnwritableSettingsFileKeepsTheDefaultLogFolderNotTheCurrentDirectory) {
    // The settings file's folder does not exist: the default file cannot be written either.
    DebugLogOptions options = Options();
    options.settingsFile = dir_ / "missing" / "lib.dll.log_settings.json";
    const fs::path saved = fs::current_path();
    fs::current_path(dir_.path());
    {
        CDebugLog log(options);
        EXPECT_EQ(fs::path(log.LogFolder()), LogFolder());
        EXPECT_EQ(log.Settings().logSegmentSize, 1048576u);
        log.Write(L"in the default log folder");
        ASSERT_TRUE(log.Flush(10s));
        const fs::path file = fs::path(log.GetFilePath());
        EXPECT_EQ(file.parent_path(), LogFolder());
        EXPECT_TRUE(fs::exists(file));
    }
    fs::current_path(saved);
    EXPECT_FALSE(fs::exists(dir_ / "missing"));
    // Nothing was written into the working directory.
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
        EXPECT_TRUE(entry.is_directory()) << entry.path();
    }
}

// ---- records ----------------------------------------------------------------------------------------

TEST_F(LogFixture, RecordPrefixCarriesLocalTimeAndThreadId) {
    auto log = MakeLog();
    const LogTimePoint t{0, LocalMs(2024, 1, 25, 22, 4, 9, 123)};
    const std::wstring record = log->FormatRecord(L"RtpManager: hello", t);
    wchar_t id[16];
    std::swprintf(id, 16, L"%08X", platform::CurrentThreadId());
    EXPECT_EQ(record, L"2024/01/25 22:04:09.123 @ " + std::wstring(id) + L" @ RtpManager: hello\r\n");
    EXPECT_EQ(record.find(L"RtpManager"), 37u);
    // Same second, other milliseconds (the date part comes from a per-second cache).
    EXPECT_EQ(log->FormatRecord(L"x", {0, LocalMs(2024, 1, 25, 22, 4, 9, 7)}).substr(0, 26),
              L"2024/01/25 22:04:09.007 @ ");
    EXPECT_EQ(log->FormatRecord(L"x", {0, LocalMs(1999, 12, 31, 23, 59, 59, 999)}).substr(0, 26),
              L"1999/12/31 23:59:59.999 @ ");
    EXPECT_EQ(log->FormatRecord(L"x", {0, LocalMs(2000, 2, 29, 0, 0, 0, 0)}).substr(0, 26),
              L"2000/02/29 00:00:00.000 @ ");
    // Continuation lines align under the message.
    EXPECT_EQ(log->LineBreak, L"\r\n" + std::wstring(37, L' '));
}

TEST_F(LogFixture, SystemClockAgreesWithThePlatformLocalTime) {
    const LogTimePoint t = SystemLogTime();
    const platform::CalendarTime lt = platform::LocalTimeFromUnixMs(t.utcMs);
    EXPECT_EQ(t.localMs, LocalMs(lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second, lt.millisecond));
    EXPECT_LE(std::abs(t.utcMs - platform::UnixTimeMs()), 5000);
}

TEST_F(LogFixture, PrefixesFollowTimeAndThreadSettings) {
    WriteSettings(Settings({{L"TimeLogging", Bool(false)}}));
    {
        auto log = MakeLog();
        const std::wstring r = log->FormatRecord(L"m", {0, 0});
        EXPECT_EQ(r.size(), 8u + 3 + 1 + 2);
        EXPECT_EQ(r.substr(8), L" @ m\r\n");
    }
    WriteSettings(Settings({{L"TimeLogging", Bool(false)}, {L"ThreadIdLogging", Bool(false)}}));
    auto log = MakeLog();
    EXPECT_EQ(log->FormatRecord(L"m", {0, 0}), L"m\r\n");
}

TEST_F(LogFixture, WriteOverloadsAndEmptyTexts) {
    WriteSettings(Settings({{L"TimeLogging", Bool(false)}, {L"ThreadIdLogging", Bool(false)}}));
    auto log = MakeLog();
    RecordingListener listener;
    log->SetListener(&listener);
    log->Write(std::wstring(3, L'\0'));  // only zeros: nothing
    log->Write(L"");                     // nothing
    log->Write(static_cast<const wchar_t*>(nullptr));
    log->Write(std::wstring(L"ab\0\0", 4));  // trailing zeros dropped
    log->Write("caf\xC3\xA9");               // UTF-8
    log->Write(std::string("n\xC3\xA4rrow"));
    log->Write("abcdef", 3);  // only the given length
    log->Write("xy\0zz", 5);  // stops at the zero
    log->Write("\xFF\xFE");   // invalid UTF-8: empty, nothing written
    log->WriteId(L"id", L"sub", L"msg");
    log->Trace(L"never");
    log->Trace("never");
    ASSERT_TRUE(log->Flush(10s));
    const std::vector<std::wstring> expected = {L"ab\r\n",          L"caf\u00E9\r\n",
                                                L"n\u00E4rrow\r\n", L"abc\r\n",
                                                L"xy\r\n",          L"ID=id SUB_ID=sub MSG=msg\r\n"};
    EXPECT_EQ(listener.Records(), expected);
    log->SetListener(nullptr);
    const std::string bytes = ReadBytes(fs::path(log->GetFilePath()));
    EXPECT_NE(bytes.find("caf\xC3\xA9\r\nn\xC3\xA4rrow\r\n"), std::string::npos);
    EXPECT_EQ(bytes.find("never"), std::string::npos);
}

TEST_F(LogFixture, WriteAtLevelAndFormatLine) {
    auto log = std::shared_ptr<CDebugLog>(MakeLog());
    RecordingListener listener;
    log->SetListener(&listener);
    EXPECT_EQ(log->SetLoggingLevel(3), 2u);
    WriteAtLevel(log, 3, L"level three");
    WriteAtLevel(log, 4, L"level four");
    WriteAtLevel(nullptr, 0, L"no log");
    log->Write(
        FormatLine(L"%ls: Init: FS = %u Packet samples = %d %ls", L"RtpManager", 48000u, -5, L"\u00E9"));
    const std::wstring longText(3000, L'q');
    log->Write(FormatLine(L"<%ls>", longText.c_str()));
    ASSERT_TRUE(log->Flush(10s));
    log->SetListener(nullptr);
    const auto records = listener.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].substr(37), L"level three\r\n");
    EXPECT_EQ(records[1].substr(37), L"RtpManager: Init: FS = 48000 Packet samples = -5 \u00E9\r\n");
    EXPECT_EQ(records[2].substr(37), L"<" + longText + L">\r\n");
}

// ---- rate limit -------------------------------------------------------------------------------------

TEST_F(LogFixture, PerMinuteLimitSuspendsAndResumesAtTheNextMinute) {
    WriteSettings(Settings({{L"EntriesPerMinute", Int(3)}}));
    ManualClock clock;
    clock.utcMs = LocalMs(2024, 1, 25, 22, 4, 9, 0);
    auto log = MakeLog(clock.Clock());
    RecordingListener listener;
    log->SetListener(&listener);
    for (int i = 1; i <= 5; ++i) {
        log->Write(L"r" + std::to_wstring(i));
    }
    clock.utcMs = LocalMs(2024, 1, 25, 22, 4, 59, 999);  // same minute
    log->Write(L"late");
    clock.utcMs = LocalMs(2024, 1, 25, 22, 5, 0, 0);  // next minute
    log->Write(L"next");
    ASSERT_TRUE(log->Flush(10s));
    std::vector<std::wstring> messages;
    for (const auto& r : listener.Records()) {
        messages.push_back(r.substr(37, r.size() - 39));
    }
    const std::vector<std::wstring> expected = {
        L"r1", L"r2", L"r3", L"*** Log writing process suspended, too many messages per minute ***", L"next"};
    EXPECT_EQ(messages, expected);
    log->SetListener(nullptr);
}

TEST_F(LogFixture, SettingTheLimitRestartsTheMinuteAndZeroMeansUnlimited) {
    WriteSettings(Settings({{L"EntriesPerMinute", Int(2)}}));
    ManualClock clock;
    auto log = MakeLog(clock.Clock());
    RecordingListener listener;
    log->SetListener(&listener);
    log->Write(L"a");
    log->Write(L"b");  // limit reached: suspension record
    log->Write(L"dropped");
    EXPECT_EQ(log->SetEntriesPerMinute(2), 2u);  // restarts the count in the same minute
    log->Write(L"c");
    EXPECT_EQ(log->SetEntriesPerMinute(0), 2u);
    for (int i = 0; i < 50; ++i) {
        log->Write(L"free");
    }
    ASSERT_TRUE(log->Flush(10s));
    const auto records = listener.Records();
    ASSERT_EQ(records.size(), 3u + 1 + 50);
    EXPECT_NE(records[2].find(L"suspended"), std::wstring::npos);
    EXPECT_EQ(records[3].substr(37), L"c\r\n");
    EXPECT_TRUE(listener.Containing(L"dropped").empty());
    log->SetListener(nullptr);
}

// ---- files ------------------------------------------------------------------------------------------

TEST_F(LogFixture, FileHasHeaderRecordsAndEndLog) {
    WriteSettings(Settings({{L"LoggingLevel", Int(3)}, {L"EntriesPerMinute", Int(123)}}));
    fs::path file;
    {
        auto log = MakeLog();
        log->Write(L"first");
        log->Write(L"second");
        ASSERT_TRUE(log->Flush(10s));
        file = fs::path(log->GetFilePath());
    }
    // lib.dll-YYYY-MM-DD HH_MM_SS.mmm.log in the log folder
    EXPECT_EQ(file.parent_path(), LogFolder().lexically_normal());
    const std::wstring name = PathText(file.filename());
    ASSERT_EQ(name.size(), std::wstring(L"lib.dll-2024-01-25 22_04_09.123.log").size());
    EXPECT_EQ(name.substr(0, 8), L"lib.dll-");
    EXPECT_EQ(name.substr(name.size() - 4), L".log");

    const std::vector<std::string> m = Messages(file);
    ASSERT_EQ(m.size(), kHeaderLabels.size() + 3);
    for (std::size_t i = 0; i < kHeaderLabels.size(); ++i) {
        EXPECT_EQ(m[i].substr(0, kHeaderLabels[i].size()), kHeaderLabels[i]) << i;
    }
    EXPECT_NE(m[1].find("0.1.0"), std::string::npos) << m[1];
#ifdef _WIN32
    EXPECT_NE(m[1].find("Windows-"), std::string::npos) << m[1];
#else
    EXPECT_NE(m[1].find("Linux-"), std::string::npos) << m[1];
#endif
    EXPECT_EQ(m[3], "App Folder Path : " + Narrow(PathText(dir_.path())));
    EXPECT_EQ(m[4], "Log Folder Path : " + Narrow(PathText(LogFolder().lexically_normal())));
    EXPECT_EQ(m[5], "Debug Log Name  : lib.dll");
    EXPECT_EQ(m[6], "Logger severity level      : 3");
    EXPECT_EQ(m[7], "Max days to keep files     : 30");
    EXPECT_EQ(m[8], "Max total bytes in files   : 31457280");
    EXPECT_EQ(m[9], "Max bytes per log file     : 1048576");
    EXPECT_EQ(m[10], "Max log records per minute : 123");
    EXPECT_EQ(m[12], "first");
    EXPECT_EQ(m[13], "second");
    EXPECT_EQ(m[14], kEndLog);
    EXPECT_TRUE(fs::exists(file));
}

TEST_F(LogFixture, SegmentsRotateJustAfterTheLimitWithFullHeaders) {
    const std::size_t kLimit = 3000;
    WriteSettings(Settings(
        {{L"LogSegmentSize", Int(kLimit)}, {L"TotalBytesLimit", Int(0)}, {L"MaxDaysKeepAlive", Int(0)}}));
    const int kRecords = 200;
    {
        auto log = MakeLog();
        for (int i = 0; i < kRecords; ++i) {
            log->Write(FormatLine(L"record %03d %ls", i, std::wstring(40, L'x').c_str()));
        }
    }
    const auto files = LogFiles();
    ASSERT_GE(files.size(), 5u);
    int next = 0;
    for (const auto& file : files) {
        const std::string bytes = ReadBytes(file);
        const auto lines = SplitRecords(bytes);
        const auto m = Messages(file);
        ASSERT_GE(m.size(), kHeaderLabels.size() + 1);
        EXPECT_EQ(m.front(), kHeaderLabels.front());
        EXPECT_EQ(m[kHeaderLabels.size() - 1], kHeaderLabels.back());
        EXPECT_EQ(m.back(), kEndLog);
        // Every file but the last passed the limit with its last record, and only with it.
        if (&file != &files.back()) {
            const std::size_t beforeEnd = bytes.size() - (lines.back().size() + 2);
            const std::size_t lastRecordBytes = lines[lines.size() - 2].size() + 2;
            EXPECT_GT(beforeEnd, kLimit);
            EXPECT_LE(beforeEnd - lastRecordBytes, kLimit);
        }
        for (std::size_t i = kHeaderLabels.size(); i + 1 < m.size(); ++i) {
            char expected[32];
            std::snprintf(expected, sizeof(expected), "record %03d ", next++);
            EXPECT_EQ(m[i].substr(0, 11), expected);
        }
    }
    EXPECT_EQ(next, kRecords);
}

TEST_F(LogFixture, WithoutSegmentsOneFileIsAppendedAcrossRuns) {
    WriteSettings(Settings({{L"LogSegmentSize", Int(0)}}));
    for (int run = 0; run < 2; ++run) {
        auto log = MakeLog();
        for (int i = 0; i < 300; ++i) {
            log->Write(FormatLine(L"run %d line %d %ls", run, i, std::wstring(50, L'z').c_str()));
        }
        ASSERT_TRUE(log->Flush(10s));
        EXPECT_EQ(fs::path(log->GetFilePath()), (LogFolder() / "lib.dll.log").lexically_normal());
    }
    const auto files = LogFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].filename(), fs::path("lib.dll.log"));
    const auto m = Messages(files[0]);
    EXPECT_EQ(std::count(m.begin(), m.end(), kHeaderLabels.front()), 2);
    EXPECT_EQ(std::count(m.begin(), m.end(), kEndLog), 2);
    EXPECT_EQ(m.size(), 2 * (kHeaderLabels.size() + 300 + 1));
}

TEST_F(LogFixture, RequestNewFileClosesTheCurrentFileAndCallsTheCallbacks) {
    auto log = MakeLog();
    log->Write(L"in the first file");
    ASSERT_TRUE(log->Flush(10s));  // the first file is open now
    std::atomic<int> calls{0};
    std::atomic<int> secondCalls{0};
    log->AddNewFileCallback([&] { calls.fetch_add(1); });
    log->AddNewFileCallback(nullptr);  // ignored
    log->AddNewFileCallback([&] { secondCalls.fetch_add(calls.load() == 1 ? 1 : 100); });
    const std::wstring first = log->GetFilePath();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(log->RequestNewFile(), first);
    ASSERT_TRUE(WaitFor([&] { return secondCalls.load() != 0; }));
    EXPECT_EQ(secondCalls.load(), 1);  // called after the first callback
    const std::wstring second = log->GetFilePath();
    EXPECT_NE(second, first);
    log->Write(L"in the second file");
    ASSERT_TRUE(log->Flush(10s));
    const auto m1 = Messages(fs::path(first));
    EXPECT_EQ(m1.back(), kEndLog);
    EXPECT_EQ(m1[m1.size() - 2], "in the first file");
    const auto m2 = Messages(fs::path(second));
    EXPECT_EQ(m2.front(), kHeaderLabels.front());
    EXPECT_EQ(m2.back(), "in the second file");
}

TEST_F(LogFixture, DestructionWritesEveryQueuedRecordBeforeEndLog) {
    WriteSettings(Settings({{L"EntriesPerMinute", Int(0)}, {L"LogSegmentSize", Int(0)}}));
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
        // No flush: the destructor must drain the queue.
    }
    const auto m = Messages(LogFolder() / "lib.dll.log");
    ASSERT_EQ(m.back(), kEndLog);
    std::vector<int> next(kThreads, 0);
    std::size_t records = 0;
    for (const std::string& line : m) {
        int t = -1;
        int n = -1;
        if (std::sscanf(line.c_str(), "t%d n%d", &t, &n) == 2) {
            ASSERT_GE(t, 0);
            ASSERT_LT(t, kThreads);
            EXPECT_EQ(n, next[t]) << "records of one thread out of order or lost";
            next[t] = n + 1;
            ++records;
        }
    }
    EXPECT_EQ(records, static_cast<std::size_t>(kThreads * kPerThread));
}

TEST_F(LogFixture, RecordsWaitForAFileThatCannotBeCreatedYet) {
    // A plain file stands where the log folder has to be: neither the folder nor the log file can be made.
    fs::create_directories(dir_ / "logs");
    {
        std::ofstream blocker(LogFolder());
        blocker << "in the way";
    }
    WriteSettings(Settings({}));
    auto log = MakeLog();
    RecordingListener listener;
    log->SetListener(&listener);
    for (int i = 0; i < 100; ++i) {
        log->Write(FormatLine(L"kept %d", i));
    }
    ASSERT_TRUE(log->Flush(10s));
    EXPECT_EQ(listener.Records().size(), 100u);  // delivered to the listener at once
    EXPECT_TRUE(log->GetFilePath().empty());
    fs::remove(LogFolder());
    ASSERT_TRUE(WaitFor([&] { return !log->GetFilePath().empty(); }));
    log->Write(L"after");
    ASSERT_TRUE(log->Flush(10s));
    const auto m = Messages(fs::path(log->GetFilePath()));
    ASSERT_EQ(m.size(), kHeaderLabels.size() + 101);
    EXPECT_EQ(m[kHeaderLabels.size() - 1], kHeaderLabels.back());
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(m[kHeaderLabels.size() + i], "kept " + std::to_string(i));
    }
    EXPECT_EQ(m.back(), "after");
    EXPECT_EQ(log->LostRecords(), 0u);
    log->SetListener(nullptr);
}

TEST_F(LogFixture, WriteToDiskOffFeedsOnlyTheListener) {
    WriteSettings(Settings({{L"WriteToDisk", Bool(false)}}));
    auto log = MakeLog();
    RecordingListener listener;
    log->SetListener(&listener);
    log->Write(L"only for the listener");
    ASSERT_TRUE(log->Flush(10s));
    EXPECT_EQ(listener.Records().size(), 1u);
    EXPECT_TRUE(log->GetFilePath().empty());
    EXPECT_EQ(log->RequestNewFile(), L"");
    EXPECT_TRUE(LogFiles().empty());
    log->SetListener(nullptr);
}

TEST_F(LogFixture, WriteRawGoesStraightIntoTheFile) {
    WriteSettings(Settings({{L"LogSegmentSize", Int(0)}}));
    auto log = MakeLog();
    log->Write(L"queued");
    ASSERT_TRUE(log->Flush(10s));
    log->WriteRaw("\tEXCEPTION code: 0xC0000005 ACCESS_VIOLATION");
    log->WriteRaw("raw\0ignored", 11);
    log->WriteRaw(static_cast<const char*>(nullptr));
    const auto lines = SplitRecords(ReadBytes(fs::path(log->GetFilePath())));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2].substr(37), "\tEXCEPTION code: 0xC0000005 ACCESS_VIOLATION");
    EXPECT_EQ(lines.back().substr(37), "raw");
    EXPECT_EQ(lines.back()[23], ' ');
    EXPECT_EQ(lines.back().substr(24, 2), "@ ");
}

TEST_F(LogFixture, ListenerSeesEveryRecordOfConcurrentWritersInOrder) {
    WriteSettings(Settings({{L"EntriesPerMinute", Int(0)}, {L"WriteToDisk", Bool(false)}}));
    auto log = MakeLog();
    RecordingListener listener;
    log->SetListener(&listener);
    const int kThreads = 4;
    const int kPerThread = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                log->Write(FormatLine(L"T%d #%d", t, i));
                if (i % 500 == 0) {
                    log->Flush(10s);
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    ASSERT_TRUE(log->Flush(10s));
    log->SetListener(nullptr);
    std::vector<int> next(kThreads, 0);
    const auto records = listener.Records();
    ASSERT_EQ(records.size(), static_cast<std::size_t>(kThreads * kPerThread));
    for (const auto& r : records) {
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::swscanf(r.c_str() + 37, L"T%d #%d", &t, &n), 2);
        EXPECT_EQ(n, next[t]);
        next[t] = n + 1;
    }
}

// ---- log streams ------------------------------------------------------------------------------------

TEST_F(LogFixture, LogStreamQueriesReportEachIdOnce) {
    JSON::Value states;
    states.SetType(JSON::kArray);
    states.array.push_back(Settings({{L"NetManager-Stat", Bool(false)}}));
    states.array.push_back(Settings({{L"RtpStreams", Bool(true)}}));
    WriteSettings(Settings({{L"LogStates", states}}));
    auto log = MakeLog();
    RecordingListener listener;
    log->SetListener(&listener);
    EXPECT_EQ(log->GetLogStreamState(L"X"), kLogStreamNotSet);
    EXPECT_EQ(log->GetLogStreamState(L"X"), kLogStreamNotSet);
    EXPECT_EQ(log->GetLogStreamState(L"NetManager-Stat"), kLogStreamOff);
    EXPECT_TRUE(log->IsLogEnabled(L"RtpStreams"));
    EXPECT_EQ(log->GetLogStreamState(L"RtpStreams"), kLogStreamOn);  // already reported
    EXPECT_FALSE(log->IsLogEnabled(L"Y"));
    EXPECT_FALSE(log->IsLogEnabled(L"NetManager-Stat"));  // already reported
    EXPECT_FALSE(log->SetLogStreamState(L"Y", true));
    EXPECT_TRUE(log->SetLogStreamState(L"Y", false));
    EXPECT_TRUE(log->SetLogStreamState(L"RtpStreams", false));
    EXPECT_EQ(log->GetLogStreamState(L"RtpStreams"), kLogStreamOff);
    ASSERT_TRUE(log->Flush(10s));
    std::vector<std::wstring> messages;
    for (const auto& r : listener.Records()) {
        messages.push_back(r.substr(37, r.size() - 39));
    }
    const std::vector<std::wstring> expected = {
        L"GetLogStreamState() check for log-id = \"X\"; not found in log_settings; logging is not set",
        L"GetLogStreamState() check for log-id = \"NetManager-Stat\"; found in log_settings; logging is OFF",
        L"IsLogEnabled() check for log-id = \"RtpStreams\"; logging is ON",
        L"IsLogEnabled() check for log-id = \"Y\"; logging is OFF",
    };
    EXPECT_EQ(messages, expected);
    log->SetListener(nullptr);
}

// ---- clean-up ---------------------------------------------------------------------------------------

void MakeFile(const fs::path& path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(size, 'o');
}

TEST_F(LogFixture, CleanupDeletesOldestFilesBeyondTheTotalSize) {
    WriteSettings(Settings({{L"TotalBytesLimit", Int(6000)}, {L"MaxDaysKeepAlive", Int(0)}}));
    fs::create_directories(LogFolder());
    MakeFile(LogFolder() / "lib.dll-2020-01-01 10_00_00.000.log", 4000);
    MakeFile(LogFolder() / "LIB.dll-2021-01-01 10_00_00.000.log", 4000);  // case differs: still ours?
    MakeFile(LogFolder() / "lib.dll-2022-01-01 10_00_00.000.log", 4000);
    MakeFile(LogFolder() / "other.txt", 100000);  // not a log file of ours
    MakeFile(LogFolder() / "lib.dll.log", 100000);
    auto log = MakeLog();
    ASSERT_TRUE(WaitFor([&] { return log->CompletedCleanups() >= 1; }, 20s));
    // The pattern compares case-sensitively, so the LIB.dll file is not ours; of ours, the two oldest go
    // (4000 + 4000 + header > 6000, then 4000 + header <= 6000).
    EXPECT_FALSE(fs::exists(LogFolder() / "lib.dll-2020-01-01 10_00_00.000.log"));
    EXPECT_TRUE(fs::exists(LogFolder() / "LIB.dll-2021-01-01 10_00_00.000.log"));
    EXPECT_TRUE(fs::exists(LogFolder() / "lib.dll-2022-01-01 10_00_00.000.log"));
    EXPECT_TRUE(fs::exists(LogFolder() / "other.txt"));
    EXPECT_TRUE(fs::exists(LogFolder() / "lib.dll.log"));
    EXPECT_TRUE(fs::exists(fs::path(log->GetFilePath())));
}

TEST_F(LogFixture, CleanupNeverDeletesTheLastFile) {
    WriteSettings(Settings({{L"TotalBytesLimit", Int(1)}, {L"MaxDaysKeepAlive", Int(0)}}));
    fs::create_directories(LogFolder());
    MakeFile(LogFolder() / "lib.dll-2020-01-01 10_00_00.000.log", 10);
    auto log = MakeLog();
    ASSERT_TRUE(WaitFor([&] { return log->CompletedCleanups() >= 1; }, 20s));
    EXPECT_EQ(LogFiles(), std::vector<fs::path>{fs::path(log->GetFilePath())});
}

TEST_F(LogFixture, CleanupWithoutFilterCountsEveryFile) {
    WriteSettings(Settings(
        {{L"TotalBytesLimit", Int(50000)}, {L"MaxDaysKeepAlive", Int(0)}, {L"UseFilesFilter", Bool(false)}}));
    fs::create_directories(LogFolder());
    MakeFile(LogFolder() / "aaa.txt", 100000);
    MakeFile(LogFolder() / "lib.dll-2020-01-01 10_00_00.000.log", 10);
    auto log = MakeLog();
    ASSERT_TRUE(WaitFor([&] { return log->CompletedCleanups() >= 1; }, 20s));
    EXPECT_FALSE(fs::exists(LogFolder() / "aaa.txt"));  // first by name
    EXPECT_TRUE(fs::exists(LogFolder() / "lib.dll-2020-01-01 10_00_00.000.log"));
}

TEST_F(LogFixture, CleanupDeletesFilesOlderThanTheAgeLimit) {
    WriteSettings(Settings({{L"TotalBytesLimit", Int(0)}, {L"MaxDaysKeepAlive", Int(30)}}));
    fs::create_directories(LogFolder());
    const platform::CalendarTime now = platform::LocalTimeNow();
    const std::int64_t today = platform::DayNumber(now.year, now.month, now.day);
    auto name = [](std::int64_t day) {
        // Day number back to a date through the platform's UTC conversion of midnight.
        const platform::CalendarTime c = platform::UtcTimeFromUnixMs(day * 86400000);
        char buf[64];
        std::snprintf(buf, sizeof(buf), "lib.dll-%04u-%02u-%02u 10_00_00.000.log", c.year, c.month, c.day);
        return std::string(buf);
    };
    MakeFile(LogFolder() / name(today - 400), 10);
    MakeFile(LogFolder() / name(today - 31), 10);
    MakeFile(LogFolder() / name(today - 30), 10);  // exactly at the cut-off: kept
    MakeFile(LogFolder() / name(today - 2), 10);
    auto log = MakeLog();
    ASSERT_TRUE(WaitFor([&] { return log->CompletedCleanups() >= 1; }, 20s));
    EXPECT_FALSE(fs::exists(LogFolder() / name(today - 400)));
    EXPECT_FALSE(fs::exists(LogFolder() / name(today - 31)));
    EXPECT_TRUE(fs::exists(LogFolder() / name(today - 30)));
    EXPECT_TRUE(fs::exists(LogFolder() / name(today - 2)));
}

TEST_F(LogFixture, CleanupConsidersOnlyOurSegmentNames) {
    auto log = MakeLog();
    for (const wchar_t* good : {L"lib.dll-2024-01-25 22_04_09.123.log", L"lib.dll-1-2-3 00_00.000.log",
                                L"lib.dll-7 12_34_56_78.999.log"}) {
        EXPECT_TRUE(log->IsSegmentFileName(good)) << Narrow(good);
    }
    for (const wchar_t* bad : {
             L"lib.dll.log",
             L"libXdll-2024-01-25 22_04_09.123.log",      // the name is taken literally
             L"LIB.DLL-2024-01-25 22_04_09.123.log",      // and with its case
             L"lib.dll-2024-01-25 22_04_09.123.log.bak",  // nothing after .log
             L"lib.dll-2024-01-25 22_04_09.12.log",       // three digits of milliseconds
             L"lib.dll-2024-01-25 22_04_09.1234.log",     //
             L"lib.dll-2024-01-25 22_04_9.123.log",       // two-digit fields
             L"lib.dll-2024-01-25 2204.123.log",          // at least one "DD_"
             L"lib.dll-2024-01-25_22_04_09.123.log",      // a blank before the time
             L"lib.dll- 22_04_09.123.log",                // digits after every "-"
             L"lib.dll 22_04_09.123.log",                 // at least one "-digits"
             L"lib.dll-2024-01-25 22_04_09.123.LOG",      //
             L"",
         }) {
        EXPECT_FALSE(log->IsSegmentFileName(bad)) << Narrow(bad);
    }
    // Characters with a meaning in regular expressions are plain characters of the name.
    DebugLogOptions options = Options();
    options.logName = L"c++(x)";
    options.settingsFile = dir_ / "other.json";
    CDebugLog odd(options);
    EXPECT_TRUE(odd.IsSegmentFileName(L"c++(x)-2024-01-25 22_04_09.123.log"));
    EXPECT_FALSE(odd.IsSegmentFileName(L"cc(x)-2024-01-25 22_04_09.123.log"));
}

}  // namespace
