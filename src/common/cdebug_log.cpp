#include "common/cdebug_log.h"

#include <system_error>

#include "common/log_settings.h"
#include "json/parser.h"
#include "platform/calendar_time.h"
#include "platform/file.h"
#include "platform/module_path.h"
#include "platform/path_text.h"
#include "platform/temp_folder.h"
#include "platform/utf8.h"

namespace fs = std::filesystem;
using platform::NormalPath;
using platform::PathToWide;
using platform::WideToPath;

namespace {

constexpr std::wstring_view kSuspendedText =
    L"*** Log writing process suspended, too many messages per minute ***";
constexpr auto kWriterWait = std::chrono::milliseconds(1000);
constexpr auto kOpenRetry = std::chrono::milliseconds(1000);

std::int64_t MinuteOf(const LogTimePoint& t) {
    return platform::FloorDiv(t.utcMs, 60000);
}

}  // namespace

CDebugLog::CDebugLog(const DebugLogOptions& options, LogClock clock) : clock_(std::move(clock)) {
    LineBreak = L"\r\n" + std::wstring(kLogPrefixWidth, L' ');
    minuteBoundary_ = MinuteOf(Now()) + 1;
    ReadSettings(options);
    loggingLevel_.store(settings_.loggingLevel);
    entriesPerMinute_ = settings_.entriesPerMinute;
    entriesPerMinuteValue_.store(settings_.entriesPerMinute);
    if (settings_.writeToDisk) {
        LogFileOptions fileOptions;
        fileOptions.folder = logFolder_;
        fileOptions.logName = logName_;
        fileOptions.segmentSize = settings_.logSegmentSize;
        fileOptions.withTime = settings_.timeLogging;
        fileOptions.withThread = settings_.threadIdLogging;
        fileOptions.clock = [this] { return Now(); };
        file_ = std::make_unique<LogFile>(std::move(fileOptions));
        cleanup_ = std::make_unique<LogCleanup>(
            logFolder_, logName_,
            LogCleanupRules{settings_.totalBytesLimit, settings_.maxDaysKeepAlive, settings_.useFilesFilter},
            [this] { return Now(); });
    }
    writer_ = std::thread([this] { WriterMain(); });
    // What went wrong with the settings goes into the log itself, after the header of its first file.
    for (const std::wstring& note : startNotes_) {
        Write(note);
    }
}

std::shared_ptr<CDebugLog> CDebugLog::Create(const DebugLogOptions& options, LogClock clock) {
    return std::make_shared<CDebugLog>(options, std::move(clock));
}

CDebugLog::~CDebugLog() {
    if (cleanup_) {
        cleanup_->Shutdown();  // a running pass stops at its next step
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopRequested_ = true;
    }
    queueCv_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    cleanup_.reset();
}

// ---- settings ---------------------------------------------------------------------------------

fs::path CDebugLog::AppFolderOf(const fs::path& module) {
    return fs::path(module).replace_extension();
}

