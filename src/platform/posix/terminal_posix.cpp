#ifndef _WIN32

#include <unistd.h>

#include "platform/terminal.h"

namespace platform {

namespace {

int Descriptor(StdStream stream) noexcept {
    switch (stream) {
        case StdStream::kInput:
            return STDIN_FILENO;
        case StdStream::kOutput:
            return STDOUT_FILENO;
        case StdStream::kError:
            break;
    }
    return STDERR_FILENO;
}

}  // namespace

bool IsTerminal(StdStream stream) noexcept {
    return ::isatty(Descriptor(stream)) == 1;
}

bool EnableTerminalSequences(StdStream stream) noexcept {
    // Terminals here interpret the sequences without being asked; input prints nothing.
    return stream != StdStream::kInput && IsTerminal(stream);
}

bool UseUtf8Output() noexcept {
    return true;
}

}  // namespace platform

#endif  // !_WIN32
