#include "cli/tool_cli.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <ostream>

#include "common/signal_handler.h"

namespace ToolCli {

namespace {

std::atomic<int> g_interrupted{0};

class InterruptFlag final : public os::SignalHandler {
public:
    ~InterruptFlag() override { UnregisterAll(); }
    void OnSignal(int) noexcept override { g_interrupted.store(1); }
};

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

void CatchInterrupts() {
    // Registered once for the rest of the process.
    static InterruptFlag* const flag = [] {
        auto* handler = new InterruptFlag();
        const int signals[] = {2, 15};  // SIGINT, SIGTERM
        handler->Register(signals, 2);
        return handler;
    }();
    (void)flag;
}

bool InterruptRequested() {
    return g_interrupted.load() != 0;
}

}  // namespace ToolCli
