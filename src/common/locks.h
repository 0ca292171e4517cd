// Named mutexes and the guard that reports slow lock uses.
//
// Every use of a component's named mutex goes through a TimedLocker:
//     TimedLocker lock(sockMutex_, L"Close", 5, "Network::UdpSock::Close", __FILE__, __LINE__);
// When the use (waiting + holding + releasing) took the threshold or longer, the locker hands it, after
// the mutex has been released, to the slow-lock hook. The process environment installs a hook that
// writes one line to the debug log:
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

// The threshold every lock use of this system is measured against.
inline constexpr std::uint32_t kSlowLockMs = 5;

// One lock use that took its threshold or longer, as the slow-lock hook receives it. The texts are the
// locker's: valid only during the call.
struct SlowLockUse {
    const std::wstring* mutexName = nullptr;
    const wchar_t* comment = nullptr;  // null counts as empty
    const char* method = nullptr;
    const char* file = nullptr;
    std::int32_t line = 0;
    LockUseTimes times;
};

// Receives every slow lock use, on the thread that used the lock, after the unlock.
using SlowLockHook = void (*)(const SlowLockUse& use) noexcept;

// Installs the hook (null: slow uses are not reported) and returns the one it replaces.
SlowLockHook SetSlowLockHook(SlowLockHook hook) noexcept;

// True when a use (releaseEnd - request) took `thresholdMs` or longer at `frequency` ticks per second.
[[nodiscard]] bool IsSlowLockUse(const LockUseTimes& times, std::uint32_t thresholdMs,
                                 std::uint64_t frequency) noexcept;

// The report line of a slow use. Durations are whole milliseconds of `frequency` ticks per second. The
// location part is appended when method and file are both given and line >= 1.
[[nodiscard]] std::wstring FormatLockReport(const SlowLockUse& use, std::uint64_t frequency);

// Hands a slow use to the installed hook, if any.
void ReportSlowLock(const SlowLockUse& use) noexcept;

// Scoped guard for NamedMutex and NamedRecursiveMutex: locks on construction, unlocks on destruction and
// reports the use when it took `thresholdMs` or longer. `comment`, `method` and `file` are not copied:
// they must outlive the guard (string literals, normally). The fast path costs four counter reads.
template <class Mutex>
class TimedLocker {
public:
    explicit TimedLocker(Mutex& mutex, const wchar_t* comment = L"", std::uint32_t thresholdMs = kSlowLockMs,
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
        // Reported after the unlock: reporting a slow lock never holds the measured mutex.
        if (IsSlowLockUse(times_, thresholdMs_, GetTicksFrequency())) {
            ReportSlowLock({&mutex_.Name(), comment_, method_, file_, line_, times_});
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
