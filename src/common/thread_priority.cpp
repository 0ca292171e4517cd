#include "common/thread_priority.h"

#include "platform/thread.h"

std::uint32_t SetCurrentThreadPriority(int level) noexcept {
    return platform::SetCurrentThreadPriority(level);
}
