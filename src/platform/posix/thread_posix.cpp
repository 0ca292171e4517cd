#ifndef _WIN32

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "platform/thread.h"

namespace platform {
namespace {

constexpr int kNiceNormal = 0;
constexpr int kNiceHighest = -10;
constexpr int kNiceTimeCritical = -20;

// Real-time priority for time-critical threads: above every ordinary thread, well below the kernel's own
// real-time threads (which use 50 and up).
constexpr int kFifoPriority = 10;

SysErrorCode Errno() noexcept {
    const int e = errno;
    return e != 0 ? static_cast<SysErrorCode>(e) : static_cast<SysErrorCode>(EPERM);
}

// Leaves real-time scheduling (if the thread had it) and sets the thread's nice value. On Linux the nice
// value of a thread id belongs to that thread alone.
SysErrorCode SetOrdinaryScheduling(int nice) noexcept {
    int policy = SCHED_OTHER;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) != 0) {
        policy = SCHED_OTHER;
    }
    if (policy != SCHED_OTHER) {
        sched_param ordinary{};
        ordinary.sched_priority = 0;
        const int rc = pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
        if (rc != 0) {
            return static_cast<SysErrorCode>(rc);
        }
    }
    errno = 0;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) != 0) {
        return Errno();
    }
    return kNoError;
}

}  // namespace

std::uint32_t CurrentThreadId() noexcept {
    return static_cast<std::uint32_t>(gettid());
}

SysErrorCode SetCurrentThreadPriority(int level) noexcept {
    switch (level) {
        case 0:
            return SetOrdinaryScheduling(kNiceNormal);
        case 1:
            return SetOrdinaryScheduling(kNiceHighest);
        case 2: {
            sched_param param{};
            param.sched_priority = kFifoPriority;
            const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
            if (rc == 0) {
                return kNoError;
            }
            // Real-time scheduling needs a privilege many processes lack; the strongest nice value is
            // the next best thing. Only when that is refused too does the caller hear of it.
            const SysErrorCode fallback = SetOrdinaryScheduling(kNiceTimeCritical);
            return fallback == kNoError ? kNoError : static_cast<SysErrorCode>(rc);
        }
        default:
            return kErrorInvalidParameter;
    }
}

int CurrentThreadPriority() noexcept {
    int policy = SCHED_OTHER;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) != 0) {
        return -1;
    }
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
        return 2;
    }
    if (policy != SCHED_OTHER) {
        return -1;
    }
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    if (nice == -1 && errno != 0) {
        return -1;
    }
    switch (nice) {
        case kNiceNormal:
            return 0;
        case kNiceHighest:
            return 1;
        case kNiceTimeCritical:
            return 2;
        default:
            return -1;
    }
}

}  // namespace platform

#endif  // !_WIN32
