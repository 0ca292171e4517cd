// What the command-line tools share: reading the command line, reporting how a run ended in one style,
// and ending on Ctrl-C. A tool ends with
//   0  success (also after --help);
//   1  the operation failed: one line "<tool>: <reason>" on standard error, naming the debug log file
//      when the tool keeps one;
//   2  a usage or settings error: "<tool>: <message>" and a pointer to --help.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

namespace CLI {
class App;
}

namespace ToolCli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Parses the command line into the options of `app` (named after its tool). Returns the exit code when
// the tool is to end at once: kExitOk after --help (printed on `out`), kExitUsage after a usage error.
std::optional<int> Parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
                         std::ostream& err);

// "<tool>: <message>" and the pointer to --help on `err`; returns kExitUsage.
int UsageError(std::ostream& err, const std::string& tool, const std::string& message);

// "<tool>: <reason>" on `err`, with " (debug log: <path>)" when `log_path` is given; returns kExitFailed.
int Failure(std::ostream& err, const std::string& tool, const std::string& reason,
            const std::optional<std::string>& log_path = std::nullopt);

// Makes SIGINT and SIGTERM (Ctrl-C, a polite kill; Ctrl+Break on Windows) set a flag and nothing else,
// through the process's signal handlers, for the rest of the process; InterruptRequested reads it.
void CatchInterrupts();
[[nodiscard]] bool InterruptRequested();

}  // namespace ToolCli
