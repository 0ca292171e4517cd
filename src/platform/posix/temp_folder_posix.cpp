#ifndef _WIN32

#include <cstdlib>
#include <string>

#include "platform/temp_folder.h"

namespace platform {

std::filesystem::path TempFolder() {
    // The same choice as the C library's tmpfile(): TMPDIR when it names a folder, otherwise /tmp.
    std::string folder;
    const char* env = std::getenv("TMPDIR");
    if (env != nullptr && env[0] == '/') {
        folder = env;
    } else {
        folder = "/tmp";
    }
    if (folder.back() != '/') {
        folder.push_back('/');
    }
    return folder;
}

}  // namespace platform

#endif  // !_WIN32
