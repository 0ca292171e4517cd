#include "common/stack_trace.h"

#include <cstring>

#include "common/cdebug_log.h"
#include "common/demangle.h"
#include "platform/crash.h"

namespace {

struct ExceptionEntry {
    std::uint32_t code;
    const char* name;
};

// Sorted by code.
constexpr ExceptionEntry kExceptionNames[] = {
    {0x40000005, "SEGMENT_NOTIFICATION"},    {0x80000001, "GUARD_PAGE_VIOLATION"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},   {0xC0000005, "ACCESS_VIOLATION"},
    {0xC0000006, "IN_PAGE_ERROR"},           {0xC0000017, "NO_MEMORY"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},     {0xC0000026, "INVALID_DISPOSITION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},   {0xC000008D, "FLOAT_DENORMAL_OPERAND"},
    {0xC000008E, "FLOAT_DIVIDE_BY_ZERO"},    {0xC000008F, "FLOAT_INEXACT_RESULT"},
    {0xC0000090, "FLOAT_INVALID_OPERATION"}, {0xC0000091, "FLOAT_OVERFLOW"},
    {0xC0000092, "FLOAT_STACK_CHECK"},       {0xC0000093, "FLOAT_UNDERFLOW"},
    {0xC0000094, "INTEGER_DIVIDE_BY_ZERO"},  {0xC0000095, "INTEGER_OVERFLOW"},
    {0xC0000096, "PRIVILEGED_INSTRUCTION"},  {0xC00000FD, "STACK_OVERFLOW"},
    {0xC000013A, "CONTROL_C_EXIT"},
};

// The longest symbol name a frame line shows (a line stays within 1024 bytes).
constexpr std::size_t kMaxFrameName = 754;
// The dumper's own frames at the top of a captured stack: the capture and CaptureStack.
constexpr std::size_t kDumperFrames = 2;

// A zero-ended text built in a fixed buffer; whatever does not fit is cut off.
class Line {
public:
    Line(char* out, std::size_t size) : out_(out), size_(size) { out_[0] = '\0'; }

    Line& Text(const char* text) {
        while (text != nullptr && *text != '\0') {
            Put(*text++);
        }
        return *this;
    }
    Line& Hex(std::uint64_t value) {
        char digits[16];
        std::size_t n = 0;
        do {
            digits[n++] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        while (n > 0) {
            Put(digits[--n]);
        }
        return *this;
    }
    Line& Decimal(std::uint64_t value, std::size_t minDigits) {
        char digits[20];
        std::size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (std::size_t i = n; i < minDigits; ++i) {
            Put('0');
        }
        while (n > 0) {
            Put(digits[--n]);
        }
        return *this;
    }
    [[nodiscard]] std::size_t Length() const { return length_; }

private:
    void Put(char c) {
        if (length_ + 1 < size_) {
            out_[length_++] = c;
            out_[length_] = '\0';
        }
    }

    char* out_;
    std::size_t size_;
    std::size_t length_ = 0;
};

void WriteToCrashFile(const char* text, std::size_t length, void*) noexcept {
    platform::WriteCrashReport(text, length);
}

// Runs on the faulting thread, on Linux inside the signal handler: fixed buffers and system calls only.
void ReportCrash(const platform::CrashFault& fault) noexcept {
    char line[300] = {};
    const char* name = fault.name != nullptr ? fault.name : ExceptionName(fault.code);
    const std::size_t length =
        FormatExceptionLine(line, sizeof(line), fault.code, name, fault.thread, fault.address);
    platform::WriteCrashReport(line, length);
    WriteStackFrames(fault.frames, fault.frameCount, true, &WriteToCrashFile, nullptr);
}

void AppendToString(const char* text, std::size_t length, void* context) noexcept {
    try {
        static_cast<std::string*>(context)->append(text, length);
    } catch (...) {
        // Out of memory: the dump ends short.
    }
}

// The last part of a path, for module names (either separator).
const char* BaseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

}  // namespace

const char* ExceptionName(std::uint32_t code) noexcept {
    std::size_t low = 0;
    std::size_t high = sizeof(kExceptionNames) / sizeof(kExceptionNames[0]);
    while (low < high) {
        const std::size_t mid = (low + high) / 2;
        if (kExceptionNames[mid].code < code) {
            low = mid + 1;
        } else {
            high = mid;
        }
    }
    if (low < sizeof(kExceptionNames) / sizeof(kExceptionNames[0]) && kExceptionNames[low].code == code) {
        return kExceptionNames[low].name;
    }
    return "UNKNOWN";
}

std::size_t FormatExceptionLine(char* out, std::size_t size, std::uint32_t code, const char* name,
                                std::uint64_t thread, std::uint64_t address) noexcept {
    if (out == nullptr || size == 0) {
        return 0;
    }
    Line line(out, size);
    line.Text("\tEXCEPTION code: 0x").Hex(code).Text(" ").Text(name).Text(" on thread ").Decimal(thread, 8);
    line.Text(" address: 0x").Hex(address).Text("\n");
    return line.Length();
}

void WriteStackFrames(void* const* frames, std::size_t count, bool faultFirst, StackTextSink sink,
                      void* context) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        const bool exact = faultFirst && i == 0;
        const void* lookup = exact ? frames[i] : static_cast<const char*>(frames[i]) - 1;
        platform::FrameSymbol symbol;
        char resolved[kMaxFrameName + 1];
        char name[kMaxFrameName + 1];
        const bool known = platform::ResolveFrame(lookup, symbol, resolved, sizeof(resolved));
        std::uint64_t address = reinterpret_cast<std::uintptr_t>(frames[i]);
        if (known && symbol.name != nullptr) {
            (void)DemangleSymbol(symbol.name, name, sizeof(name));
            address = symbol.symbolAddress;
        } else if (known && symbol.module != nullptr) {
            Line module(name, sizeof(name));
            module.Text(BaseName(symbol.module)).Text("+0x").Hex(symbol.moduleOffset);
        } else {
            std::memcpy(name, "unresolved", sizeof("unresolved"));
        }
        char text[1024];
        Line line(text, sizeof(text));
        line.Text("\t").Decimal(count - i - 1, 2).Text(" 0x").Hex(address).Text(" ").Text(name).Text("\n");
        sink(text, line.Length(), context);
    }
}

