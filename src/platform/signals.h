// The system hooks of the signals the process's signal-handler collection routes.
//
// Signals are numbered alike on every system, by the C runtime's numbers of Windows: 2 SIGINT,
// 3 SIGQUIT, 4 SIGILL, 8 SIGFPE, 11 SIGSEGV, 15 SIGTERM, 21 SIGBREAK, 22 SIGABRT, 128 log-off,
// 129 shut-down.
//
// Windows: 2, 3, 15, 21, 128 and 129 arrive as console control events through one console handler,
// installed with the first hook and left in place (Ctrl+C -> 2; Ctrl+Break -> 15, or 21 when nothing
// takes 15; closing the console -> 3; log-off -> 128; shut-down -> 129); 4, 8, 11 and 22 through the C
// runtime's signal().
// Linux: each through sigaction: SIGINT, SIGQUIT, SIGTERM and SIGILL, SIGFPE, SIGSEGV, SIGABRT under
// their own names, SIGHUP as 128 (the terminal's session has ended, which is what log-off is on
// Windows). 21 and 129 have no signal there: hooking them succeeds and they never arrive.
#pragma once

#include "platform/sys_error.h"

namespace platform {

// Called when a hooked signal arrives, with its number as above; true when a handler took it. Runs in a
// signal handler on Linux (and on a thread of the system's for console events on Windows): it may only
// read atomics and set flags.
using SignalDispatch = bool (*)(int signal) noexcept;

// Sets the system hook of `signal` to `dispatch`, or, with nullptr, restores the system's default (a
// no-op for the console events of Windows, whose handler passes on what nobody takes). Fails with the
// native code when the system refuses, with kErrorInvalidParameter for a number outside the list.
SysResult SetSignalHook(int signal, SignalDispatch dispatch) noexcept;

}  // namespace platform
