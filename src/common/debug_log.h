// The process debug log as components see it: IDebugLog, the levels, the log streams, ComponentInfo.
//
// Components format one line of wide text (printf-style, starting with their own name and a colon),
// and hand it to the log with Write or WriteAtLevel. The log adds the time stamp, the thread id and the
// line end, queues the record and writes it to the current log file on a thread of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// The record every component is created with. An empty name means "use the class name".
struct ComponentInfo {
    std::wstring name;
};

// Receives every record of the log (prefix, text and CR LF) on the writer thread, just before the
// record is written to the file. Set with IDebugLog::SetListener.
class IDebugLogListener {
public:
    virtual ~IDebugLogListener() = default;
    virtual void OnLogRecord(const std::wstring& record) = 0;
};

// Verbosity levels of the lines components write (compared with GetLoggingLevel by WriteAtLevel).
enum DebugLogLevel : std::uint32_t {
    kLogErrors = 0,       // errors, warnings, creation and destruction
    kLogThreads = 1,      // start and stop of threads and components
    kLogConfig = 2,       // configuration details, socket registration (the default level)
    kLogPeriodic = 3,     // periodic lines, statistics
    kLogMessages = 4,     // one line per message or datagram
    kLogSocketEvents = 5  // one line per socket event
};

// Answers of IDebugLog::GetLogStreamState.
enum LogStreamState : int {
    kLogStreamNotSet = 0,  // the log-id is not in the settings
    kLogStreamOff = 1,     // configured, disabled
    kLogStreamOn = 2,      // configured, enabled
};

class IDebugLog {
public:
    // One log-stream switch of the settings file.
    struct LogStatesData {
        std::wstring name;
        bool enabled = false;
    };

    // The text that joins several lines of one record. The process log sets it to CR LF followed by
    // blanks up to the column where the message of a record starts, so continuation lines align.
    std::wstring LineBreak = L"\r\n";

    IDebugLog() = default;
    IDebugLog(const IDebugLog&) = delete;
    IDebugLog& operator=(const IDebugLog&) = delete;
    virtual ~IDebugLog() = default;

    // Verbosity compared by WriteAtLevel; the log itself filters nothing by it. Returns the old level.
    virtual std::uint32_t SetLoggingLevel(std::uint32_t level) = 0;
    virtual std::uint32_t GetLoggingLevel() const = 0;

    // Records accepted per wall-clock minute (0: no limit). A non-zero limit restarts the count of the
    // current minute. Returns the old limit.
    virtual std::uint32_t SetEntriesPerMinute(std::uint32_t limit) = 0;
    virtual std::uint32_t GetEntriesPerMinute() const = 0;

    // Log streams: named switches of the settings file. Components ask once, at construction.
    virtual bool IsLogEnabled(std::wstring_view logId);
    virtual int GetLogStreamState(std::wstring_view logId);  // a LogStreamState
    virtual bool SetLogStreamState(std::wstring_view logId, bool enabled);
    virtual bool IsStackDumpInDebug() const;

    // "ID=<id> SUB_ID=<subId> MSG=<message>".
    virtual void WriteId(std::wstring_view id, std::wstring_view subId, std::wstring_view message);

    // One line of text without a line end. Narrow text is UTF-8; text that is not valid UTF-8 becomes
    // empty and therefore writes nothing. All of them end in Write(const wchar_t*, size_t), which drops
    // trailing zero characters and writes nothing for an empty text.
    virtual void Write(const std::string& text);
    virtual void Write(const char* text, std::size_t length);  // stops at a zero byte within length
    virtual void Write(const char* text);
    virtual void Write(const std::wstring& text);
    virtual void Write(const wchar_t* text, std::size_t length) = 0;
    virtual void Write(const wchar_t* text);

    // Writes one record of narrow text straight into the current file from the calling thread,
    // bypassing the queue, the rate limit and the rotation (for crash reports).
    virtual void WriteRaw(const char* text, std::size_t length) = 0;
    virtual void WriteRaw(const char* text);  // nothing for a null pointer

    // The listener receives every record; null removes it. The caller keeps the listener alive until
    // it has been removed.
    virtual void SetListener(IDebugLogListener* listener) = 0;

    // Called on the writer thread each time a new log file has been opened and its header written.
    virtual void AddNewFileCallback(std::function<void()> callback);

    // Returns the path of the current file and asks the writer to close it and start a new one.
    virtual std::wstring RequestNewFile();

    // The path of the current log file; empty when there is none.
    virtual std::wstring GetFilePath();

    // Waits until every record written before the call has been delivered (to the listener and the
    // file) or the time-out has passed. True when everything was delivered.
    virtual bool Flush(std::chrono::milliseconds timeout);
};

// Writes `text` when `log` is not null and its level is `level` or more.
void WriteAtLevel(const std::shared_ptr<IDebugLog>& log, std::uint32_t level, const std::wstring& text);

// printf-style formatting of one wide line ("%ls" for wide strings, "%hs" is not portable: widen narrow
// texts first). Never throws; a format the C library rejects gives an empty string.
std::wstring FormatLine(const wchar_t* format, ...);

// Options of the process log, for programs (and tests) that must not use the settings file next to the
// library. Empty fields take the normal values.
struct DebugLogOptions {
    // The folder the log is configured relative to (default: the application folder, the library's full
    // path without its extension).
    std::filesystem::path appFolder;
    // The log name (default: the library's file name with its extension).
    std::wstring logName;
    // The settings file (default: appFolder / (logName + ".log_settings.json")).
    std::filesystem::path settingsFile;
    // The "LogFolderPath" used when the settings file does not give one and written into a new default
    // settings file (default: the user's own temporary folder, platform::UserTempFolder).
    std::filesystem::path defaultLogFolderPath;
};
