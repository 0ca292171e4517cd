// Thread identity and scheduling priority of the calling thread.
#pragma once

#include <cstdint>

#include "platform/sys_error.h"

namespace platform {

// The system's id of the calling thread (GetCurrentThreadId / gettid), unique among the live threads of
// the system.
[[nodiscard]] std::uint32_t CurrentThreadId() noexcept;

// Sets the calling thread's priority:
//   0  normal                (THREAD_PRIORITY_NORMAL;        POSIX: SCHED_OTHER, nice 0)
//   1  highest               (THREAD_PRIORITY_HIGHEST;       POSIX: SCHED_OTHER, nice -10)
//   2  time critical         (THREAD_PRIORITY_TIME_CRITICAL; POSIX: SCHED_FIFO, or nice -20 where
//                             real-time scheduling is refused)
// Returns 0 on success; kErrorInvalidParameter (87) for any other level, without touching the thread;
// otherwise the native code of the refusal (GetLastError / errno, e.g. EPERM). A refused change leaves
// the thread running as it was.
[[nodiscard]] SysErrorCode SetCurrentThreadPriority(int level) noexcept;

// The calling thread's priority level as SetCurrentThreadPriority understands it: 0, 1 or 2 when the
// thread's settings are one of those levels, -1 otherwise (for example a nice value set elsewhere).
[[nodiscard]] int CurrentThreadPriority() noexcept;

}  // namespace platform
