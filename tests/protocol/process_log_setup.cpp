// Error reports of this test program (an unresolvable host name writes one) go to a folder of its own in
// the build tree. The folder is left in place: the log keeps its file open until the process ends, and
// an open file cannot be removed on Windows.
#include <filesystem>

#include "common/environment.h"

namespace {

const bool kProcessLogReady =
    UseProcessDebugLogFolder(std::filesystem::path(NORVANE_TEST_BINARY_DIR) / "protocol_tests.log");

}  // namespace
