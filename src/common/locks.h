// Named mutexes and the guard that reports slow lock uses to the debug log.
//
// Every use of a component's named mutex goes through a TimedLocker:
//     TimedLocker lock(sockMutex_, L"Close", 5, "Network::UdpSock::Close", __FILE__, __LINE__);
// When the use (waiting + holding + releasing) took the threshold or longer, the locker writes one line
// to the process debug log after the mutex has been released:
//     LOCK: <name> <comment>: Total=<ms> Waiting=<ms> Owning=<ms> Release=<ms>[ Method=<m> File=<f> Line=<l>]
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "common/clock.h"

// A non-recursive mutex with a name for the lock reports.
class NamedMutex {
public:
    explicit NamedMutex(std::wstring name) : name_(std::move(name)) {}
    NamedMutex(const NamedMutex&) = delete;
    NamedMutex& operator=(const NamedMutex&) = delete;

    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool try_lock() { return mutex_.try_lock(); }
    [[nodiscard]] const std::wstring& Name() const noexcept { return name_; }

private:
    std::mutex mutex_;
    const std::wstring name_;
};

// The same with a recursive mutex: the owning thread may lock it again and must unlock it as often.
class NamedRecursiveMutex {
public:
    explicit NamedRecursiveMutex(std::wstring name) : name_(std::move(name)) {}
    NamedRecursiveMutex(const NamedRecursiveMutex&) = delete;
    NamedRecursiveMutex& operator=(const NamedRecursiveMutex&) = delete;

    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool try_lock() { return mutex_.try_lock(); }
    [[nodiscard]] const std::wstring& Name() const noexcept { return name_; }

private:
    std::recursive_mutex mutex_;
    const std::wstring name_;
};

// The four time stamps (ticks) of one lock use.
struct LockUseTimes {
    std::uint64_t request = 0;       // just before locking
    std::uint64_t acquire = 0;       // just after the lock was obtained
    std::uint64_t releaseStart = 0;  // just before unlocking
    std::uint64_t releaseEnd = 0;    // just after unlocking
};

// The report line of one lock use, or an empty string when the use (releaseEnd - request) was shorter than
// `thresholdMs`. Durations are whole milliseconds of `frequency` ticks per second. The location part is
// appended when method and file are both given and line >= 1. A null comment counts as empty.
std::wstring FormatLockReport(const std::wstring& mutexName, const wchar_t* comment,
                              std::uint32_t thresholdMs, const char* method, const char* file,
                              std::int32_t line, const LockUseTimes& times, std::uint64_t frequency);

// Writes the report of a slow lock use to the process debug log (nothing when there is no log).
void ReportSlowLock(const std::wstring& mutexName, const wchar_t* comment, std::uint32_t thresholdMs,
                    const char* method, const char* file, std::int32_t line,
                    const LockUseTimes& times) noexcept;

// Scoped guard for NamedMutex and NamedRecursiveMutex: locks on construction, unlocks on destruction and
// reports the use when it took `thresholdMs` or longer. `comment`, `method` and `file` are not copied:
// they must outlive the guard (string literals, normally). The fast path costs four counter reads.
template <class Mutex>
class TimedLocker {
public:
    explicit TimedLocker(Mutex& mutex, const wchar_t* comment = L"", std::uint32_t thresholdMs = 5,
                         const char* method = nullptr, const char* file = nullptr, std::int32_t line = 0)
        : mutex_(mutex),
          thresholdMs_(thresholdMs),
          comment_(comment),
          method_(method),
          file_(file),
          line_(line) {
        times_.request = GetTicks();
        mutex_.lock();
        times_.acquire = GetTicks();
    }

    ~TimedLocker() {
        times_.releaseStart = GetTicks();
        mutex_.unlock();
        times_.releaseEnd = GetTicks();
        // The log is written after the unlock: reporting a slow lock never holds the measured mutex.
        if (times_.releaseEnd - times_.request >= MsToTicks(thresholdMs_)) {
            ReportSlowLock(mutex_.Name(), comment_, thresholdMs_, method_, file_, line_, times_);
        }
    }

    TimedLocker(const TimedLocker&) = delete;
    TimedLocker& operator=(const TimedLocker&) = delete;

private:
    Mutex& mutex_;
    LockUseTimes times_;
    std::uint32_t thresholdMs_;
    const wchar_t* comment_;
    const char* method_;
    const char* file_;
    std::int32_t line_;
};
