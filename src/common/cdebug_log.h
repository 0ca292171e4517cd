// CDebugLog: the process debug log behind IDebugLog.
//
// Callers format their record (time stamp and thread id are the caller's) and append it to a queue
// under one short lock; a writer thread of the log delivers the records to the listener and appends
// them, in UTF-8, to the current log file. Files are segmented by size, each with a header and an
// END LOG record; a clean-up thread deletes the oldest files by total size and by age. The settings come
// from a JSON file next to the library (see DebugLogOptions for the overrides).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/debug_log.h"
#include "platform/file.h"

// One instant of the wall clock as the log uses it: milliseconds since 1970-01-01 in UTC and the same
// instant in local time (UTC plus the zone offset).
struct LogTimePoint {
    std::int64_t utcMs = 0;
    std::int64_t localMs = 0;
};

// The wall clock of a log; tests pass a clock of their own.
using LogClock = std::function<LogTimePoint()>;

// The system's wall clock (the local offset is looked up again every second).
LogTimePoint SystemLogTime();

// The settings of a log as read from its settings file.
struct DebugLogSettings {
    std::wstring logFolderPath;  // "LogFolderPath" as given (or the default)
    std::uint64_t logSegmentSize = 1048576;
    std::uint64_t totalBytesLimit = 31457280;
    std::uint32_t maxDaysKeepAlive = 30;
    std::uint32_t loggingLevel = 2;
    bool timeLogging = true;
    bool threadIdLogging = true;
    bool useFilesFilter = true;
    std::uint32_t entriesPerMinute = 10000;
    bool writeToDisk = true;
    bool stackDumpInDebug = false;
};

class CDebugLog final : public IDebugLog {
public:
    // Reads the settings and starts the writer thread. `clock` null: the system's wall clock.
    explicit CDebugLog(const DebugLogOptions& options = {}, LogClock clock = {});
    ~CDebugLog() override;

    static std::shared_ptr<CDebugLog> Create(const DebugLogOptions& options = {}, LogClock clock = {});

    using IDebugLog::Trace;
    using IDebugLog::Write;
    using IDebugLog::WriteRaw;

    std::uint32_t SetLoggingLevel(std::uint32_t level) override;
    std::uint32_t GetLoggingLevel() const override;
    std::uint32_t SetEntriesPerMinute(std::uint32_t limit) override;
    std::uint32_t GetEntriesPerMinute() const override;
    bool IsLogEnabled(std::wstring_view logId) override;
    int GetLogStreamState(std::wstring_view logId) override;
    bool SetLogStreamState(std::wstring_view logId, bool enabled) override;
    bool IsStackDumpInDebug() const override;
    void Write(const wchar_t* text, std::size_t length) override;
    void Trace(const wchar_t* text, std::size_t length) override;
    void WriteRaw(const char* text, std::size_t length) override;
    void SetListener(IDebugLogListener* listener) override;
    void AddNewFileCallback(std::function<void()> callback) override;
    std::wstring RequestNewFile() override;
    std::wstring GetFilePath() override;
    bool Flush(std::chrono::milliseconds timeout) override;

    // What the log was configured with.
    const DebugLogSettings& Settings() const { return settings_; }
    const std::filesystem::path& AppFolder() const { return appFolder_; }
    const std::wstring& LogName() const { return logName_; }
    const std::filesystem::path& SettingsFile() const { return settingsFile_; }
    // Empty when the settings file could be neither read nor written (files then go to the current
    // directory).
    const std::filesystem::path& LogFolder() const { return logFolder_; }

    // Records that reached no file because none could be opened and the backlog kept for the next
    // file was full.
    std::uint64_t LostRecords() const { return lostRecords_.load(std::memory_order_relaxed); }

    // Records accepted but not yet delivered by the writer.
    std::uint64_t PendingRecords();

    // Clean-up passes finished so far.
    std::uint64_t CompletedCleanups() const { return completedCleanups_.load(); }

    // The record text for `text` as Write would queue it (prefix, text, CR LF) at `now` on the calling
    // thread.
    std::wstring FormatRecord(std::wstring_view text, const LogTimePoint& now) const;

