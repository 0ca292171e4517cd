// The debug log of this test program (the SDK's lines and kxctl's failure lines) goes to a folder of its
// own in the build tree. The folder is left in place: the log keeps its file open until the process ends.
#include <filesystem>

#include "common/environment.h"

namespace {

const bool kProcessLogReady =
    UseProcessDebugLogFolder(std::filesystem::path(NORVANE_TEST_BINARY_DIR) / "kxctl_tests.log");

}  // namespace
