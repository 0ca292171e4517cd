#ifndef _WIN32

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include "platform/crash.h"
#include "platform/signals.h"

namespace platform {
namespace {

// Exception codes of the faults the signals stand for.
constexpr std::uint32_t kAccessViolation = 0xC0000005;
constexpr std::uint32_t kDatatypeMisalignment = 0x80000002;
constexpr std::uint32_t kInPageError = 0xC0000006;
constexpr std::uint32_t kIllegalInstruction = 0xC000001D;
constexpr std::uint32_t kPrivilegedInstruction = 0xC0000096;
constexpr std::uint32_t kIntegerDivideByZero = 0xC0000094;
constexpr std::uint32_t kIntegerOverflow = 0xC0000095;
constexpr std::uint32_t kFloatDivideByZero = 0xC000008E;
constexpr std::uint32_t kFloatOverflow = 0xC0000091;
constexpr std::uint32_t kFloatUnderflow = 0xC0000093;
constexpr std::uint32_t kFloatInexactResult = 0xC000008F;
constexpr std::uint32_t kFloatInvalidOperation = 0xC0000090;
constexpr std::uint32_t kArrayBoundsExceeded = 0xC000008C;
// What the Windows C runtime ends a process with when it calls abort().
constexpr std::uint32_t kFatalAppExit = 0x40000015;

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// Room for the report: the frames and the unwinder's own calls. Taken from the heap at install.
constexpr std::size_t kAltStackBytes = 256 * 1024;

std::atomic<CrashReporter> g_reporter{nullptr};
std::atomic<int> g_reportFd{-1};
std::atomic<bool> g_reporting{false};
std::mutex g_installMutex;  // installs and report-file changes; never taken in a handler

// The floating-point and integer faults by their si_code; any other is an invalid operation.
struct FpeCode {
    int code;
    std::uint32_t exception;
};
constexpr FpeCode kFpeCodes[] = {
    {FPE_INTDIV, kIntegerDivideByZero}, {FPE_INTOVF, kIntegerOverflow},
    {FPE_FLTDIV, kFloatDivideByZero},   {FPE_FLTOVF, kFloatOverflow},
    {FPE_FLTUND, kFloatUnderflow},      {FPE_FLTRES, kFloatInexactResult},
    {FPE_FLTSUB, kArrayBoundsExceeded}, {FPE_FLTINV, kFloatInvalidOperation},
};

// The same fault as Windows would name it. SIGBUS: a misaligned access is DATATYPE_MISALIGNMENT; any
// other bus error is a mapped page that cannot be read (a file truncated under its mapping), which is
// what IN_PAGE_ERROR reports on Windows. SIGABRT has no exception on Windows; it is reported with the
// code the C runtime ends an aborted process with, under its own name.
void MapSignal(int sig, int code, CrashFault& fault) noexcept {
    if (sig == SIGSEGV) {
        fault.code = kAccessViolation;
    } else if (sig == SIGBUS) {
        fault.code = code == BUS_ADRALN ? kDatatypeMisalignment : kInPageError;
    } else if (sig == SIGILL) {
        fault.code =
            (code == ILL_PRVOPC || code == ILL_PRVREG) ? kPrivilegedInstruction : kIllegalInstruction;
    } else if (sig == SIGFPE) {
        fault.code = kFloatInvalidOperation;
        for (const FpeCode& entry : kFpeCodes) {
            if (entry.code == code) {
                fault.code = entry.exception;
            }
        }
    } else {
        fault.code = kFatalAppExit;
        fault.name = "ABORT";
    }
}

std::uint64_t FaultingInstruction(const siginfo_t* info, const void* context) noexcept {
    const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    if (uc != nullptr) {
        return static_cast<std::uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
    }
#elif defined(__aarch64__)
    if (uc != nullptr) {
        return static_cast<std::uint64_t>(uc->uc_mcontext.pc);
    }
#else
    (void)uc;
#endif
    return reinterpret_cast<std::uintptr_t>(info->si_addr);
}

extern "C" void OnFaultSignal(int sig, siginfo_t* info, void* context) {
    // A second thread that faults while the first reports waits for the first to end the process.
    if (g_reporting.exchange(true)) {
        for (;;) {
            ::pause();
        }
    }
    const int savedErrno = errno;
    CrashFault fault;
    MapSignal(sig, info->si_code, fault);
    fault.signal = sig;
    fault.thread = static_cast<std::uint64_t>(::syscall(SYS_gettid));
    fault.address = FaultingInstruction(info, context);
    void* frames[kMaxCrashFrames];
    const std::size_t n = CaptureStackAddresses(frames, kMaxCrashFrames);
    // The walk starts inside this handler; the report starts at the faulting function.
    std::size_t first = 0;
    while (first < n && reinterpret_cast<std::uintptr_t>(frames[first]) != fault.address) {
        ++first;
    }
    if (first == n) {
        first = 0;
    }
    fault.frames = frames + first;
    fault.frameCount = n - first;
    if (const CrashReporter reporter = g_reporter.load()) {
        reporter(fault);
    }
    // Ends the process by the signal itself: the default action runs once this handler returns (the
    // signal is blocked until then), so a shell or a debugger sees the fault.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    (void)::sigaction(sig, &dfl, nullptr);
    (void)::raise(sig);
    errno = savedErrno;
}

SysResult InstallAltStack() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
        current.ss_size >= kAltStackBytes) {
        return SysResult::Ok();  // this thread has one large enough already
    }
    stack_t stack{};
    stack.ss_sp = std::malloc(kAltStackBytes);  // kept for the life of the process
    if (stack.ss_sp == nullptr) {
        return SysResult::Fail(ENOMEM);
    }
    stack.ss_size = kAltStackBytes;
    if (::sigaltstack(&stack, nullptr) != 0) {
        const int e = errno;
        std::free(stack.ss_sp);
        return SysResult::Fail(static_cast<SysErrorCode>(e));
    }
    return SysResult::Ok();
}

}  // namespace