void CDebugLog::ReadSettings(const DebugLogOptions& options) {
    const fs::path module = platform::OwnModulePath();
    fs::path userTemp;
    std::string why;
    const bool haveUserTemp = platform::UserTempFolder(userTemp, why).ok();
    if (!haveUserTemp) {
        startNotes_.push_back(L"The per-user temporary folder is refused: " + Utf8ToWide(why) +
                              L"; the log folder defaults to the application folder");
    }
    if (!options.appFolder.empty()) {
        appFolder_ = options.appFolder;
    } else if (!module.empty()) {
        appFolder_ = AppFolderOf(module);
    } else {
        // The module's path is unknown: a folder of the user's own, never the working directory.
        appFolder_ = haveUserTemp ? userTemp : NormalPath(platform::TempFolder());
    }
    logName_ = !options.logName.empty() ? options.logName : PathToWide(module.filename());
    if (logName_.empty()) {
        logName_ = L"norvane";
    }
    if (!options.settingsFile.empty()) {
        settingsFile_ = NormalPath(options.settingsFile);
    } else {
        settingsFile_ = NormalPath(appFolder_ / WideToPath(logName_ + L".log_settings.json"));
    }
    defaultLogFolderPath_ = !options.defaultLogFolderPath.empty() ? options.defaultLogFolderPath
                            : haveUserTemp                        ? userTemp
                                                                  : appFolder_;
    settings_.logFolderPath = PathToWide(defaultLogFolderPath_);

    // The settings file may have been planted by someone else: only a small regular file is read. A
    // missing one is written with the defaults (its folder made first); one that cannot be written (a
    // library installed in a folder the user may not write to) leaves every default in force, including
    // the log folder under the temporary folder: the log never falls back to the working directory.
    const std::wstring fileText = L"Settings file \"" + PathToWide(settingsFile_) + L"\"";
    std::string bytes;
    const platform::SysResult read =
        platform::ReadSettingsFile(settingsFile_, platform::kMaxSettingsFileBytes, bytes, why);
    bool writeFailed = false;
    if (!read.ok()) {
        bytes.clear();
        if (platform::IsNotFound(read)) {
            (void)platform::MakeDirectory(settingsFile_.parent_path());
            const platform::SysResult written =
                platform::WriteWholeFile(settingsFile_, DefaultSettingsText());
            if (!written.ok()) {
                writeFailed = true;
                why = platform::FailureText(written);
            }
        } else {
            startNotes_.push_back(fileText + L" " + Utf8ToWide(why) + L"; the default settings apply");
        }
    }
    LogSettingsFile file;
    if (!bytes.empty() && !ParseLogSettings(bytes, file)) {
        startNotes_.push_back(fileText + L" is not a JSON object (or nests deeper than " +
                              std::to_wstring(JSON::kMaxNesting) + L" levels); the default settings apply");
    }
    for (const LogSettingsFile::Refused& refused : file.refused) {
        startNotes_.push_back(fileText + L": \"" + refused.key + L"\" is " + std::to_wstring(refused.value) +
                              L", outside 0 to " + std::to_wstring(refused.max) + L"; the default " +
                              DefaultValueText(refused.key) + L" is kept");
    }
    if (file.logFolderPath) {
        settings_.logFolderPath = *file.logFolderPath;
    }
    auto take = [](auto& target, const auto& source) {
        if (source) {
            target = *source;
        }
    };
    take(settings_.logSegmentSize, file.logSegmentSize);
    take(settings_.totalBytesLimit, file.totalBytesLimit);
    take(settings_.maxDaysKeepAlive, file.maxDaysKeepAlive);
    take(settings_.loggingLevel, file.loggingLevel);
    take(settings_.timeLogging, file.timeLogging);
    take(settings_.threadIdLogging, file.threadIdLogging);
    take(settings_.useFilesFilter, file.useFilesFilter);
    take(settings_.entriesPerMinute, file.entriesPerMinute);
    take(settings_.writeToDisk, file.writeToDisk);
    take(settings_.stackDumpInDebug, file.stackDumpInDebug);
    for (const auto& state : file.logStates) {
        if (!state.name.empty()) {
            streams_[state.name] = state.enabled;
        }
    }
    DeriveLogFolder();
    if (writeFailed) {
        startNotes_.push_back(fileText + L" cannot be written (" + Utf8ToWide(why) +
                              L"); the default settings apply, with the log folder \"" +
                              PathToWide(logFolder_) + L"\"");
    }
}

std::wstring CDebugLog::DefaultValueText(std::wstring_view key) const {
    const DebugLogSettings defaults;
    const struct {
        std::wstring_view key;
        std::uint64_t value;
    } rows[] = {
        {L"LogSegmentSize", defaults.logSegmentSize},     {L"TotalBytesLimit", defaults.totalBytesLimit},
        {L"MaxDaysKeepAlive", defaults.maxDaysKeepAlive}, {L"LoggingLevel", defaults.loggingLevel},
        {L"EntriesPerMinute", defaults.entriesPerMinute},
    };
    for (const auto& row : rows) {
        if (row.key == key) {
            return std::to_wstring(row.value);
        }
    }
    return {};
}

