#include "common/log_record.h"

#include <atomic>
#include <limits>

#include "common/safe_text.h"
#include "platform/calendar_time.h"
#include "platform/thread.h"
#include "platform/utf8.h"

#ifndef NORVANE_VERSION
#define NORVANE_VERSION "0.1.0"
#endif

namespace {

template <typename Char>
void PutDigits(Char* out, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<Char>('0' + value % 10);
        value /= 10;
    }
}

// "YYYY<d>MM<d>DD HH<t>MM<t>SS." into the first 20 characters of `out`: the layout the record prefix
// and the file names share, with their own separators.
void PutDateTime(wchar_t* out, const platform::CalendarTime& c, wchar_t dateSep, wchar_t timeSep) {
    PutDigits(out, c.year, 4);
    out[4] = dateSep;
    PutDigits(out + 5, c.month, 2);
    out[7] = dateSep;
    PutDigits(out + 8, c.day, 2);
    out[10] = L' ';
    PutDigits(out + 11, c.hour, 2);
    out[13] = timeSep;
    PutDigits(out + 14, c.minute, 2);
    out[16] = timeSep;
    PutDigits(out + 17, c.second, 2);
    out[19] = L'.';
}

// "YYYY/MM/DD HH:MM:SS." for the second of the last record, and the thread id, kept per thread: the
// date text changes once a second, the id never.
struct PrefixCache {
    std::int64_t second = std::numeric_limits<std::int64_t>::min();
    wchar_t date[20] = {};
    bool haveThread = false;
    wchar_t thread[8] = {};
};
thread_local PrefixCache t_prefix;

void AppendTimePrefix(std::wstring& out, std::int64_t localMs) {
    PrefixCache& cache = t_prefix;
    const std::int64_t second = platform::FloorDiv(localMs, 1000);
    if (second != cache.second) {
        PutDateTime(cache.date, platform::CalendarFromMs(localMs), L'/', L':');
        cache.second = second;
    }
    wchar_t tail[6];
    PutDigits(tail, static_cast<unsigned>(localMs - second * 1000), 3);
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

}  // namespace

LogTimePoint SystemLogTime() {
    // The zone offset is looked up again whenever the second changes, so the local time follows
    // changes of daylight-saving time within a second; in between it costs one clock read.
    static std::atomic<std::int64_t> cachedSecond{std::numeric_limits<std::int64_t>::min()};
    static std::atomic<std::int64_t> cachedOffset{0};
    const std::int64_t utc = platform::UnixTimeMs();
    const std::int64_t second = platform::FloorDiv(utc, 1000);
    std::int64_t offset;
    if (cachedSecond.load(std::memory_order_acquire) == second) {
        offset = cachedOffset.load(std::memory_order_relaxed);
    } else {
        offset = platform::MsFromCalendar(platform::LocalTimeFromUnixMs(utc)) - utc;
        cachedOffset.store(offset, std::memory_order_relaxed);
        cachedSecond.store(second, std::memory_order_release);
    }
    return {utc, utc + offset};
}

std::wstring FormatLogRecord(std::wstring_view text, const LogTimePoint& now, bool withTime,
                             bool withThread) {
    std::wstring record;
    record.reserve(kLogPrefixWidth + text.size() + 2);
    if (withTime) {
        AppendTimePrefix(record, now.localMs);
    }
    if (withThread) {
        AppendThreadPrefix(record);
    }
    // The record's text holds no control character but the log's own continuation break (CR LF and the
    // blanks under the prefix, IDebugLog::LineBreak): any other CR, LF, ESC, ... becomes U+FFFD, so no
    // caller's text can start a line that reads as a record of its own.
    // (No static string for the break: the writer thread may still format records while statics are
    // destroyed at exit.)
    constexpr std::size_t kBreak = 2 + kLogPrefixWidth;
    const auto isBreak = [&](std::size_t at) {
        return text.size() - at >= kBreak &&
               text.substr(at + 2, kLogPrefixWidth).find_first_not_of(L' ') == std::wstring_view::npos;
    };
    for (;;) {
        std::size_t at = text.find(L"\r\n");
        while (at != std::wstring_view::npos && !isBreak(at)) {
            at = text.find(L"\r\n", at + 1);
        }
        AppendSafeText(record, text.substr(0, at));
        if (at == std::wstring_view::npos) {
            break;
        }
        record.append(text.substr(at, kBreak));
        text.remove_prefix(at + kBreak);
    }
    record.append(L"\r\n");
    return record;
}

std::wstring LogFileStamp(std::int64_t localMs) {
    const platform::CalendarTime c = platform::CalendarFromMs(localMs);
    wchar_t s[23];
    PutDateTime(s, c, L'-', L'_');
    PutDigits(s + 20, c.millisecond, 3);
    return std::wstring(s, 23);
}

std::size_t AppendUtf8Record(std::string& out, std::wstring_view record) {
    // Plain ASCII (nearly every record) is copied directly; anything else goes through the converter.
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
