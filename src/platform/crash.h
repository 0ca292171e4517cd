// The process fault handler and the stack walk: the system side of the crash report.
//
// InstallCrashHandler hooks the faults of the process (Linux: sigaction for SIGSEGV, SIGBUS, SIGILL,
// SIGFPE and SIGABRT on an alternate stack; Windows: the unhandled-exception filter, with the system's
// error dialogs switched off). On a fault the handler captures the faulting thread's stack and calls the
// reporter, then ends the process abnormally (Linux: the default action is restored and the signal
// raised again; Windows: abort).
//
// The reporter runs on the faulting thread, on Linux inside a signal handler: it may call only what a
// signal handler may (no allocation, no lock the crashed thread could hold). Every function below marked
// "signal-safe" keeps to that.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/sys_error.h"

namespace platform {

// The most return addresses a crash report holds.
inline constexpr std::size_t kMaxCrashFrames = 128;

// One fault, in the exception codes of Windows. The Linux backend maps each fault signal to the code of
// the same fault (SIGSEGV -> 0xC0000005, SIGFPE by its si_code, ...).
struct CrashFault {
    std::uint32_t code = 0;
    // Non-null for a fault that has no exception code of its own on Windows (SIGABRT): its name.
    const char* name = nullptr;
    std::uint64_t thread = 0;
    std::uint64_t address = 0;  // the faulting instruction (or, when unknown, the faulting data address)
    int signal = 0;             // the native signal number on Linux; 0 on Windows
    // The faulting thread's stack, innermost first, starting at the faulting function.
    void* const* frames = nullptr;
    std::size_t frameCount = 0;
};

using CrashReporter = void (*)(const CrashFault& fault) noexcept;

// Installs the fault handler; `reporter` writes the report. Linux: allocates the alternate signal stack
// of the calling thread (faults of other threads run on their own stacks) and loads what the stack walk
// needs, so that the handler itself allocates nothing. Installing again replaces the reporter.
SysResult InstallCrashHandler(CrashReporter reporter);

// True when the system's handler for access violations is this layer's (asks the system).
[[nodiscard]] bool CrashHandlerInstalled() noexcept;

// Makes `native` (a descriptor / HANDLE open for appending, File::NativeHandle) the file crash reports
// go to. The handle is duplicated into a slot of its own, replaced at once, that stays open when the
// caller closes its file: a crash while the log rotates still reaches the file just closed. -1 leaves
// the slot as it is.
SysResult SetCrashReportFile(std::intptr_t native);

// Writes bytes to the crash report file, if there is one. Signal-safe.
void WriteCrashReport(const char* data, std::size_t size) noexcept;

// Up to `max` return addresses of the calling thread, innermost first. Signal-safe once a crash handler
// has been installed (on Linux the first walk loads the unwinder).
std::size_t CaptureStackAddresses(void** frames, std::size_t max) noexcept;

// What the system knows about one code address. Signal-safe on Linux (dladdr); on Windows the debug-help
// library resolves it.
struct FrameSymbol {
    const char* name = nullptr;       // the symbol's name as the module has it (mangled); null: unknown
    std::uint64_t symbolAddress = 0;  // the symbol's start; the address itself when unknown
    const char* module = nullptr;     // the module's file; null: unknown
    std::uint64_t moduleOffset = 0;   // the address relative to the module's load address
};

// `buffer` holds the name where the system copies it out (Windows); the result points into it or into
// the module's own tables. False when nothing is known.
bool ResolveFrame(const void* address, FrameSymbol& out, char* buffer, std::size_t bufferSize) noexcept;

}  // namespace platform
