// The debug log of this test program (error reports of sockets and sessions, slow-lock reports) goes to a
// folder of its own, removed at exit.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "common/environment.h"

namespace {

std::filesystem::path* g_logFolder = nullptr;

bool SetUpProcessLog() {
    std::random_device rd;
    g_logFolder =
        new std::filesystem::path(std::filesystem::temp_directory_path() /
                                  ("norvane-net-log-" + std::to_string(rd()) + std::to_string(rd())));
    UseProcessDebugLogFolder(*g_logFolder);
    std::atexit([] {
        if (ProcessEnvironmentExists()) {
            if (std::shared_ptr<IDebugLog> log = GetProcessDebugLog()) {
                log->Flush(std::chrono::milliseconds(2000));
            }
        }
        std::error_code ec;
        std::filesystem::remove_all(*g_logFolder, ec);
    });
    return true;
}

const bool kProcessLogReady = SetUpProcessLog();

}  // namespace
