// Priority of the calling thread.
#pragma once

#include <cstdint>

// Sets the calling thread's priority: 0 normal, 1 highest, 2 time critical (the socket service threads).
// Returns 0 on success, 87 for any other level (the thread is not touched), otherwise the system's error
// code of the refusal; a refused change leaves the thread as it was. On POSIX systems level 2 is
// real-time (FIFO) scheduling where the process may use it, otherwise the strongest nice value.
std::uint32_t SetCurrentThreadPriority(int level) noexcept;
