// Crash reports and stack dumps: the stack-trace logger, the process dumper and the exception names.
//
// With the debug log's "StackDumpInDebug" on, the environment has the stack-trace logger install the
// crash handler (platform/crash.h). On a fault the handler writes one line naming the exception and
// then the faulting thread's stack, one line per frame, into the debug log's current file, and the
// process ends abnormally. The crash lines bypass the log's queue and its locks: they are written with
// one system call each to a duplicate of the file's descriptor (HANDLE), which the log's writer hands
// over each time it opens a file (LogFile::NativeHandle). A log that writes no file gets no crash lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class CDebugLog;

// The name of a Windows exception code; "UNKNOWN" for a code outside the table. The table is constant
// data, there from the start of the process.
[[nodiscard]] const char* ExceptionName(std::uint32_t code) noexcept;

// "\tEXCEPTION code: 0x<code> <name> on thread <thread, 8 digits at least> address: 0x<address>\n" into
// `out` (zero-ended, cut at `size`); returns its length. Allocates nothing.
std::size_t FormatExceptionLine(char* out, std::size_t size, std::uint32_t code, const char* name,
                                std::uint64_t thread, std::uint64_t address) noexcept;

// Receives the text of a stack dump piece by piece.
using StackTextSink = void (*)(const char* text, std::size_t length, void* context) noexcept;

// One line per frame, "\t<number, 2 digits at least> 0x<symbol address> <name>\n", numbered down to 0
// at the outermost frame. The name is the demangled symbol; for a frame the system cannot name, the
// module's file name and the offset of the call in it ("lib.so+0x1a2b", what addr2line -e takes) with
// the frame's own address, or "unresolved". `faultFirst`: frames[0] is the faulting instruction itself; every
// other frame is a return address and is looked up one byte before it (the call). Allocates nothing on Linux.
void WriteStackFrames(void* const* frames, std::size_t count, bool faultFirst, StackTextSink sink,
                      void* context) noexcept;

class IProcessDumper {
public:
    // The calling thread's stack as text (the lines of WriteStackFrames), without the dumper's frames.
    virtual std::string CaptureStack() = 0;
    virtual ~IProcessDumper() = default;
};

class ProcessDumper final : public IProcessDumper {
public:
    std::string CaptureStack() override;
};

class IStackTraceLogger {
public:
    virtual ~IStackTraceLogger() = default;
    // Writes the calling thread's stack into the debug log (raw, past the queue).
    virtual void LogStackTrace() = 0;
    // Installs the process crash handler, whose report goes to the debug log's file.
    virtual void InstallCrashHandler() = 0;
};

class StackTraceLogger final : public IStackTraceLogger {
public:
    // `log`: the log stack dumps and crash reports go to; null writes nothing (a crash still ends the
    // process abnormally once the handler is installed).
    explicit StackTraceLogger(std::shared_ptr<CDebugLog> log);

    void LogStackTrace() override;
    void InstallCrashHandler() override;

private:
    std::shared_ptr<CDebugLog> log_;
    ProcessDumper dumper_;
};
