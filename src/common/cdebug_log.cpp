#include "common/cdebug_log.h"

#include <algorithm>
#include <cwctype>
#include <limits>
#include <system_error>

#include "common/log_settings.h"
#include "platform/calendar_time.h"
#include "platform/module_path.h"
#include "platform/temp_folder.h"
#include "platform/thread.h"
#include "platform/utf8.h"

#ifndef NORVANE_VERSION
#define NORVANE_VERSION "0.1.0"
#endif

namespace fs = std::filesystem;

namespace {

constexpr std::wstring_view kSuspendedText =
    L"*** Log writing process suspended, too many messages per minute ***";
constexpr std::wstring_view kEndLog = L"-------------------------<<< END LOG >>>-------------------------";
constexpr std::size_t kPrefixWidth = 37;  // "YYYY/MM/DD HH:MM:SS.mmm @ " + "XXXXXXXX @ "
constexpr std::size_t kFileBufferFlush = 1 << 20;
constexpr std::size_t kBacklogLimit = 8 << 20;
constexpr auto kWriterWait = std::chrono::milliseconds(1000);
constexpr auto kOpenRetry = std::chrono::milliseconds(1000);
constexpr auto kCleanupSpacing = std::chrono::milliseconds(100);

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

struct Civil {
    int year;
    unsigned month;
    unsigned day;
};

// Calendar date of a day number (days since 1970-01-01); the inverse of platform::DayNumber.
Civil CivilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    const auto y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2 ? 1 : 0));
    return {y, m, d};
}

struct Fields {
    int year;
    unsigned month, day, hour, minute, second, millisecond;
};

Fields FieldsFromMs(std::int64_t ms) {
    const std::int64_t sec = FloorDiv(ms, 1000);
    const std::int64_t days = FloorDiv(sec, 86400);
    const auto sod = static_cast<unsigned>(sec - days * 86400);
    const Civil c = CivilFromDays(days);
    return {c.year,
            c.month,
            c.day,
            sod / 3600,
            (sod / 60) % 60,
            sod % 60,
            static_cast<unsigned>(ms - sec * 1000)};
}

template <typename Char>
void PutDigits(Char* out, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<Char>('0' + value % 10);
        value /= 10;
    }
}

// "YYYY/MM/DD HH:MM:SS." for the second of `localMs`, kept per thread: the text changes once a second.
struct PrefixCache {
    std::int64_t second = std::numeric_limits<std::int64_t>::min();
    wchar_t date[20] = {};
    bool haveThread = false;
    wchar_t thread[8] = {};
};
thread_local PrefixCache t_prefix;

// "YYYY<d>MM<d>DD HH<t>MM<t>SS." into the first 20 characters of `out`: the layout the record prefix
// and the file names share, with their own separators.
void PutDateTime(wchar_t* out, const Fields& f, wchar_t dateSep, wchar_t timeSep) {
    PutDigits(out, static_cast<unsigned>(f.year < 0 ? 0 : f.year), 4);
    out[4] = dateSep;
    PutDigits(out + 5, f.month, 2);
    out[7] = dateSep;
    PutDigits(out + 8, f.day, 2);
    out[10] = L' ';
    PutDigits(out + 11, f.hour, 2);
    out[13] = timeSep;
    PutDigits(out + 14, f.minute, 2);
    out[16] = timeSep;
    PutDigits(out + 17, f.second, 2);
    out[19] = L'.';
}

void AppendTimePrefix(std::wstring& out, std::int64_t localMs) {
    PrefixCache& cache = t_prefix;
    const std::int64_t sec = FloorDiv(localMs, 1000);
    if (sec != cache.second) {
        PutDateTime(cache.date, FieldsFromMs(localMs), L'/', L':');
        cache.second = sec;
    }
    wchar_t tail[6];
    PutDigits(tail, static_cast<unsigned>(localMs - sec * 1000), 3);
    tail[3] = L' ';
    tail[4] = L'@';
    tail[5] = L' ';
    out.append(cache.date, 20).append(tail, 6);
}

