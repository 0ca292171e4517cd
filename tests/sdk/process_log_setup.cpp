// The process log of sdk_tests goes to a folder of its own, removed at exit.
#include "common/log_test_support.h"

namespace {
const bool kProcessLogReady = (testing_support::ProcessLogTestFolder(), true);
}  // namespace
