#include "common/locks.h"

#include "common/debug_log.h"
#include "common/environment.h"

namespace {

// Source locations are ASCII; they are widened character by character as the error texts do it.
void AppendWidened(std::wstring& out, const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    }
}

std::wstring Ms(std::uint64_t ticks, std::uint64_t frequency) {
    return std::to_wstring(TicksToUnits(ticks, 1000, frequency));
}

}  // namespace

std::wstring FormatLockReport(const std::wstring& mutexName, const wchar_t* comment,
                              std::uint32_t thresholdMs, const char* method, const char* file,
                              std::int32_t line, const LockUseTimes& times, std::uint64_t frequency) {
    const std::uint64_t total = times.releaseEnd - times.request;
    if (total < UnitsToTicks(thresholdMs, 1000, frequency)) {
        return {};
    }
    std::wstring text;
    text.reserve(160);
    text += L"LOCK: ";
    text += mutexName;
    text += L' ';
    if (comment != nullptr) {
        text += comment;
    }
    text += L": Total=";
    text += Ms(total, frequency);
    text += L" Waiting=";
    text += Ms(times.acquire - times.request, frequency);
    text += L" Owning=";
    text += Ms(times.releaseStart - times.acquire, frequency);
    text += L" Release=";
    text += Ms(times.releaseEnd - times.releaseStart, frequency);
    if (method != nullptr && file != nullptr && line >= 1) {
        text += L" Method=";
        AppendWidened(text, method);
        text += L" File=";
        AppendWidened(text, file);
        text += L" Line=";
        text += std::to_wstring(line);
    }
    return text;
}

void ReportSlowLock(const std::wstring& mutexName, const wchar_t* comment, std::uint32_t thresholdMs,
                    const char* method, const char* file, std::int32_t line,
                    const LockUseTimes& times) noexcept {
    try {
        std::shared_ptr<IDebugLog> log;
        {
            EnvironmentRef ref;
            GetEnvironment(ref)->GetDebugLog(log);
        }
        if (!log) {
            return;
        }
        const std::wstring text =
            FormatLockReport(mutexName, comment, thresholdMs, method, file, line, times, GetTicksFrequency());
        if (!text.empty()) {
            log->Write(text);
        }
    } catch (...) {
        // A report that cannot be built (out of memory) is dropped; the lock itself has done its work.
    }
}
