// The debug log's settings file: a JSON object read into optional fields (a key that is missing or of
// the wrong kind stays empty and the log keeps its default), and the default file written from values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/debug_log.h"

struct LogSettingsFile {
    std::optional<std::wstring> logFolderPath;
    std::optional<std::uint64_t> logSegmentSize;
    std::optional<std::uint64_t> totalBytesLimit;
    std::optional<std::uint32_t> maxDaysKeepAlive;
    std::optional<std::uint32_t> loggingLevel;
    std::optional<bool> timeLogging;
    std::optional<bool> threadIdLogging;
    std::optional<bool> useFilesFilter;
    std::optional<std::uint32_t> entriesPerMinute;
    std::optional<bool> writeToDisk;
    std::optional<bool> stackDumpInDebug;
    // "LogStates" in file order; an element that is not an object with exactly one member reads as
    // {"TestLogStreamId": false}.
    std::vector<IDebugLog::LogStatesData> logStates;

    // A number the file gives for an unsigned key that the key cannot hold (negative, or above `max`):
    // the field stays empty, so the log keeps its default, and the log reports the key and the value.
    struct Refused {
        std::wstring key;
        std::int64_t value = 0;
        std::uint64_t max = 0;
    };
    std::vector<Refused> refused;
};

// Reads the UTF-8 bytes of a settings file (one leading byte-order mark allowed). Text that is not a JSON
// document (nesting deeper than the parser's bound included) leaves every field empty and returns false.
bool ParseLogSettings(std::string_view utf8, LogSettingsFile& out);

// The UTF-8 text of a settings file with every field that is set ("StackDumpInDebug" is never written).
std::string GenerateLogSettings(const LogSettingsFile& settings);
