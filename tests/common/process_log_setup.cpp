// Every test of common_tests that reaches the process debug log finds it in a folder of its own.
#include "support_shim.h"

namespace {
const bool kProcessLogReady = (testing_support::ProcessLogTestFolder(), true);
}  // namespace
