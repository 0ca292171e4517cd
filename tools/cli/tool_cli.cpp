#include "cli/tool_cli.h"

#include <CLI/CLI.hpp>

#include <ostream>

namespace ToolCli {

namespace {

std::string UsageText(const std::string& tool, const std::string& message) {
    return tool + ": " + message + "\nRun with --help for more information.\n";
}

}  // namespace

std::optional<int> Parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
                         std::ostream& err) {
    app.failure_message(
        [](const CLI::App* failed, const CLI::Error& e) { return UsageText(failed->get_name(), e.what()); });
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        (void)app.exit(e, out, err);
        return kExitUsage;
    }
    return std::nullopt;
}

int UsageError(std::ostream& err, const std::string& tool, const std::string& message) {
    err << UsageText(tool, message) << std::flush;
    return kExitUsage;
}

int Failure(std::ostream& err, const std::string& tool, const std::string& reason,
            const std::optional<std::string>& log_path) {
    err << tool << ": " << reason;
    if (log_path) {
        err << " (debug log: " << *log_path << ")";
    }
    err << std::endl;
    return kExitFailed;
}

}  // namespace ToolCli