std::string CDebugLog::DefaultSettingsText() const {
    LogSettingsFile file;
    file.logFolderPath = settings_.logFolderPath;
    file.logSegmentSize = settings_.logSegmentSize;
    file.totalBytesLimit = settings_.totalBytesLimit;
    file.maxDaysKeepAlive = settings_.maxDaysKeepAlive;
    file.loggingLevel = settings_.loggingLevel;
    file.timeLogging = settings_.timeLogging;
    file.threadIdLogging = settings_.threadIdLogging;
    file.useFilesFilter = settings_.useFilesFilter;
    file.entriesPerMinute = settings_.entriesPerMinute;
    file.writeToDisk = settings_.writeToDisk;
    for (const auto& [name, enabled] : streams_) {
        file.logStates.push_back({name, enabled});
    }
    if (file.logStates.empty()) {
        file.logStates.push_back({L"TestLogStreamId", false});
    }
    return GenerateLogSettings(file);
}

void CDebugLog::DeriveLogFolder() {
    const std::wstring& value = settings_.logFolderPath;
    const std::wstring folderName = logName_ + L".logs";
    fs::path folder;
    if (value.empty() || value == L".") {
        folder = appFolder_ / WideToPath(folderName);
    } else {
        const fs::path given = WideToPath(value) / WideToPath(folderName);
        folder = platform::IsRootedPath(given) ? given : appFolder_ / given;
    }
    // Normalised before it is made: "a/missing/../b" names a/b, which the system could not make as given.
    logFolder_ = NormalPath(folder);
    (void)platform::MakeDirectory(logFolder_);
}

// ---- log streams ------------------------------------------------------------------------------

bool CDebugLog::IsLogEnabled(std::wstring_view logId) {
    bool enabled = false;
    {
        std::lock_guard<std::mutex> lock(streamsMutex_);
        auto it = streams_.find(logId);
        enabled = it != streams_.end() && it->second;
    }
    std::lock_guard<std::mutex> lock(reportedMutex_);
    if (reportedIds_.emplace(logId).second) {
        std::wstring line = L"IsLogEnabled() check for log-id = \"";
        line.append(logId).append(L"\"; logging is ").append(enabled ? L"ON" : L"OFF");
        Write(line);
    }
    return enabled;
}

int CDebugLog::GetLogStreamState(std::wstring_view logId) {
    int state = kLogStreamNotSet;
    {
        std::lock_guard<std::mutex> lock(streamsMutex_);
        auto it = streams_.find(logId);
        if (it != streams_.end()) {
            state = it->second ? kLogStreamOn : kLogStreamOff;
        }
    }
    std::lock_guard<std::mutex> lock(reportedMutex_);
    if (reportedIds_.emplace(logId).second) {
        std::wstring line = L"GetLogStreamState() check for log-id = \"";
        line.append(logId);
        if (state == kLogStreamNotSet) {
            line.append(L"\"; not found in log_settings; logging is not set");
        } else {
            line.append(L"\"; found in log_settings; logging is ")
                .append(state == kLogStreamOn ? L"ON" : L"OFF");
        }
        Write(line);
    }
    return state;
}

bool CDebugLog::SetLogStreamState(std::wstring_view logId, bool enabled) {
    std::lock_guard<std::mutex> lock(streamsMutex_);
    auto it = streams_.find(logId);
    if (it == streams_.end()) {
        streams_.emplace(std::wstring(logId), enabled);
        return false;
    }
    const bool previous = it->second;
    it->second = enabled;
    return previous;
}

bool CDebugLog::IsStackDumpInDebug() const {
    return settings_.stackDumpInDebug;
}

std::uint32_t CDebugLog::SetLoggingLevel(std::uint32_t level) {
    return loggingLevel_.exchange(level);
}

std::uint32_t CDebugLog::GetLoggingLevel() const {
    return loggingLevel_.load(std::memory_order_relaxed);
}

