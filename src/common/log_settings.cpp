#include "common/log_settings.h"

#include <limits>

#include "json/value.h"
#include "platform/utf8.h"

namespace {

// The reading helpers return an empty optional for a value of the wrong kind or out of range; a number
// out of range is also noted in `refused`.
std::optional<std::uint64_t> ReadUnsigned(const JSON::Value* v, const wchar_t* key, std::uint64_t max,
                                          std::vector<LogSettingsFile::Refused>& refused) {
    if (v == nullptr || v->GetType() != JSON::kInteger) {
        return std::nullopt;
    }
    // A negative number would wrap to a huge one ("LogSegmentSize": -1 would switch segments off).
    if (v->integer < 0 || static_cast<std::uint64_t>(v->integer) > max) {
        refused.push_back({key, v->integer, max});
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(v->integer);
}

std::optional<std::uint32_t> ReadUInt32(const JSON::Value* v, const wchar_t* key,
                                        std::vector<LogSettingsFile::Refused>& refused) {
    const auto value = ReadUnsigned(v, key, std::numeric_limits<std::uint32_t>::max(), refused);
    return value ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*value)) : std::nullopt;
}

// A switch is a boolean literal; an integer (non-zero is true) is accepted as well.
std::optional<bool> ReadBool(const JSON::Value* v) {
    if (v == nullptr) {
        return std::nullopt;
    }
    if (v->GetType() == JSON::kLiteral && (v->literal == JSON::kTrue || v->literal == JSON::kFalse)) {
        return v->literal == JSON::kTrue;
    }
    if (v->GetType() == JSON::kInteger) {
        return v->integer != 0;
    }
    return std::nullopt;
}

std::optional<std::wstring> ReadString(const JSON::Value* v) {
    if (v == nullptr || v->GetType() != JSON::kString) {
        return std::nullopt;
    }
    return v->GetString();
}

IDebugLog::LogStatesData ReadLogState(const JSON::Value& element) {
    if (element.GetType() != JSON::kObject || element.object.size() != 1) {
        return {L"TestLogStreamId", false};
    }
    const auto& [key, value] = *element.object.begin();
    return {key, ReadBool(&value).value_or(false)};
}

}  // namespace

bool ParseLogSettings(std::string_view utf8, LogSettingsFile& out) {
    out = LogSettingsFile{};
    if (utf8.size() >= 3 && utf8.substr(0, 3) == "\xEF\xBB\xBF") {
        utf8.remove_prefix(3);
    }
    const std::wstring text = Utf8ToWide(utf8);
    JSON::Value root;
    if (text.empty() || !JSON::ParseText(std::wstring_view(text), root) || root.GetType() != JSON::kObject) {
        return false;
    }
    out.logFolderPath = ReadString(root.FindItem(L"LogFolderPath"));
    constexpr auto kUInt64Max = std::numeric_limits<std::uint64_t>::max();
    out.logSegmentSize =
        ReadUnsigned(root.FindItem(L"LogSegmentSize"), L"LogSegmentSize", kUInt64Max, out.refused);
    out.totalBytesLimit =
        ReadUnsigned(root.FindItem(L"TotalBytesLimit"), L"TotalBytesLimit", kUInt64Max, out.refused);
    out.maxDaysKeepAlive = ReadUInt32(root.FindItem(L"MaxDaysKeepAlive"), L"MaxDaysKeepAlive", out.refused);
    out.loggingLevel = ReadUInt32(root.FindItem(L"LoggingLevel"), L"LoggingLevel", out.refused);
    out.timeLogging = ReadBool(root.FindItem(L"TimeLogging"));
    out.threadIdLogging = ReadBool(root.FindItem(L"ThreadIdLogging"));
    out.useFilesFilter = ReadBool(root.FindItem(L"UseFilesFilter"));
    out.entriesPerMinute = ReadUInt32(root.FindItem(L"EntriesPerMinute"), L"EntriesPerMinute", out.refused);
    out.writeToDisk = ReadBool(root.FindItem(L"WriteToDisk"));
    out.stackDumpInDebug = ReadBool(root.FindItem(L"StackDumpInDebug"));
    if (const JSON::Value* states = root.FindItem(L"LogStates");
        states && states->GetType() == JSON::kArray) {
        for (const JSON::Value& element : states->array) {
            out.logStates.push_back(ReadLogState(element));
        }
    }
    return true;
}

std::string GenerateLogSettings(const LogSettingsFile& s) {
    JSON::Value root;
    root.SetType(JSON::kObject);
    if (s.logFolderPath) {
        root[L"LogFolderPath"].SetString(*s.logFolderPath);
    }
    if (s.logSegmentSize) {
        root[L"LogSegmentSize"].SetInt(*s.logSegmentSize);
    }
    if (s.totalBytesLimit) {
        root[L"TotalBytesLimit"].SetInt(*s.totalBytesLimit);
    }
    if (s.maxDaysKeepAlive) {
        root[L"MaxDaysKeepAlive"].SetInt(*s.maxDaysKeepAlive);
    }
    if (s.loggingLevel) {
        root[L"LoggingLevel"].SetInt(*s.loggingLevel);
    }
    if (s.timeLogging) {
        root[L"TimeLogging"].SetBool(*s.timeLogging);
    }
    if (s.threadIdLogging) {
        root[L"ThreadIdLogging"].SetBool(*s.threadIdLogging);
    }
    if (s.useFilesFilter) {
        root[L"UseFilesFilter"].SetBool(*s.useFilesFilter);
    }
    if (s.entriesPerMinute) {
        root[L"EntriesPerMinute"].SetInt(*s.entriesPerMinute);
    }
    if (s.writeToDisk) {
        root[L"WriteToDisk"].SetBool(*s.writeToDisk);
    }
    if (!s.logStates.empty()) {
        JSON::Value& states = root[L"LogStates"];
        states.SetType(JSON::kArray);
        for (const auto& state : s.logStates) {
            JSON::Value element;
            element[state.name].SetBool(state.enabled);
            states.array.push_back(std::move(element));
        }
    }
    return WideToUtf8(JSON::GenerateText(root));
}
