#ifdef _WIN32

#include <windows.h>

#include "platform/terminal.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace platform {

namespace {

HANDLE Handle(StdStream stream) noexcept {
    switch (stream) {
        case StdStream::kInput:
            return ::GetStdHandle(STD_INPUT_HANDLE);
        case StdStream::kOutput:
            return ::GetStdHandle(STD_OUTPUT_HANDLE);
        case StdStream::kError:
            break;
    }
    return ::GetStdHandle(STD_ERROR_HANDLE);
}

}  // namespace

bool IsTerminal(StdStream stream) noexcept {
    // A console answers GetConsoleMode; files and pipes do not.
    const HANDLE h = Handle(stream);
    DWORD mode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

bool EnableTerminalSequences(StdStream stream) noexcept {
    if (stream == StdStream::kInput) {
        return false;
    }
    const HANDLE h = Handle(stream);
    DWORD mode = 0;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || ::GetConsoleMode(h, &mode) == 0) {
        return false;
    }
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) {
        return true;
    }
    // Consoles older than Windows 10 refuse the mode.
    return ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool UseUtf8Output() noexcept {
    return ::SetConsoleOutputCP(CP_UTF8) != 0;
}

}  // namespace platform

#endif  // _WIN32