std::uint32_t CDebugLog::SetEntriesPerMinute(std::uint32_t limit) {
    const LogTimePoint now = Now();
    std::lock_guard<std::mutex> lock(queueMutex_);
    const std::uint32_t previous = entriesPerMinute_;
    entriesPerMinute_ = limit;
    entriesPerMinuteValue_.store(limit, std::memory_order_relaxed);
    if (limit != 0) {
        minuteCount_ = 0;
        minuteBoundary_ = MinuteOf(now) + 1;
    }
    return previous;
}

std::uint32_t CDebugLog::GetEntriesPerMinute() const {
    return entriesPerMinuteValue_.load(std::memory_order_relaxed);
}

// ---- writing ----------------------------------------------------------------------------------

std::wstring CDebugLog::FormatRecord(std::wstring_view text, const LogTimePoint& now) const {
    return FormatLogRecord(text, now, settings_.timeLogging, settings_.threadIdLogging);
}

void CDebugLog::Write(const wchar_t* text, std::size_t length) {
    if (text == nullptr) {
        return;
    }
    while (length > 0 && text[length - 1] == L'\0') {
        --length;
    }
    if (length == 0) {
        return;
    }
    const LogTimePoint now = Now();
    std::wstring record = FormatRecord(std::wstring_view(text, length), now);
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (entriesPerMinute_ != 0) {
        const std::int64_t minute = MinuteOf(now);
        if (minute >= minuteBoundary_) {
            minuteBoundary_ = minute + 1;
            minuteCount_ = 0;
        }
        if (minuteCount_ >= entriesPerMinute_) {
            return;  // suspended until the next minute
        }
        ++minuteCount_;
        if (minuteCount_ == entriesPerMinute_) {
            queue_.push_back(std::move(record));
            ++queuedCount_;
            record = FormatRecord(kSuspendedText, now);
        }
    }
    AppendRecord(std::move(record), lock);
}

void CDebugLog::AppendRecord(std::wstring&& record, std::unique_lock<std::mutex>& lock) {
    queue_.push_back(std::move(record));
    ++queuedCount_;
    // Only a waiting writer needs a wake-up; a busy one takes the record on its next round.
    const bool wake = writerWaiting_;
    writerWaiting_ = false;
    lock.unlock();
    if (wake) {
        queueCv_.notify_one();
    }
}

void CDebugLog::WakeWriterLocked() {
    writerWaiting_ = false;
    queueCv_.notify_one();
}

void CDebugLog::WriteRaw(const char* text, std::size_t length) {
    if (text == nullptr) {
        return;
    }
    std::size_t n = 0;
    while (n < length && text[n] != '\0') {
        ++n;
    }
    const std::wstring prefix = FormatRecord(std::wstring_view(), Now());
    std::string record;
    record.reserve(prefix.size() + n);
    for (std::size_t i = 0; i + 2 < prefix.size(); ++i) {
        record.push_back(static_cast<char>(prefix[i]));
    }
    record.append(text, n).append("\r\n");
    if (file_) {
        file_->WriteRaw(record, std::this_thread::get_id() == writer_.get_id());
    }
}

std::uint64_t CDebugLog::LostRecords() const {
    return file_ ? file_->LostRecords() : 0;
}

void CDebugLog::SetListener(IDebugLogListener* listener) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listener_ = listener;
}

void CDebugLog::AddNewFileCallback(std::function<void()> callback) {
    if (callback) {
        std::lock_guard<std::mutex> lock(callbacksMutex_);
        newFileCallbacks_.push_back(std::move(callback));
    }
}

std::wstring CDebugLog::RequestNewFile() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (!newFileRequested_) {
        newFileRequested_ = true;
        WakeWriterLocked();
    }
    return currentPathText_;
}

std::wstring CDebugLog::GetFilePath() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return currentPathText_;
}

