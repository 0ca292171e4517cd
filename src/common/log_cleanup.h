// The clean-up of the debug log's folder: the oldest files go while the files together exceed the
// total size, then those older than the age limit; the newest file is never deleted. It runs on a
// thread of its own, one pass per request, with the deletions spaced 100 ms apart.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/log_record.h"

// True for the names of the segment files of `logName`, the names of the ECMAScript expression
// ^<logName>(-[0-9]+)+ ([0-9]{2}_)+[0-9]{2}\.[0-9]{3}\.log$ with the log name taken literally.
bool IsSegmentFileName(std::wstring_view name, std::wstring_view logName);

struct LogCleanupRules {
    std::uint64_t totalBytesLimit = 31457280;  // 0: no limit
    std::uint32_t maxDaysKeepAlive = 30;       // 0: no limit
    bool useFilesFilter = true;                // only the segment files of the log count
};

struct LogFileInfo {
    std::wstring name;
    std::uint64_t size = 0;
};

// The names to delete, in order, from the files of the folder (in any order) on the day `today` (a day
// number of the local date).
std::vector<std::wstring> LogFilesToDelete(std::vector<LogFileInfo> files, std::wstring_view logName,
                                           const LogCleanupRules& rules, std::int64_t today);

class LogCleanup {
public:
    // `folder` empty: the current directory. Starts the clean-up thread.
    LogCleanup(std::filesystem::path folder, std::wstring logName, const LogCleanupRules& rules,
               LogClock clock);
    // Stops a running pass at its next step and ends the thread.
    ~LogCleanup();
    LogCleanup(const LogCleanup&) = delete;
    LogCleanup& operator=(const LogCleanup&) = delete;

    // Stops a running pass at its next step; later requests are ignored.
    void Shutdown();

    // Asks for one more pass; requests made while one is pending count once.
    void Request();

    // Passes finished so far.
    [[nodiscard]] std::uint64_t Completed() const { return completed_.load(); }

private:
    void Main();
    void RunPass();
    bool Pause();  // false when shutting down

    const std::filesystem::path folder_;
    const std::wstring logName_;
    const LogCleanupRules rules_;
    const LogClock clock_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool pending_ = false;
    bool shutdown_ = false;
    std::atomic<std::uint64_t> completed_{0};
    std::thread thread_;
};
