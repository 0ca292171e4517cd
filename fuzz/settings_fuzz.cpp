// Reads arbitrary bytes as a settings file: the debug log's (ParseLogSettings) and the simulator's
// (Sim::LoadConfig over the same parsed document). Whatever the bytes, every number the log takes must
// fit its key (a refused one is noted, never taken), the defaults file written from the result must read
// back to the same fields, and the simulator must either take the document or name a reason.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/log_settings.h"
#include "json/value.h"
#include "sim/config.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "settings_fuzz: %s\n", what);
    std::abort();
}

bool SameFields(const LogSettingsFile& a, const LogSettingsFile& b) {
    if (a.logStates.size() != b.logStates.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.logStates.size(); ++i) {
        if (a.logStates[i].name != b.logStates[i].name || a.logStates[i].enabled != b.logStates[i].enabled) {
            return false;
        }
    }
    return a.logSegmentSize == b.logSegmentSize && a.totalBytesLimit == b.totalBytesLimit &&
           a.maxDaysKeepAlive == b.maxDaysKeepAlive && a.loggingLevel == b.loggingLevel &&
           a.timeLogging == b.timeLogging && a.threadIdLogging == b.threadIdLogging &&
           a.useFilesFilter == b.useFilesFilter && a.entriesPerMinute == b.entriesPerMinute &&
           a.writeToDisk == b.writeToDisk;
}

void CheckLogSettings(std::string_view bytes) {
    LogSettingsFile file;
    const bool parsed = ParseLogSettings(bytes, file);
    if (!parsed && (file.logSegmentSize || file.loggingLevel || file.logFolderPath ||
                    !file.logStates.empty() || !file.refused.empty())) {
        Fail("a text that is no settings document left fields set");
    }
    for (const LogSettingsFile::Refused& refused : file.refused) {
        if (refused.value >= 0 && static_cast<std::uint64_t>(refused.value) <= refused.max) {
            Fail("a number within its key's range was refused");
        }
    }
    // Numbers come from signed 64-bit JSON integers: a taken one is never a wrapped negative.
    for (const auto& v : {file.logSegmentSize, file.totalBytesLimit}) {
        if (v && *v > static_cast<std::uint64_t>(INT64_MAX)) {
            Fail("a negative number was taken as a huge size");
        }
    }
    if (!parsed) {
        return;
    }
    // The file the log writes from these fields reads back to them ("StackDumpInDebug" is never written;
    // the folder's text may hold unpaired surrogates, which UTF-8 cannot carry, so it is left out).
    LogSettingsFile written = file;
    written.logFolderPath.reset();
    written.stackDumpInDebug.reset();
    LogSettingsFile again;
    if (!ParseLogSettings(GenerateLogSettings(written), again) || !SameFields(written, again) ||
        !again.refused.empty()) {
        Fail("the written settings do not read back to the same fields");
    }
}

void CheckSimSettings(std::string_view bytes) {
    JSON::Value root;
    if (!JSON::ParseText(bytes, root)) {
        return;
    }
    Sim::SimConfig config;
    std::string error;
    if (!Sim::LoadConfig(root, config, error) && error.empty()) {
        Fail("simulator settings refused without a reason");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckLogSettings(bytes);
    CheckSimSettings(bytes);
    return 0;
}