bool CDebugLog::Flush(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(queueMutex_);
    const std::uint64_t target = queuedCount_;
    auto done = [&] { return writerReady_ && deliveredCount_ >= target; };
    if (done()) {
        return true;
    }
    ++flushWaiters_;
    WakeWriterLocked();
    const bool delivered = deliveredCv_.wait_for(lock, timeout, done);
    --flushWaiters_;
    return delivered;
}

std::uint64_t CDebugLog::PendingRecords() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return queuedCount_ - deliveredCount_;
}

// ---- writer thread ----------------------------------------------------------------------------

void CDebugLog::WriterMain() {
    const bool toDisk = settings_.writeToDisk;
    if (toDisk && OpenFile()) {
        cleanup_->Request();
    }
    std::vector<std::wstring> batch;
    std::unique_lock<std::mutex> lock(queueMutex_);
    writerReady_ = true;
    deliveredCv_.notify_all();
    for (;;) {
        while (!queue_.empty()) {
            batch.swap(queue_);
            lock.unlock();
            Deliver(batch);
            const std::size_t delivered = batch.size();
            batch.clear();
            lock.lock();
            deliveredCount_ += delivered;
            if (flushWaiters_ != 0) {
                deliveredCv_.notify_all();
            }
        }
        const bool retryOpen = toDisk && !file_->IsOpen();
        if (!stopRequested_ && !newFileRequested_) {
            writerWaiting_ = true;
            queueCv_.wait_for(lock, retryOpen ? kOpenRetry : kWriterWait,
                              [&] { return !queue_.empty() || stopRequested_ || newFileRequested_; });
            writerWaiting_ = false;
        }
        if (newFileRequested_ || (retryOpen && file_->RetryDue())) {
            const bool requested = newFileRequested_;
            lock.unlock();
            if (toDisk) {
                if (requested) {
                    RotationCheck(true);
                } else if (!file_->IsOpen() && OpenFile()) {
                    cleanup_->Request();
                }
            }
            lock.lock();
            if (requested) {
                newFileRequested_ = false;
            }
            continue;
        }
        if (stopRequested_ && queue_.empty()) {
            break;
        }
    }
    lock.unlock();
    if (toDisk) {
        CloseFile();
    }
}

void CDebugLog::Deliver(const std::vector<std::wstring>& batch) {
    // The listener sees each record before the file does; one lock serves the whole batch. The file
    // part runs without it, since opening a file calls the new-file callbacks.
    {
        std::lock_guard<std::mutex> lock(listenerMutex_);
        if (listener_ != nullptr) {
            for (const std::wstring& record : batch) {
                listener_->OnLogRecord(record);
            }
        }
    }
    if (file_) {
        for (const std::wstring& record : batch) {
            file_->Append(record);
            RotationCheck(false);
        }
        file_->Flush();
    }
}

void CDebugLog::RotationCheck(bool newFileRequested) {
    if (rotating_ || !(newFileRequested || file_->Full())) {
        return;
    }
    rotating_ = true;
    CloseFile();
    if (OpenFile()) {
        cleanup_->Request();
    }
    rotating_ = false;
}

bool CDebugLog::OpenFile() {
    LogFileHeader header;
    header.appFolder = appFolder_;
    header.logFolder = logFolder_;
    header.logName = logName_;
    header.loggingLevel = loggingLevel_.load();
    header.maxDaysKeepAlive = settings_.maxDaysKeepAlive;
    header.totalBytesLimit = settings_.totalBytesLimit;
    header.logSegmentSize = settings_.logSegmentSize;
    header.entriesPerMinute = entriesPerMinuteValue_.load();
    if (!file_->Open(header)) {
        return false;
    }
    SetPathText(PathToWide(file_->Path()));
    std::vector<std::function<void()>> callbacks;
    {
        std::lock_guard<std::mutex> lock(callbacksMutex_);
        callbacks = newFileCallbacks_;
    }
    for (const auto& callback : callbacks) {
        callback();
    }
    return true;
}

void CDebugLog::CloseFile() {
    file_->Close();
    SetPathText({});
}

void CDebugLog::SetPathText(std::wstring text) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    currentPathText_ = std::move(text);
}
