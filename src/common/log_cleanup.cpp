#include "common/log_cleanup.h"

#include <algorithm>
#include <cwctype>

#include "platform/calendar_time.h"
#include "platform/file.h"
#include "platform/path_text.h"

namespace {

constexpr auto kDeleteSpacing = std::chrono::milliseconds(100);

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

bool LessNoCase(const std::wstring& a, const std::wstring& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
        return std::towlower(static_cast<std::wint_t>(x)) < std::towlower(static_cast<std::wint_t>(y));
    });
}

// The day number of the date "YYYY-MM-DD" that a segment file name carries 27 to 18 characters before
// its end.
bool DayOfFileName(const std::wstring& name, std::int64_t& dayNumber) {
    if (name.size() < 27) {
        return false;
    }
    const std::wstring_view d = std::wstring_view(name).substr(name.size() - 27, 10);
    for (std::size_t i = 0; i < d.size(); ++i) {
        const bool dash = (i == 4 || i == 7);
        if (dash ? d[i] != L'-' : !IsDigit(d[i])) {
            return false;
        }
    }
    auto num = [&](std::size_t pos, std::size_t len) {
        unsigned v = 0;
        for (std::size_t i = pos; i < pos + len; ++i) {
            v = v * 10 + static_cast<unsigned>(d[i] - L'0');
        }
        return v;
    };
    dayNumber = platform::DayNumber(static_cast<int>(num(0, 4)), num(5, 2), num(8, 2));
    return true;
}

}  // namespace

bool IsSegmentFileName(std::wstring_view name, std::wstring_view logName) {
    if (name.substr(0, logName.size()) != logName) {
        return false;
    }
    std::size_t pos = logName.size();
    const std::size_t n = name.size();
    int groups = 0;
    while (pos < n && name[pos] == L'-') {
        const std::size_t digits = ++pos;
        while (pos < n && IsDigit(name[pos])) {
            ++pos;
        }
        if (pos == digits) {
            return false;
        }
        ++groups;
    }
    if (groups == 0 || pos >= n || name[pos] != L' ') {
        return false;
    }
    ++pos;
    int pairs = 0;
    while (pos + 3 <= n && IsDigit(name[pos]) && IsDigit(name[pos + 1]) && name[pos + 2] == L'_') {
        pos += 3;
        ++pairs;
    }
    const std::wstring_view rest = name.substr(pos);
    return pairs > 0 && rest.size() == 10 && IsDigit(rest[0]) && IsDigit(rest[1]) && rest[2] == L'.' &&
           IsDigit(rest[3]) && IsDigit(rest[4]) && IsDigit(rest[5]) && rest.substr(6) == L".log";
}

std::vector<std::wstring> LogFilesToDelete(std::vector<LogFileInfo> files, std::wstring_view logName,
                                           const LogCleanupRules& rules, std::int64_t today) {
    if (rules.useFilesFilter) {
        std::erase_if(files, [&](const LogFileInfo& f) { return !IsSegmentFileName(f.name, logName); });
    }
    // Names carry the time stamp: by name is oldest first.
    std::sort(files.begin(), files.end(),
              [](const LogFileInfo& a, const LogFileInfo& b) { return LessNoCase(a.name, b.name); });
    std::uint64_t total = 0;
    for (const LogFileInfo& f : files) {
        total += f.size;
    }
    std::vector<std::wstring> doomed;
    std::size_t first = 0;
    auto take = [&] {
        doomed.push_back(files[first].name);
        total -= files[first].size;
        ++first;
    };
    if (rules.totalBytesLimit != 0) {
        while (files.size() - first >= 2 && total > rules.totalBytesLimit) {
            take();
        }
    }
    if (rules.maxDaysKeepAlive != 0) {
        const std::int64_t cutoff = today - rules.maxDaysKeepAlive;
        std::int64_t day = 0;
        while (files.size() - first >= 2 && DayOfFileName(files[first].name, day) && day < cutoff) {
            take();
        }
    }
    return doomed;
}

LogCleanup::LogCleanup(std::filesystem::path folder, std::wstring logName, const LogCleanupRules& rules,
                       LogClock clock)
    : folder_(folder.empty() ? std::filesystem::path(".") : std::move(folder)),
      logName_(std::move(logName)),
      rules_(rules),
      clock_(std::move(clock)),
      thread_([this] { Main(); }) {}

LogCleanup::~LogCleanup() {
    Shutdown();
    thread_.join();
}

void LogCleanup::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutdown_ = true;
    }
    cv_.notify_all();
}

void LogCleanup::Request() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_) {
            return;
        }
        pending_ = true;
    }
    cv_.notify_all();
}

void LogCleanup::Main() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [&] { return pending_ || shutdown_; });
        if (shutdown_) {
            break;
        }
        pending_ = false;
        lock.unlock();
        RunPass();
        lock.lock();
        completed_.fetch_add(1);
    }
}

bool LogCleanup::Pause() {
    std::unique_lock<std::mutex> lock(mutex_);
    return !cv_.wait_for(lock, kDeleteSpacing, [&] { return shutdown_; });
}

void LogCleanup::RunPass() {
    std::vector<platform::FileEntry> entries;
    if (!platform::ListFiles(folder_, entries).ok()) {
        return;
    }
    std::vector<LogFileInfo> files;
    files.reserve(entries.size());
    for (const auto& entry : entries) {
        files.push_back({platform::PathToWide(entry.name), entry.size});
    }
    const std::int64_t today = platform::FloorDiv(clock_().localMs, 86400000);
    // A failed delete is not retried: the file is simply left out of the sum.
    for (const std::wstring& name : LogFilesToDelete(std::move(files), logName_, rules_, today)) {
        (void)platform::RemoveFile(folder_ / platform::WideToPath(name));
        if (!Pause()) {
            return;
        }
    }
}
