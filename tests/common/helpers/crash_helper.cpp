// A program that faults on purpose, for the crash-report test: crash_helper <log folder> null|divide. It
// keeps its debug log in the folder with stack dumps on, tells on standard output whether the crash
// handler is in place, and writes through a null pointer or divides an integer by zero. It returns 0
// only when it survives that.
#include <cstdio>
#include <string>

#include "common/environment.h"
#include "platform/crash.h"
#include "platform/file.h"
#include "platform/module_path.h"

namespace crash_helper {

// Exported (the program is linked with its symbols visible) and never inlined, so that the report can
// name it.
[[gnu::noinline]] int WriteThroughNull(volatile int* target) {
    *target = 42;
    return *target;
}

[[gnu::noinline]] int DivideByZero(const volatile int* divisor) {
    return 42 / *divisor;
}

}  // namespace crash_helper

int main(int argc, char** argv) {
    const std::string fault = argc == 3 ? argv[2] : "";
    if (fault != "null" && fault != "divide") {
        std::fputs("usage: crash_helper <log folder> null|divide\n", stderr);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::path settings = folder / platform::OwnModulePath().filename();
    settings += ".log_settings.json";
    std::filesystem::create_directories(folder);
    if (!platform::WriteWholeFile(settings, "{\"StackDumpInDebug\": true}").ok() ||
        !UseProcessDebugLogFolder(folder)) {
        return 2;
    }
    const std::shared_ptr<IDebugLog> log = GetProcessDebugLog();
    log->Write(L"crash helper: about to fault");
    (void)log->Flush(std::chrono::seconds(10));
    std::printf("crash handler installed: %s\n", platform::CrashHandlerInstalled() ? "yes" : "no");
    std::fflush(stdout);
    volatile int* nowhere = nullptr;
    const volatile int zero = 0;
    const int result =
        fault == "null" ? crash_helper::WriteThroughNull(nowhere) : crash_helper::DivideByZero(&zero);
    return result == 42 ? 0 : 1;
}
