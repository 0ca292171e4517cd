// The records of the debug log: the prefix of date, time and thread, the names of segment files, and
// the UTF-8 bytes a record becomes in the file.
//
//     2024/01/25 22:04:09.123 @ 00001A2B @ RtpManager: hello<CR><LF>
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

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

// Width of the prefix with both time and thread: "YYYY/MM/DD HH:MM:SS.mmm @ " + "XXXXXXXX @ ".
inline constexpr std::size_t kLogPrefixWidth = 37;

// The record for `text` at `now` on the calling thread: the local time when `withTime`, the thread id
// (8 upper-case hexadecimal digits) when `withThread`, each followed by " @ ", then the text and CR LF.
// Control characters in the text become U+FFFD (SafeText), all but the log's own continuation break (CR LF
// and kLogPrefixWidth blanks), so a text never starts a line that reads as a record.
std::wstring FormatLogRecord(std::wstring_view text, const LogTimePoint& now, bool withTime, bool withThread);

// "YYYY-MM-DD HH_MM_SS.mmm" of a local time, for the names of segment files.
std::wstring LogFileStamp(std::int64_t localMs);

// Appends the UTF-8 form of a record and returns the bytes added; a record that cannot be converted
// adds nothing.
std::size_t AppendUtf8Record(std::string& out, std::wstring_view record);

// The build line of the log file header: product, version, build date and time, platform and compiler.
std::wstring DebugLogBuildLine();
