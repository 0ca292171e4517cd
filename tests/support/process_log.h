// The process debug log of a test program lives in a folder of the program's own, removed at exit.
// process_log_setup.cpp (added to every test program that links the common layer) sets it up before
// main; a test that reads the log's files asks for the folder here.
#pragma once

#include <cstdlib>
#include <filesystem>

#include "common/environment.h"
#include "temp_folder.h"

namespace testing_support {

inline const std::filesystem::path& ProcessLogTestFolder() {
    static const std::filesystem::path folder = [] {
        std::filesystem::path p = UniqueTempPath("proclog");
        UseProcessDebugLogFolder(p);
        static std::filesystem::path* atExitFolder = new std::filesystem::path(p);
        // Registered before the environment exists, so this runs after the environment's own exit hook
        // has written out the records still queued.
        std::atexit([] { RemoveTree(*atExitFolder); });
        return p;
    }();
    return folder;
}

}  // namespace testing_support