void AppendThreadPrefix(std::wstring& out) {
    PrefixCache& cache = t_prefix;
    if (!cache.haveThread) {
        std::uint32_t id = platform::CurrentThreadId();
        static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
        for (int i = 7; i >= 0; --i) {
            cache.thread[i] = kHex[id & 0xF];
            id >>= 4;
        }
        cache.haveThread = true;
    }
    out.append(cache.thread, 8).append(L" @ ");
}

// "YYYY-MM-DD HH_MM_SS.mmm" for log file names.
std::wstring FileStamp(std::int64_t localMs) {
    const Fields f = FieldsFromMs(localMs);
    wchar_t s[23];
    PutDateTime(s, f, L'-', L'_');
    PutDigits(s + 20, f.millisecond, 3);
    return std::wstring(s, 23);
}

// Appends the UTF-8 form of a record. Plain ASCII (nearly every record) is copied directly; anything
// else goes through the converter, and a record it rejects adds nothing.
std::size_t AppendUtf8Record(std::string& out, std::wstring_view record) {
    const std::size_t before = out.size();
    out.resize(before + record.size());
    char* p = out.data() + before;
    std::uint32_t seen = 0;
    for (std::size_t i = 0; i < record.size(); ++i) {  // one pass the compiler can vectorise
        const auto c = static_cast<std::uint32_t>(record[i]);
        seen |= c;
        p[i] = static_cast<char>(c);
    }
    if (seen >= 0x80) {
        out.resize(before);
        out += WideToUtf8(record);
    }
    return out.size() - before;
}

std::wstring PathToWide(const fs::path& p) {
#ifdef _WIN32
    return p.native();
#else
    return Utf8ToWide(p.native());
#endif
}

fs::path WideToPath(std::wstring_view text) {
#ifdef _WIN32
    return fs::path(std::wstring(text));
#else
    return fs::path(WideToUtf8(text));
#endif
}

// Resolves "." and ".." and gives every separator the platform's form; no trailing separator.
fs::path NormalPath(const fs::path& p) {
    fs::path n = p.lexically_normal();
    std::wstring text = PathToWide(n);
    while (text.size() > 1 && (text.back() == L'/' || text.back() == L'\\') &&
           !(text.size() == 3 && text[1] == L':')) {
        text.pop_back();
    }
    return WideToPath(text);
}

bool StaysAsGiven(const fs::path& p) {
#ifdef _WIN32
    return p.has_root_name();  // a drive letter (or a server share)
#else
    return p.is_absolute();
#endif
}

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Matches the name of a segment file of `logName`, the same names as the ECMAScript expression
// ^<logName>(-[0-9]+)+ ([0-9]{2}_)+[0-9]{2}\.[0-9]{3}\.log$ with the log name taken literally.
bool MatchSegmentName(std::wstring_view name, std::wstring_view logName) {
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

bool LessNoCase(const std::wstring& a, const std::wstring& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
        return std::towlower(static_cast<std::wint_t>(x)) < std::towlower(static_cast<std::wint_t>(y));
    });
}

