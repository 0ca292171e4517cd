#include "common/log_file.h"

#include <thread>

#include "platform/path_text.h"

namespace {

constexpr std::wstring_view kEndLog = L"-------------------------<<< END LOG >>>-------------------------";
constexpr std::size_t kBufferFlush = 1 << 20;
constexpr std::size_t kBacklogLimit = 8 << 20;
constexpr auto kOpenRetry = std::chrono::milliseconds(1000);

// One header line: at most 511 characters of label, then as much of the value as still fits.
std::wstring HeaderLine(std::wstring_view label, std::wstring_view value) {
    std::wstring text(label.substr(0, 511));
    text.append(value.substr(0, 511 - text.size()));
    return text;
}

}  // namespace

LogFile::LogFile(LogFileOptions options) : options_(std::move(options)) {}

LogFile::~LogFile() = default;

bool LogFile::Full() const {
    return options_.segmentSize != 0 && file_.IsOpen() && size_ > options_.segmentSize;
}

bool LogFile::RetryDue() const {
    return !file_.IsOpen() && std::chrono::steady_clock::now() >= nextRetry_;
}

std::filesystem::path LogFile::NextPath() {
    auto make = [&](const std::wstring& name) {
        return options_.folder.empty() ? platform::WideToPath(name)
                                       : options_.folder / platform::WideToPath(name);
    };
    if (options_.segmentSize == 0) {
        return make(options_.logName + L".log");
    }
    // Two files opened within one millisecond would get one name, and the second would replace the
    // first: wait for the next millisecond (a frozen test clock gives up after a while).
    std::filesystem::path path;
    for (int attempt = 0; attempt < 50; ++attempt) {
        path = make(options_.logName + L"-" + LogFileStamp(options_.clock().localMs) + L".log");
        if (path != lastOpened_ && !platform::FileExists(path)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return path;
}

bool LogFile::Open(const LogFileHeader& header) {
    const std::filesystem::path path = NextPath();
    const bool segmenting = options_.segmentSize != 0;
    if (!segmenting) {
        (void)platform::SetFileCompression(path, false);
    }
    const platform::OpenMode mode =
        segmenting ? platform::OpenMode::kCreateAlways : platform::OpenMode::kAppend;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        platform::SysResult result = platform::File::Open(path, mode, file_);
        if (!result.ok() && !options_.folder.empty()) {
            // The folder may have been removed since the start: make it again once.
            (void)platform::MakeDirectory(options_.folder);
            result = platform::File::Open(path, mode, file_);
        }
        if (!result.ok()) {
            size_ = 0;
            nextRetry_ = std::chrono::steady_clock::now() + kOpenRetry;
            return false;
        }
        std::uint64_t size = 0;
        (void)file_.Size(size);
        size_ = size;
        path_ = path;
        lastOpened_ = path;
        nativeHandle_.store(file_.NativeHandle());
    }
    auto number = [](std::uint64_t v) { return std::to_wstring(v); };
    WriteRecord(L"------------------------<<< BUILD VER >>>------------------------");
    WriteRecord(DebugLogBuildLine());
    WriteRecord(L"----------------------<<< LOG PARAMETERS >>>---------------------");
    WriteRecord(HeaderLine(L"App Folder Path : ", platform::PathToWide(header.appFolder)));
    WriteRecord(HeaderLine(L"Log Folder Path : ", platform::PathToWide(header.logFolder)));
    WriteRecord(HeaderLine(L"Debug Log Name  : ", header.logName));
    WriteRecord(HeaderLine(L"Logger severity level      : ", number(header.loggingLevel)));
    WriteRecord(HeaderLine(L"Max days to keep files     : ", number(header.maxDaysKeepAlive)));
    WriteRecord(HeaderLine(L"Max total bytes in files   : ", number(header.totalBytesLimit)));
    WriteRecord(HeaderLine(L"Max bytes per log file     : ", number(header.logSegmentSize)));
    WriteRecord(HeaderLine(L"Max log records per minute : ", number(header.entriesPerMinute)));
    WriteRecord(L"------------------------<<< BEGIN LOG >>>------------------------");
    if (!backlog_.empty()) {
        size_ += backlog_.size();
        buffer_ += backlog_;
        backlog_.clear();
        backlog_.shrink_to_fit();
    }
    if (backlogLost_ != 0) {
        WriteRecord(L"*** " + number(backlogLost_) +
                    L" log records lost while no log file could be opened ***");
        backlogLost_ = 0;
    }
    Flush();
    return true;
}

void LogFile::Close() {
    if (!file_.IsOpen()) {
        return;
    }
    WriteRecord(kEndLog);
    Flush();
    nativeHandle_.store(-1);
    std::filesystem::path path;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        (void)file_.Flush();
        (void)file_.Close();
        path.swap(path_);
    }
    (void)platform::SetFileCompression(path, true);
}

void LogFile::WriteRecord(std::wstring_view text) {
    size_ += AppendUtf8Record(
        buffer_, FormatLogRecord(text, options_.clock(), options_.withTime, options_.withThread));
}

void LogFile::Append(std::wstring_view record) {
    if (file_.IsOpen()) {
        size_ += AppendUtf8Record(buffer_, record);
        if (buffer_.size() >= kBufferFlush) {
            Flush();
        }
        return;
    }
    if (backlog_.size() < kBacklogLimit) {
        AppendUtf8Record(backlog_, record);
    } else {
        ++backlogLost_;
        lost_.fetch_add(1, std::memory_order_relaxed);
    }
}

void LogFile::Flush() {
    if (buffer_.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (file_.IsOpen()) {
            (void)file_.Write(buffer_);
        }
    }
    buffer_.clear();
}

void LogFile::WriteRaw(std::string_view bytes, bool fromWriter) {
    if (fromWriter) {
        (void)file_.Write(bytes);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.IsOpen()) {
        (void)file_.Write(bytes);
    }
}
