#ifdef _WIN32

// clang-format off
#include <windows.h>
#include <dbghelp.h>
// clang-format on

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/crash.h"
#include "platform/signals.h"

namespace platform {
namespace {

std::atomic<CrashReporter> g_reporter{nullptr};
std::atomic<HANDLE> g_reportFile{nullptr};
std::atomic<bool> g_reporting{false};
std::mutex g_installMutex;  // installs and report-file changes; never taken in the filter
std::mutex g_symbolsMutex;  // the debug-help library is single-threaded
bool g_symbolsReady = false;

void EnsureSymbols() noexcept {
    if (!g_symbolsReady) {
        ::SymSetOptions(::SymGetOptions() | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
        g_symbolsReady = ::SymInitialize(::GetCurrentProcess(), nullptr, TRUE) != 0;
    }
}

// Walks the faulting thread's stack from the context of the fault, with the unwind tables of each module.
std::size_t WalkFromContext(const CONTEXT& faultContext, void** frames, std::size_t max) noexcept {
#if defined(__x86_64__) || defined(_M_X64)
    CONTEXT context = faultContext;
    std::size_t n = 0;
    while (n < max && context.Rip != 0) {
        frames[n++] = reinterpret_cast<void*>(context.Rip);
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (function == nullptr) {
            // A leaf function: the return address is on top of the stack.
            context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
            context.Rsp += 8;
        } else {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                               &establisher, nullptr);
        }
    }
    return n;
#else
    (void)faultContext;
    return CaptureStackAddresses(frames, max);
#endif
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    if (g_reporting.exchange(true)) {
        for (;;) {
            ::Sleep(INFINITE);
        }
    }
    CrashFault fault;
    fault.code = static_cast<std::uint32_t>(pointers->ExceptionRecord->ExceptionCode);
    fault.thread = ::GetCurrentThreadId();
    fault.address = reinterpret_cast<std::uintptr_t>(pointers->ExceptionRecord->ExceptionAddress);
    void* frames[kMaxCrashFrames];
    fault.frames = frames;
    fault.frameCount = WalkFromContext(*pointers->ContextRecord, frames, kMaxCrashFrames);
    if (const CrashReporter reporter = g_reporter.load()) {
        reporter(fault);
    }
    std::abort();
}

// The export of `module` that is the function containing `address`, read from the module's export
// directory in memory: what names a frame when the debug-help library has nothing for it (a module
// without debug information it reads, as the cross compiler's are). The function is found by the
// module's unwind table, so a function that is not exported is never given the name of an exported
// one before it.
const char* ExportedFunctionAt(HMODULE module, std::uintptr_t address, std::uint64_t& start) noexcept {
#if defined(__x86_64__) || defined(_M_X64)
    DWORD64 imageBase = 0;
    const PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(address, &imageBase, nullptr);
    const auto base = reinterpret_cast<std::uintptr_t>(module);
    if (function == nullptr || imageBase != base) {
        return nullptr;
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || entry.VirtualAddress == 0 || entry.Size == 0) {
        return nullptr;
    }
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    const auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    const auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        if (functions[ordinals[i]] == function->BeginAddress) {
            start = base + function->BeginAddress;
            return reinterpret_cast<const char*>(base + names[i]);
        }
    }
#else
    (void)module;
    (void)address;
    (void)start;
#endif
    return nullptr;
}

}  // namespace

SysResult InstallCrashHandler(CrashReporter reporter) {
    std::lock_guard<std::mutex> lock(g_installMutex);
    g_reporter.store(reporter);
    {
        std::lock_guard<std::mutex> symbols(g_symbolsMutex);
        EnsureSymbols();
    }
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    ::SetUnhandledExceptionFilter(&OnUnhandledException);
    return SysResult::Ok();
}

bool CrashHandlerInstalled() noexcept {
    const LPTOP_LEVEL_EXCEPTION_FILTER current = ::SetUnhandledExceptionFilter(nullptr);
    ::SetUnhandledExceptionFilter(current);
    return current == &OnUnhandledException;
}

SysResult SetCrashReportFile(std::intptr_t native) {
    if (native == -1) {
        return SysResult::Ok();
    }
    std::lock_guard<std::mutex> lock(g_installMutex);
    HANDLE copy = nullptr;
    if (::DuplicateHandle(::GetCurrentProcess(), reinterpret_cast<HANDLE>(native), ::GetCurrentProcess(),
                          &copy, 0, FALSE, DUPLICATE_SAME_ACCESS) == 0) {
        return SysResult::Fail(::GetLastError());
    }
    // The filter reads the slot once; the old handle is closed after the swap.
    if (const HANDLE old = g_reportFile.exchange(copy)) {
        ::CloseHandle(old);
    }
    return SysResult::Ok();
}

void WriteCrashReport(const char* data, std::size_t size) noexcept {
    const HANDLE file = g_reportFile.load();
    while (file != nullptr && size > 0) {
        DWORD n = 0;
        if (::WriteFile(file, data, static_cast<DWORD>(size), &n, nullptr) == 0 || n == 0) {
            return;
        }
        data += n;
        size -= n;
    }
}

