#include "common/debug_log.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <vector>

#include "platform/utf8.h"

namespace {

// Length of a narrow text up to its first zero byte, at most `length`.
std::size_t BoundedLength(const char* text, std::size_t length) {
    const void* zero = std::memchr(text, 0, length);
    return zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - text) : length;
}

}  // namespace

bool IDebugLog::IsLogEnabled(std::wstring_view) {
    return false;
}

int IDebugLog::GetLogStreamState(std::wstring_view) {
    return kLogStreamNotSet;
}

bool IDebugLog::SetLogStreamState(std::wstring_view, bool) {
    return false;
}

bool IDebugLog::IsStackDumpInDebug() const {
    return false;
}

void IDebugLog::WriteId(std::wstring_view id, std::wstring_view subId, std::wstring_view message) {
    std::wstring line;
    line.reserve(id.size() + subId.size() + message.size() + 20);
    line.append(L"ID=").append(id).append(L" SUB_ID=").append(subId).append(L" MSG=").append(message);
    Write(line);
}

void IDebugLog::Write(const std::string& text) {
    Write(Utf8ToWide(text));
}

void IDebugLog::Write(const char* text, std::size_t length) {
    if (text != nullptr) {
        Write(Utf8ToWide(std::string_view(text, BoundedLength(text, length))));
    }
}

void IDebugLog::Write(const char* text) {
    if (text != nullptr) {
        Write(Utf8ToWide(text));
    }
}

void IDebugLog::Write(const std::wstring& text) {
    Write(text.data(), text.size());
}

void IDebugLog::Write(const wchar_t* text) {
    if (text != nullptr) {
        Write(text, std::wcslen(text));
    }
}

void IDebugLog::WriteRaw(const char* text) {
    if (text != nullptr) {
        WriteRaw(text, std::strlen(text));
    }
}

void IDebugLog::AddNewFileCallback(std::function<void()>) {}

std::wstring IDebugLog::RequestNewFile() {
    return {};
}

std::wstring IDebugLog::GetFilePath() {
    return {};
}

bool IDebugLog::Flush(std::chrono::milliseconds) {
    return true;
}

void WriteAtLevel(const std::shared_ptr<IDebugLog>& log, std::uint32_t level, const std::wstring& text) {
    if (log && log->GetLoggingLevel() >= level) {
        log->Write(text);
    }
}

std::wstring FormatLine(const wchar_t* format, ...) {
    if (format == nullptr) {
        return {};
    }
    // Most lines fit the stack buffer. When one does not, C libraries differ: some return -1, others
    // the length the text would have needed. Retry with a heap buffer of that length, or growing, up to
    // a generous size (a bad format also gives -1 on every size).
    wchar_t local[512];
    std::va_list args;
    va_start(args, format);
    int n = std::vswprintf(local, sizeof(local) / sizeof(local[0]), format, args);
    va_end(args);
    if (n >= 0 && static_cast<std::size_t>(n) < sizeof(local) / sizeof(local[0])) {
        return std::wstring(local, static_cast<std::size_t>(n));
    }
    std::size_t size = n > 0 ? static_cast<std::size_t>(n) + 1 : 4096;
    while (size <= (std::size_t{1} << 22)) {
        std::vector<wchar_t> buffer(size);
        va_start(args, format);
        n = std::vswprintf(buffer.data(), buffer.size(), format, args);
        va_end(args);
        if (n >= 0 && static_cast<std::size_t>(n) < buffer.size()) {
            return std::wstring(buffer.data(), static_cast<std::size_t>(n));
        }
        size = (n >= 0 && static_cast<std::size_t>(n) >= size) ? static_cast<std::size_t>(n) + 1 : size * 4;
    }
    return {};
}
