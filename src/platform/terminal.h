// The standard streams as terminals: whether one is a terminal, whether cursor and erase control
// sequences ("\x1b[2K", "\x1b[H", ...) written to it take effect, and UTF-8 output.
#pragma once

namespace platform {

enum class StdStream { kInput, kOutput, kError };

// True when the stream is an interactive terminal (isatty; a console handle on Windows), false when it
// is redirected to a file or a pipe or is closed.
[[nodiscard]] bool IsTerminal(StdStream stream) noexcept;

// Makes the terminal of `stream` interpret control sequences where the system needs to be asked (the
// console's virtual terminal mode on Windows); true when it does. False for the input stream, for a
// stream that is not a terminal, and on a console that cannot do it.
[[nodiscard]] bool EnableTerminalSequences(StdStream stream) noexcept;

// Makes the console show the program's output bytes as UTF-8 (the console's output code page on
// Windows; terminals here take the locale's encoding, which is UTF-8 as a rule). True when it does.
bool UseUtf8Output() noexcept;

}  // namespace platform