std::string ProcessDumper::CaptureStack() {
    void* frames[platform::kMaxCrashFrames];
    const std::size_t n = platform::CaptureStackAddresses(frames, platform::kMaxCrashFrames);
    std::string text;
    if (n > kDumperFrames) {
        WriteStackFrames(frames + kDumperFrames, n - kDumperFrames, false, &AppendToString, &text);
    }
    return text;
}

StackTraceLogger::StackTraceLogger(std::shared_ptr<CDebugLog> log) : log_(std::move(log)) {}

void StackTraceLogger::LogStackTrace() {
    if (!log_) {
        return;
    }
    const std::string text = dumper_.CaptureStack();
    log_->WriteRaw(text.c_str(), text.size());
}

void StackTraceLogger::InstallCrashHandler() {
    if (log_) {
        // The writer hands over each new file; register first, then take the file open now, so that a
        // file opened in between is not missed.
        CDebugLog* log = log_.get();
        log_->AddNewFileCallback([log] { (void)platform::SetCrashReportFile(log->FileNativeHandle()); });
        (void)platform::SetCrashReportFile(log_->FileNativeHandle());
    }
    if (const platform::SysResult result = platform::InstallCrashHandler(&ReportCrash); !result.ok()) {
        if (log_) {
            log_->Write(
                L"StackTraceLogger: the crash handler is not installed; the system refused it with "
                L"error " +
                std::to_wstring(result.code));
        }
    }
}