    // True for the names of this log's segment files, the files the clean-up considers when
    // "UseFilesFilter" is on: <log name>(-<digits>)+ (<2 digits>_)+<2 digits>.<3 digits>.log
    bool IsSegmentFileName(std::wstring_view name) const;

private:
    void ReadSettings(const DebugLogOptions& options);
    bool ParseSettings(const std::string& bytes);
    std::string DefaultSettingsText() const;
    void DeriveLogFolder();

    LogTimePoint Now() const { return clock_ ? clock_() : SystemLogTime(); }
    void AppendRecord(std::wstring&& record, std::unique_lock<std::mutex>& lock);
    void WakeWriterLocked();

    // Writer thread and its helpers (writer thread only).
    void WriterMain();
    void Deliver(const std::vector<std::wstring>& batch);
    void AppendToFile(const std::wstring& record);
    void WriteBufferToFile();
    void RotationCheck(bool newFileRequested);
    bool OpenFile();
    void CloseFile();
    void WriteDirect(std::wstring_view text);
    std::filesystem::path NextFilePath();

    // Clean-up thread.
    void RequestCleanup();
    void CleanupMain();
    void RunCleanup();
    bool CleanupSleep();

    const LogClock clock_;
    DebugLogSettings settings_;
    bool segmenting_ = true;
    std::filesystem::path appFolder_;
    std::wstring logName_;
    std::filesystem::path settingsFile_;
    std::filesystem::path defaultLogFolderPath_;
    std::filesystem::path logFolder_;
    std::atomic<std::uint32_t> loggingLevel_{2};
    std::atomic<std::uint32_t> entriesPerMinuteValue_{10000};

    // Log streams.
    mutable std::mutex streamsMutex_;
    std::map<std::wstring, bool, std::less<>> streams_;
    std::mutex reportedMutex_;
    std::set<std::wstring, std::less<>> reportedIds_;

    // Queue, shared by the callers and the writer.
    std::mutex queueMutex_;
    std::condition_variable queueCv_;      // wakes the writer
    std::condition_variable deliveredCv_;  // wakes Flush
    std::vector<std::wstring> queue_;
    bool writerWaiting_ = false;
    bool stopRequested_ = false;
    bool newFileRequested_ = false;
    std::uint64_t queuedCount_ = 0;
    std::uint64_t deliveredCount_ = 0;
    std::uint32_t flushWaiters_ = 0;
    bool writerReady_ = false;  // the first file is open (or could not be), the writer takes records
    std::uint32_t entriesPerMinute_ = 10000;
    std::int64_t minuteBoundary_ = 0;
    std::uint32_t minuteCount_ = 0;
    std::wstring currentPathText_;

    // File, owned by the writer thread; the mutex orders it with WriteRaw from other threads.
    std::mutex fileMutex_;
    platform::File file_;
    std::filesystem::path currentPath_;
    std::filesystem::path lastOpenedPath_;
    std::uint64_t currentSize_ = 0;
    bool rotating_ = false;
    std::string fileBuffer_;  // UTF-8 bytes not yet written to the file
    std::string backlog_;     // UTF-8 records kept while no file could be opened
    std::uint64_t backlogLost_ = 0;
    std::int64_t nextOpenRetryMs_ = 0;
    std::atomic<std::uint64_t> lostRecords_{0};
    std::thread::id writerThreadId_;

    std::mutex listenerMutex_;
    IDebugLogListener* listener_ = nullptr;
    std::mutex callbacksMutex_;
    std::vector<std::function<void()>> newFileCallbacks_;

    // Clean-up.
    std::mutex cleanupMutex_;
    std::condition_variable cleanupCv_;
    bool cleanupPending_ = false;
    bool shutdown_ = false;
    std::atomic<std::uint64_t> completedCleanups_{0};

    std::thread writer_;
    std::thread cleaner_;
};

// The build line of the log file header: product, version, build date and time, platform and compiler.
std::wstring DebugLogBuildLine();
