// kxctl: the command-line tool for Kx410 FM tuners. See kxctl_lib.h for the commands and exit codes.

#include <filesystem>
#include <iostream>
#include <string>

#include "common/environment.h"
#include "kxctl/kxctl_lib.h"
#include "platform/temp_folder.h"
#include "platform/terminal.h"

int main(int argc, char** argv) {
    Kxctl::Settings settings;
    const Kxctl::ParseOutcome parsed = Kxctl::ParseCommandLine(argc, argv, settings, std::cout, std::cerr);
    if (!parsed.run) {
        return parsed.exit_code;
    }

    // The debug log and its settings file live in a folder of their own, not next to the executable: by
    // default one inside the user's own temporary folder, where no other local user can plant a settings
    // file or a link. When that folder is not safe to use, kxctl says why and stops.
    std::filesystem::path log_folder = settings.log_folder;
    if (log_folder.empty()) {
        std::string why;
        if (!platform::UserTempFolder(log_folder, why).ok()) {
            std::cerr << "kxctl: cannot keep the debug log in the user's temporary folder: " << why
                      << "; name another folder with --log-folder\n";
            return Kxctl::kExitFailed;
        }
        log_folder /= "norvane-kxctl";
    }
    UseProcessDebugLogFolder(log_folder);

    (void)platform::UseUtf8Output();
    Kxctl::CatchInterrupts();

    Kxctl::Console console{std::cout, std::cerr};
    console.err_is_terminal = platform::IsTerminal(platform::StdStream::kError);
    console.out_redraw = !settings.json && platform::EnableTerminalSequences(platform::StdStream::kOutput);
    console.out_is_terminal = platform::IsTerminal(platform::StdStream::kOutput);
    console.interrupted = Kxctl::InterruptRequested;
    return Kxctl::Run(settings, console);
}