SysResult InstallCrashHandler(CrashReporter reporter) {
    std::lock_guard<std::mutex> lock(g_installMutex);
    g_reporter.store(reporter);
    // The first walk loads the unwinder (and allocates); do it here, not in the handler.
    void* warmUp[4];
    (void)CaptureStackAddresses(warmUp, 4);
    if (const SysResult stack = InstallAltStack(); !stack.ok()) {
        return stack;
    }
    struct sigaction action {};
    action.sa_sigaction = &OnFaultSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    // A fault inside the report ends the process at once with that fault.
    for (const int sig : kFaultSignals) {
        sigaddset(&action.sa_mask, sig);
    }
    for (const int sig : kFaultSignals) {
        if (::sigaction(sig, &action, nullptr) != 0) {
            return SysResult::Fail(static_cast<SysErrorCode>(errno));
        }
    }
    return SysResult::Ok();
}

bool CrashHandlerInstalled() noexcept {
    struct sigaction current {};
    return ::sigaction(SIGSEGV, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
           current.sa_sigaction == &OnFaultSignal;
}

SysResult SetCrashReportFile(std::intptr_t native) {
    if (native < 0) {
        return SysResult::Ok();
    }
    std::lock_guard<std::mutex> lock(g_installMutex);
    const int slot = g_reportFd.load();
    if (slot >= 0) {
        // dup2 replaces the slot's file in one step: a report never sees it closed.
        return ::dup3(static_cast<int>(native), slot, O_CLOEXEC) >= 0
                   ? SysResult::Ok()
                   : SysResult::Fail(static_cast<SysErrorCode>(errno));
    }
    const int fd = ::fcntl(static_cast<int>(native), F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        return SysResult::Fail(static_cast<SysErrorCode>(errno));
    }
    g_reportFd.store(fd);
    return SysResult::Ok();
}

void WriteCrashReport(const char* data, std::size_t size) noexcept {
    const int fd = g_reportFd.load();
    while (fd >= 0 && size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::size_t CaptureStackAddresses(void** frames, std::size_t max) noexcept {
    const int n = ::backtrace(frames, static_cast<int>(max));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

// dladdr reads the loader's tables; it takes the loader's recursive lock, which a thread that crashed
// inside the loader already holds and any other thread gives back.
bool ResolveFrame(const void* address, FrameSymbol& out, char*, std::size_t) noexcept {
    out = FrameSymbol{};
    out.symbolAddress = reinterpret_cast<std::uintptr_t>(address);
    Dl_info info{};
    if (::dladdr(address, &info) == 0) {
        return false;
    }
    out.module = info.dli_fname;
    out.moduleOffset =
        reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    if (info.dli_sname != nullptr && info.dli_saddr != nullptr) {
        out.name = info.dli_sname;
        out.symbolAddress = reinterpret_cast<std::uintptr_t>(info.dli_saddr);
    }
    return true;
}

// ---- signal hooks --------------------------------------------------------------------------------

namespace {

struct SignalPair {
    int number;  // as the collection numbers it
    int native;  // 0: no such signal here
};

constexpr SignalPair kSignals[] = {{2, SIGINT},   {3, SIGQUIT}, {4, SIGILL},   {8, SIGFPE},   {11, SIGSEGV},
                                   {15, SIGTERM}, {21, 0},      {22, SIGABRT}, {128, SIGHUP}, {129, 0}};
constexpr std::size_t kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

std::atomic<SignalDispatch> g_dispatch[kSignalCount];

extern "C" void OnHookedSignal(int native) {
    const int savedErrno = errno;
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        if (kSignals[i].native == native) {
            if (const SignalDispatch dispatch = g_dispatch[i].load()) {
                (void)dispatch(kSignals[i].number);
            }
            break;
        }
    }
    errno = savedErrno;
}

}  // namespace

SysResult SetSignalHook(int signal, SignalDispatch dispatch) noexcept {
    std::size_t i = 0;
    while (i < kSignalCount && kSignals[i].number != signal) {
        ++i;
    }
    if (i == kSignalCount) {
        return SysResult::Fail(kErrorInvalidParameter);
    }
    if (kSignals[i].native == 0) {
        return SysResult::Ok();
    }
    g_dispatch[i].store(dispatch);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (dispatch != nullptr) {
        action.sa_handler = &OnHookedSignal;
        action.sa_flags = SA_RESTART;
    } else {
        action.sa_handler = SIG_DFL;
    }
    if (::sigaction(kSignals[i].native, &action, nullptr) != 0) {
        return SysResult::Fail(static_cast<SysErrorCode>(errno));
    }
    return SysResult::Ok();
}

}  // namespace platform

#endif  // _WIN32
