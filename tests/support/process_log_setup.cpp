// Before any test logs, the process debug log is sent to a folder of this test program's own.
#include "process_log.h"

namespace {
const bool kProcessLogReady = (testing_support::ProcessLogTestFolder(), true);
}  // namespace
