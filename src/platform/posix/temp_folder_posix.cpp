#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/file.h"
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

SysResult PrivateFolder(const std::filesystem::path& parent, const std::string& folderName,
                        std::filesystem::path& folder, std::string& why) {
    folder.clear();
    why.clear();
    const std::filesystem::path path = parent / folderName;
    const std::string name = path.string() + " ";  // messages start with the folder
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        const SysResult failure = SysResult::Fail(static_cast<SysErrorCode>(errno));
        why = name + "cannot be created: " + FailureText(failure);
        return failure;
    }
    // Examined through a descriptor opened without following a link, so that what is checked is what
    // is used: a folder another user made (or a link to one) would let that user swap our files.
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0) {
        const SysResult failure = SysResult::Fail(static_cast<SysErrorCode>(errno));
        why = name + (failure.code == ELOOP || failure.code == ENOTDIR
                          ? "is a link or not a folder"
                          : "cannot be opened: " + FailureText(failure));
        return failure;
    }
    const bool examined = ::fstat(fd, &st) == 0;
    ::close(fd);
    const uid_t user = ::geteuid();
    if (!examined) {
        why = name + "cannot be examined";
        return SysResult::Fail(EIO);
    }
    if (st.st_uid != user) {
        why = name + "belongs to user " + std::to_string(st.st_uid) + ", not to user " + std::to_string(user);
        return SysResult::Fail(EPERM);
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        why = name + "is open to other users (mode " + std::string(mode) + ", 0700 needed)";
        return SysResult::Fail(EPERM);
    }
    folder = path;
    return SysResult::Ok();
}

SysResult UserTempFolder(std::filesystem::path& folder, std::string& why) {
    return PrivateFolder(TempFolder(), "norvane-" + std::to_string(::geteuid()), folder, why);
}

}  // namespace platform

#endif  // !_WIN32
