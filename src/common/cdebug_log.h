// CDebugLog: the process debug log behind IDebugLog.
//
// Callers format their record (time stamp and thread id are the caller's, log_record.h) and append it to
// a queue under one short lock; a writer thread of the log delivers the records to the listener and to
// the current log file (log_file.h), which it replaces when it is full. A clean-up (log_cleanup.h)
// deletes the oldest files by total size and by age. The settings come from a JSON file in the
// application folder, the module's path without its extension: /x/lib.so reads
// /x/lib/lib.so.log_settings.json (see DebugLogOptions for the overrides). The log's files go to a
// folder of the user's own under the temporary folder unless the settings say otherwise.
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
#include "common/log_cleanup.h"
#include "common/log_file.h"
#include "common/log_record.h"

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
    void WriteRaw(const char* text, std::size_t length) override;
    void SetListener(IDebugLogListener* listener) override;
    void AddNewFileCallback(std::function<void()> callback) override;
    std::wstring RequestNewFile() override;
    std::wstring GetFilePath() override;
    bool Flush(std::chrono::milliseconds timeout) override;

    // The application folder of a module: its full path without the extension (/x/lib.so -> /x/lib).
    static std::filesystem::path AppFolderOf(const std::filesystem::path& module);

    // What the log was configured with.
    const DebugLogSettings& Settings() const { return settings_; }
    const std::filesystem::path& AppFolder() const { return appFolder_; }
    const std::wstring& LogName() const { return logName_; }
    const std::filesystem::path& SettingsFile() const { return settingsFile_; }
    // Never empty and never relative to the working directory.
    const std::filesystem::path& LogFolder() const { return logFolder_; }

    // Records that reached no file because none could be opened and the backlog kept for the next
    // file was full.
    std::uint64_t LostRecords() const;

    // The current file's descriptor (HANDLE) for the crash report (LogFile::NativeHandle); -1 when no file
    // is open. The new-file callbacks tell when it changes.
    std::intptr_t FileNativeHandle() const { return file_ ? file_->NativeHandle() : -1; }

    // Records accepted but not yet delivered by the writer.
    std::uint64_t PendingRecords();

    // Clean-up passes finished so far.
    std::uint64_t CompletedCleanups() const { return cleanup_ ? cleanup_->Completed() : 0; }

    // The record text for `text` as Write would queue it (prefix, text, CR LF) at `now` on the calling
    // thread.
    std::wstring FormatRecord(std::wstring_view text, const LogTimePoint& now) const;

private:
    void ReadSettings(const DebugLogOptions& options);
    std::string DefaultSettingsText() const;
    std::wstring DefaultValueText(std::wstring_view key) const;
    void DeriveLogFolder();

    LogTimePoint Now() const { return clock_ ? clock_() : SystemLogTime(); }
    void AppendRecord(std::wstring&& record, std::unique_lock<std::mutex>& lock);
    void WakeWriterLocked();

    // Writer thread and its helpers (writer thread only).
    void WriterMain();
    void Deliver(const std::vector<std::wstring>& batch);
    void RotationCheck(bool newFileRequested);
    bool OpenFile();
    void CloseFile();
    void SetPathText(std::wstring text);

    const LogClock clock_;
    DebugLogSettings settings_;
    std::filesystem::path appFolder_;
    std::wstring logName_;
    std::filesystem::path settingsFile_;
    std::filesystem::path defaultLogFolderPath_;
    std::filesystem::path logFolder_;
    std::vector<std::wstring> startNotes_;  // settings trouble, written once the log runs
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

    // The file, owned by the writer thread (WriteRaw reaches it from others); the clean-up.
    std::unique_ptr<LogFile> file_;
    bool rotating_ = false;
    std::unique_ptr<LogCleanup> cleanup_;

    std::mutex listenerMutex_;
    IDebugLogListener* listener_ = nullptr;
    std::mutex callbacksMutex_;
    std::vector<std::function<void()>> newFileCallbacks_;

    std::thread writer_;
};
