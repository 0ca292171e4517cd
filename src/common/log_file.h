// The current file of the debug log, written by the log's writer thread: named after the log (with a
// time stamp when segmenting), opened with a header, fed records through a buffer, full once it has
// grown past the segment size, closed with an END LOG record.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "common/log_record.h"
#include "platform/file.h"

// What a new file's header shows.
struct LogFileHeader {
    std::filesystem::path appFolder;
    std::filesystem::path logFolder;
    std::wstring logName;
    std::uint32_t loggingLevel = 0;
    std::uint32_t maxDaysKeepAlive = 0;
    std::uint64_t totalBytesLimit = 0;
    std::uint64_t logSegmentSize = 0;
    std::uint32_t entriesPerMinute = 0;
};

struct LogFileOptions {
    std::filesystem::path folder;  // empty: the current directory
    std::wstring logName;
    std::uint64_t segmentSize = 1048576;  // 0: one file, appended to across runs, never full
    bool withTime = true;                 // the record prefixes of the header and END LOG records
    bool withThread = true;
    LogClock clock;
};

class LogFile {
public:
    explicit LogFile(LogFileOptions options);
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens the next file and writes the header, then the records kept while no file was open. False
    // when the file cannot be opened; RetryDue tells when to try again.
    bool Open(const LogFileHeader& header);
    // Writes END LOG, flushes and closes the file and switches its compression on.
    void Close();

    // Appends one record (buffered until Flush or a large buffer). Without an open file it is kept, up to
    // a limit, for the next file; beyond it, it is counted as lost.
    void Append(std::wstring_view record);
    // Writes the buffered records into the file.
    void Flush();

    // The file has grown past the segment size: the writer closes it and opens the next.
    [[nodiscard]] bool Full() const;
    [[nodiscard]] bool IsOpen() const { return file_.IsOpen(); }
    [[nodiscard]] bool RetryDue() const;
    // The path of the open file; empty when none is open.
    [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

    // Writes bytes straight into the open file from any thread, past the buffer. `fromWriter`: the call
    // comes from the writer thread itself (a crash report inside the writer), which may already hold the
    // file's lock.
    void WriteRaw(std::string_view bytes, bool fromWriter);

    [[nodiscard]] std::uint64_t LostRecords() const { return lost_.load(std::memory_order_relaxed); }

    // The open file's descriptor (HANDLE), for the crash report: set by Open, -1 from the start of Close
    // on. Any thread may read it.
    [[nodiscard]] std::intptr_t NativeHandle() const { return nativeHandle_.load(); }

private:
    std::filesystem::path NextPath();
    void WriteRecord(std::wstring_view text);

    const LogFileOptions options_;
    std::mutex mutex_;  // orders WriteRaw of other threads with the writer
    platform::File file_;
    std::filesystem::path path_;
    std::filesystem::path lastOpened_;
    std::uint64_t size_ = 0;
    std::string buffer_;   // UTF-8 bytes not yet written to the file
    std::string backlog_;  // UTF-8 records kept while no file could be opened
    std::uint64_t backlogLost_ = 0;
    std::chrono::steady_clock::time_point nextRetry_{};
    std::atomic<std::uint64_t> lost_{0};
    std::atomic<std::intptr_t> nativeHandle_{-1};
};