// The date "YYYY-MM-DD" that a segmented log file name carries 27 to 18 characters before its end.
bool DateOfFileName(const std::wstring& name, std::int64_t& dayNumber) {
    if (name.size() < 27) {
        return false;
    }
    const std::wstring_view d = std::wstring_view(name).substr(name.size() - 27, 10);
    for (std::size_t i = 0; i < d.size(); ++i) {
        const bool dash = (i == 4 || i == 7);
        if (dash ? d[i] != L'-' : (d[i] < L'0' || d[i] > L'9')) {
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

std::wstring Decimal(std::uint64_t v) {
    return std::to_wstring(v);
}

}  // namespace

LogTimePoint SystemLogTime() {
    // The zone offset is looked up again whenever the second changes, so the local time follows
    // changes of daylight-saving time within a second; in between it costs one clock read.
    static std::atomic<std::int64_t> cachedSecond{std::numeric_limits<std::int64_t>::min()};
    static std::atomic<std::int64_t> cachedOffset{0};
    const std::int64_t utc = platform::UnixTimeMs();
    const std::int64_t sec = FloorDiv(utc, 1000);
    std::int64_t offset;
    if (cachedSecond.load(std::memory_order_acquire) == sec) {
        offset = cachedOffset.load(std::memory_order_relaxed);
    } else {
        const platform::CalendarTime lt = platform::LocalTimeFromUnixMs(utc);
        const std::int64_t local = (platform::DayNumber(lt.year, lt.month, lt.day) * 86400 + lt.hour * 3600 +
                                    lt.minute * 60 + lt.second) *
                                       1000 +
                                   lt.millisecond;
        offset = local - utc;
        cachedOffset.store(offset, std::memory_order_relaxed);
        cachedSecond.store(sec, std::memory_order_release);
    }
    return {utc, utc + offset};
}

std::wstring DebugLogBuildLine() {
#if defined(_WIN32)
    const char* platformName = "Windows";
#elif defined(__linux__)
    const char* platformName = "Linux";
#else
    const char* platformName = "POSIX";
#endif
#if defined(_MSC_VER)
    const std::string compiler = "MSVC++ " + std::to_string(_MSC_VER);
#elif defined(__clang__)
    const std::string compiler = std::string("Clang ") + __clang_version__;
#elif defined(__MINGW32__)
    const std::string compiler = std::string("MinGW-GCC ") + __VERSION__;
#elif defined(__GNUC__)
    const std::string compiler = std::string("GCC ") + __VERSION__;
#else
    const std::string compiler = "C++";
#endif
    const std::string line = std::string("Norvane SDK ") + NORVANE_VERSION + " " + __DATE__ + " " + __TIME__ +
                             " " + platformName + "-" + compiler;
    return Utf8ToWide(line);
}

CDebugLog::CDebugLog(const DebugLogOptions& options, LogClock clock) : clock_(std::move(clock)) {
    LineBreak = L"\r\n" + std::wstring(kPrefixWidth, L' ');
    const LogTimePoint now = Now();
    minuteBoundary_ = FloorDiv(now.utcMs, 60000) + 1;
    ReadSettings(options);
    segmenting_ = settings_.logSegmentSize != 0;
    loggingLevel_.store(settings_.loggingLevel);
    entriesPerMinute_ = settings_.entriesPerMinute;
    entriesPerMinuteValue_.store(settings_.entriesPerMinute);
    if (settings_.writeToDisk) {
        cleaner_ = std::thread([this] { CleanupMain(); });
    }
    writer_ = std::thread([this] { WriterMain(); });
}

std::shared_ptr<CDebugLog> CDebugLog::Create(const DebugLogOptions& options, LogClock clock) {
    return std::make_shared<CDebugLog>(options, std::move(clock));
}

CDebugLog::~CDebugLog() {
    {
        std::lock_guard<std::mutex> lock(cleanupMutex_);
        shutdown_ = true;
    }
    cleanupCv_.notify_all();
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        stopRequested_ = true;
    }
    queueCv_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    if (cleaner_.joinable()) {
        cleaner_.join();
    }
}

// ---- settings ---------------------------------------------------------------------------------

void CDebugLog::ReadSettings(const DebugLogOptions& options) {
    const fs::path module = platform::OwnModulePath();
    if (!options.appFolder.empty()) {
        appFolder_ = options.appFolder;
    } else {
        // The folder that holds the library: its settings file lies next to it.
        appFolder_ = module.parent_path();
    }
    logName_ = !options.logName.empty() ? options.logName : PathToWide(module.filename());
    if (!options.settingsFile.empty()) {
        settingsFile_ = NormalPath(options.settingsFile);
    } else {
        settingsFile_ = NormalPath(appFolder_ / WideToPath(logName_ + L".log_settings.json"));
    }
    defaultLogFolderPath_ =
        !options.defaultLogFolderPath.empty() ? options.defaultLogFolderPath : platform::TempFolder();
    settings_.logFolderPath = PathToWide(defaultLogFolderPath_);

    // A settings file that can be neither read nor written (a library installed in a folder the user
    // may not write to) leaves every default in force, including the log folder under the temporary
    // folder: the log never falls back to the application's working directory.
    std::string bytes;
    if (!platform::ReadWholeFile(settingsFile_, bytes).ok()) {
        if (!platform::WriteWholeFile(settingsFile_, DefaultSettingsText()).ok() ||
            !platform::ReadWholeFile(settingsFile_, bytes).ok()) {
            bytes.clear();
        }
    }
    LogSettingsFile file;
    if (!bytes.empty() && ParseLogSettings(bytes, file)) {
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
    }
    DeriveLogFolder();
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
        folder = StaysAsGiven(given) ? given : appFolder_ / given;
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
        minuteBoundary_ = FloorDiv(now.utcMs, 60000) + 1;
    }
    return previous;
}

