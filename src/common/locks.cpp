#include "common/locks.h"

#include <atomic>

namespace {

std::atomic<SlowLockHook> g_slowLockHook{nullptr};

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

SlowLockHook SetSlowLockHook(SlowLockHook hook) noexcept {
    return g_slowLockHook.exchange(hook);
}

bool IsSlowLockUse(const LockUseTimes& times, std::uint32_t thresholdMs, std::uint64_t frequency) noexcept {
    return times.releaseEnd - times.request >= UnitsToTicks(thresholdMs, 1000, frequency);
}

std::wstring FormatLockReport(const SlowLockUse& use, std::uint64_t frequency) {
    const LockUseTimes& times = use.times;
    std::wstring text;
    text.reserve(160);
    text += L"LOCK: ";
    if (use.mutexName != nullptr) {
        text += *use.mutexName;
    }
    text += L' ';
    if (use.comment != nullptr) {
        text += use.comment;
    }
    text += L": Total=";
    text += Ms(times.releaseEnd - times.request, frequency);
    text += L" Waiting=";
    text += Ms(times.acquire - times.request, frequency);
    text += L" Owning=";
    text += Ms(times.releaseStart - times.acquire, frequency);
    text += L" Release=";
    text += Ms(times.releaseEnd - times.releaseStart, frequency);
    if (use.method != nullptr && use.file != nullptr && use.line >= 1) {
        text += L" Method=";
        AppendWidened(text, use.method);
        text += L" File=";
        AppendWidened(text, use.file);
        text += L" Line=";
        text += std::to_wstring(use.line);
    }
    return text;
}

void ReportSlowLock(const SlowLockUse& use) noexcept {
    if (const SlowLockHook hook = g_slowLockHook.load()) {
        hook(use);
    }
}