std::size_t CaptureStackAddresses(void** frames, std::size_t max) noexcept {
    const DWORD count = max > 0xFFFF ? 0xFFFF : static_cast<DWORD>(max);
    return ::CaptureStackBackTrace(0, count, frames, nullptr);
}

bool ResolveFrame(const void* address, FrameSymbol& out, char* buffer, std::size_t bufferSize) noexcept {
    out = FrameSymbol{};
    out.symbolAddress = reinterpret_cast<std::uintptr_t>(address);
    HMODULE module = nullptr;
    if (::GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCSTR>(address), &module) != 0) {
        out.moduleOffset =
            reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(module);
    }
    // The name lands in the caller's buffer first; the module's file name after it.
    alignas(SYMBOL_INFO) char record[sizeof(SYMBOL_INFO) + MAX_SYM_NAME];
    auto* symbol = reinterpret_cast<SYMBOL_INFO*>(record);
    std::memset(record, 0, sizeof(record));
    symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
    symbol->MaxNameLen = 260;
    DWORD64 displacement = 0;
    bool named = false;
    {
        std::lock_guard<std::mutex> lock(g_symbolsMutex);
        EnsureSymbols();
        named =
            g_symbolsReady && ::SymFromAddr(::GetCurrentProcess(), reinterpret_cast<std::uintptr_t>(address),
                                            &displacement, symbol) != 0;
    }
    std::size_t used = 0;
    if (named && bufferSize > 1) {
        used = std::strlen(symbol->Name);
        used = used < bufferSize - 1 ? used : bufferSize - 1;
        std::memcpy(buffer, symbol->Name, used);
        buffer[used++] = '\0';
        out.name = buffer;
        out.symbolAddress = symbol->Address;
    }
    if (out.name == nullptr && module != nullptr) {
        out.name = ExportedFunctionAt(module, reinterpret_cast<std::uintptr_t>(address), out.symbolAddress);
        if (out.name == nullptr) {
            out.symbolAddress = reinterpret_cast<std::uintptr_t>(address);
        }
    }
    if (module != nullptr && used < bufferSize) {
        const DWORD length =
            ::GetModuleFileNameA(module, buffer + used, static_cast<DWORD>(bufferSize - used));
        if (length != 0) {
            out.module = buffer + used;
        }
    }
    return out.name != nullptr || out.module != nullptr;
}

// ---- signal hooks --------------------------------------------------------------------------------

namespace {

constexpr int kSignalNumbers[] = {2, 3, 4, 8, 11, 15, 21, 22, 128, 129};
constexpr std::size_t kSignalCount = sizeof(kSignalNumbers) / sizeof(kSignalNumbers[0]);

std::atomic<SignalDispatch> g_dispatch[kSignalCount];
bool g_consoleHandlerInstalled = false;

std::size_t SlotOf(int signal) noexcept {
    std::size_t i = 0;
    while (i < kSignalCount && kSignalNumbers[i] != signal) {
        ++i;
    }
    return i;
}

bool IsConsoleSignal(int signal) noexcept {
    return signal == 2 || signal == 3 || signal == 15 || signal == 21 || signal == 128 || signal == 129;
}

bool Dispatch(int signal) noexcept {
    const std::size_t slot = SlotOf(signal);
    const SignalDispatch dispatch = slot < kSignalCount ? g_dispatch[slot].load() : nullptr;
    return dispatch != nullptr && dispatch(signal);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return Dispatch(2) ? TRUE : FALSE;
        case CTRL_BREAK_EVENT:
            return (Dispatch(15) || Dispatch(21)) ? TRUE : FALSE;
        case CTRL_CLOSE_EVENT:
            return Dispatch(3) ? TRUE : FALSE;
        case CTRL_LOGOFF_EVENT:
            return Dispatch(128) ? TRUE : FALSE;
        case CTRL_SHUTDOWN_EVENT:
            return Dispatch(129) ? TRUE : FALSE;
        default:
            return FALSE;
    }
}

extern "C" void OnRuntimeSignal(int signal) {
    (void)Dispatch(signal);
    // The C runtime resets the hook before calling it; the collection's hook stays until it is removed.
    (void)std::signal(signal, &OnRuntimeSignal);
}

}  // namespace

SysResult SetSignalHook(int signal, SignalDispatch dispatch) noexcept {
    const std::size_t slot = SlotOf(signal);
    if (slot == kSignalCount) {
        return SysResult::Fail(kErrorInvalidParameter);
    }
    g_dispatch[slot].store(dispatch);
    if (IsConsoleSignal(signal)) {
        // One console handler serves them all; it passes on the events nobody takes.
        if (dispatch == nullptr || g_consoleHandlerInstalled) {
            return SysResult::Ok();
        }
        if (::SetConsoleCtrlHandler(&OnConsoleEvent, TRUE) == 0) {
            return SysResult::Fail(::GetLastError());
        }
        g_consoleHandlerInstalled = true;
        return SysResult::Ok();
    }
    if (std::signal(signal, dispatch != nullptr ? &OnRuntimeSignal : SIG_DFL) == SIG_ERR) {
        return SysResult::Fail(kErrorInvalidParameter);
    }
    return SysResult::Ok();
}

}  // namespace platform

#endif  // _WIN32