std::uint32_t CDebugLog::GetEntriesPerMinute() const {
    return entriesPerMinuteValue_.load(std::memory_order_relaxed);
}

// ---- writing ----------------------------------------------------------------------------------

std::wstring CDebugLog::FormatRecord(std::wstring_view text, const LogTimePoint& now) const {
    std::wstring record;
    record.reserve(kPrefixWidth + text.size() + 2);
    if (settings_.timeLogging) {
        AppendTimePrefix(record, now.localMs);
    }
    if (settings_.threadIdLogging) {
        AppendThreadPrefix(record);
    }
    record.append(text).append(L"\r\n");
    return record;
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
        const std::int64_t minute = FloorDiv(now.utcMs, 60000);
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

void CDebugLog::Trace(const wchar_t*, std::size_t) {}

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
    // On the writer thread itself (a crash report from inside the writer) the file lock may already be
    // held by this thread, so the record goes out without it.
    if (std::this_thread::get_id() == writer_.get_id()) {
        (void)file_.Write(record);
        return;
    }
    std::lock_guard<std::mutex> lock(fileMutex_);
    if (file_.IsOpen()) {
        (void)file_.Write(record);
    }
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
    if (toDisk) {
        OpenFile();
        RequestCleanup();
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
        const bool retryOpen = toDisk && !file_.IsOpen();
        if (!stopRequested_ && !newFileRequested_) {
            writerWaiting_ = true;
            queueCv_.wait_for(lock, retryOpen ? kOpenRetry : kWriterWait,
                              [&] { return !queue_.empty() || stopRequested_ || newFileRequested_; });
            writerWaiting_ = false;
        }
        if (newFileRequested_ ||
            (retryOpen && std::chrono::steady_clock::now().time_since_epoch().count() >= nextOpenRetryMs_)) {
            const bool requested = newFileRequested_;
            lock.unlock();
            if (toDisk) {
                if (requested) {
                    RotationCheck(true);
                } else if (!file_.IsOpen()) {
                    if (OpenFile()) {
                        RequestCleanup();
                    }
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
    if (settings_.writeToDisk) {
        for (const std::wstring& record : batch) {
            AppendToFile(record);
            RotationCheck(false);
        }
        WriteBufferToFile();
    }
}

void CDebugLog::AppendToFile(const std::wstring& record) {
    if (file_.IsOpen()) {
        currentSize_ += AppendUtf8Record(fileBuffer_, record);
        if (fileBuffer_.size() >= kFileBufferFlush) {
            WriteBufferToFile();
        }
        return;
    }
    // No file could be opened: keep the record for the next file, within a limit.
    if (backlog_.size() < kBacklogLimit) {
        AppendUtf8Record(backlog_, record);
    } else {
        ++backlogLost_;
        lostRecords_.fetch_add(1, std::memory_order_relaxed);
    }
}

void CDebugLog::WriteBufferToFile() {
    if (fileBuffer_.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(fileMutex_);
        if (file_.IsOpen()) {
            (void)file_.Write(fileBuffer_);
        }
    }
    fileBuffer_.clear();
}

void CDebugLog::RotationCheck(bool newFileRequested) {
    if (rotating_ ||
        !(newFileRequested || (segmenting_ && file_.IsOpen() && currentSize_ > settings_.logSegmentSize))) {
        return;
    }
    rotating_ = true;
    CloseFile();
    if (OpenFile()) {
        RequestCleanup();
    }
    rotating_ = false;
}

fs::path CDebugLog::NextFilePath() {
    auto make = [&](const std::wstring& name) {
        return logFolder_.empty() ? WideToPath(name) : logFolder_ / WideToPath(name);
    };
    if (!segmenting_) {
        return make(logName_ + L".log");
    }
    // Two files opened within one millisecond would get one name, and the second would replace the
    // first: wait for the next millisecond (a frozen test clock gives up after a while).
    fs::path path;
    for (int attempt = 0; attempt < 50; ++attempt) {
        path = make(logName_ + L"-" + FileStamp(Now().localMs) + L".log");
        if (path != lastOpenedPath_ && !platform::FileExists(path)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return path;
}

bool CDebugLog::OpenFile() {
    const fs::path path = NextFilePath();
    if (!segmenting_) {
        (void)platform::SetFileCompression(path, false);
    }
    const platform::OpenMode mode =
        segmenting_ ? platform::OpenMode::kCreateAlways : platform::OpenMode::kAppend;
    {
        std::lock_guard<std::mutex> lock(fileMutex_);
        platform::SysResult result = platform::File::Open(path, mode, file_);
        if (!result.ok() && !logFolder_.empty()) {
            // The folder may have been removed since the start: make it again once.
            (void)platform::MakeDirectory(logFolder_);
            result = platform::File::Open(path, mode, file_);
        }
        if (!result.ok()) {
            currentSize_ = 0;
            nextOpenRetryMs_ = (std::chrono::steady_clock::now() + kOpenRetry).time_since_epoch().count();
            return false;
        }
        std::uint64_t size = 0;
        (void)file_.Size(size);
        currentSize_ = size;
        currentPath_ = path;
        lastOpenedPath_ = path;
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        currentPathText_ = PathToWide(path);
    }

    auto line = [](std::wstring_view label, const std::wstring& value) {
        std::wstring text(label.substr(0, 511));
        text.append(std::wstring_view(value).substr(0, 511 - text.size()));
        return text;
    };
    WriteDirect(L"------------------------<<< BUILD VER >>>------------------------");
    WriteDirect(DebugLogBuildLine());
    WriteDirect(L"----------------------<<< LOG PARAMETERS >>>---------------------");
    WriteDirect(line(L"App Folder Path : ", PathToWide(appFolder_)));
    WriteDirect(line(L"Log Folder Path : ", PathToWide(logFolder_)));
    WriteDirect(line(L"Debug Log Name  : ", logName_));
    WriteDirect(line(L"Logger severity level      : ", Decimal(loggingLevel_.load())));
    WriteDirect(line(L"Max days to keep files     : ", Decimal(settings_.maxDaysKeepAlive)));
    WriteDirect(line(L"Max total bytes in files   : ", Decimal(settings_.totalBytesLimit)));
    WriteDirect(line(L"Max bytes per log file     : ", Decimal(settings_.logSegmentSize)));
    WriteDirect(line(L"Max log records per minute : ", Decimal(entriesPerMinuteValue_.load())));
    WriteDirect(L"------------------------<<< BEGIN LOG >>>------------------------");
    if (!backlog_.empty()) {
        currentSize_ += backlog_.size();
        fileBuffer_ += backlog_;
        backlog_.clear();
        backlog_.shrink_to_fit();
    }
    if (backlogLost_ != 0) {
        WriteDirect(L"*** " + Decimal(backlogLost_) +
                    L" log records lost while no log file could be opened ***");
        backlogLost_ = 0;
    }
    WriteBufferToFile();

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

void CDebugLog::WriteDirect(std::wstring_view text) {
    currentSize_ += AppendUtf8Record(fileBuffer_, FormatRecord(text, Now()));
}

void CDebugLog::CloseFile() {
    if (!file_.IsOpen()) {
        return;
    }
    WriteDirect(kEndLog);
    WriteBufferToFile();
    fs::path path;
    {
        std::lock_guard<std::mutex> lock(fileMutex_);
        (void)file_.Flush();
        (void)file_.Close();
        path.swap(currentPath_);
    }
    (void)platform::SetFileCompression(path, true);
    std::lock_guard<std::mutex> lock(queueMutex_);
    currentPathText_.clear();
}

// ---- clean-up ---------------------------------------------------------------------------------

bool CDebugLog::IsSegmentFileName(std::wstring_view name) const {
    return MatchSegmentName(name, logName_);
}

void CDebugLog::RequestCleanup() {
    if (!settings_.writeToDisk) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(cleanupMutex_);
        if (shutdown_) {
            return;
        }
        cleanupPending_ = true;
    }
    cleanupCv_.notify_all();
}

void CDebugLog::CleanupMain() {
    std::unique_lock<std::mutex> lock(cleanupMutex_);
    for (;;) {
        cleanupCv_.wait(lock, [&] { return cleanupPending_ || shutdown_; });
        if (shutdown_) {
            break;
        }
        cleanupPending_ = false;
        lock.unlock();
        RunCleanup();
        lock.lock();
        completedCleanups_.fetch_add(1);
    }
    cleanupPending_ = false;
}

bool CDebugLog::CleanupSleep() {
    std::unique_lock<std::mutex> lock(cleanupMutex_);
    return !cleanupCv_.wait_for(lock, kCleanupSpacing, [&] { return shutdown_; });
}

void CDebugLog::RunCleanup() {
    const fs::path folder = logFolder_.empty() ? fs::path(".") : logFolder_;
    std::vector<platform::FileEntry> entries;
    if (!platform::ListFiles(folder, entries).ok()) {
        return;
    }
    struct Item {
        std::wstring name;
        std::uint64_t size;
    };
    std::vector<Item> files;
    std::uint64_t total = 0;
    for (const auto& entry : entries) {
        std::wstring name = PathToWide(entry.name);
        if (settings_.useFilesFilter && !IsSegmentFileName(name)) {
            continue;
        }
        total += entry.size;
        files.push_back({std::move(name), entry.size});
    }
    std::sort(files.begin(), files.end(),
              [](const Item& a, const Item& b) { return LessNoCase(a.name, b.name); });

    auto removeFirst = [&] {
        (void)platform::RemoveFile(folder / WideToPath(files.front().name));
        total -= files.front().size;
        files.erase(files.begin());
        return CleanupSleep();
    };
    if (settings_.totalBytesLimit != 0) {
        while (files.size() >= 2 && total > settings_.totalBytesLimit) {
            if (!removeFirst()) {
                return;
            }
        }
    }
    if (settings_.maxDaysKeepAlive != 0) {
        const std::int64_t today = FloorDiv(FloorDiv(Now().localMs, 1000), 86400);
        const std::int64_t cutoff = today - settings_.maxDaysKeepAlive;
        while (files.size() >= 2) {
            std::int64_t day = 0;
            if (!DateOfFileName(files.front().name, day) || day >= cutoff) {
                break;
            }
            if (!removeFirst()) {
                return;
            }
        }
    }
}
