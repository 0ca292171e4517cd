// The platform tests' temporary folder is the shared one of tests/support.
#pragma once

#include "support/temp_folder.h"

namespace testing_support {
using TempDir = TempFolder;
}  // namespace testing_support
