#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/utf8.h"

namespace platform {
namespace {

SysResult Errno() noexcept {
    const int e = errno;
    return SysResult::Fail(e != 0 ? static_cast<SysErrorCode>(e) : static_cast<SysErrorCode>(EIO));
}

int OpenRetrying(const char* path, int flags, mode_t mode = 0) noexcept {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes all bytes; on failure `done` tells how many reached the file.
SysResult WriteAll(int fd, const void* data, std::size_t size, std::size_t& done) noexcept {
    const char* p = static_cast<const char*>(data);
    done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Errno();
        }
        if (n == 0) {
            return SysResult::Fail(EIO);
        }
        done += static_cast<std::size_t>(n);
    }
    return SysResult::Ok();
}

}  // namespace

File::~File() {
    Close();
}

File::File(File&& other) noexcept : fd_(other.fd_), writeLock_(std::move(other.writeLock_)) {
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = other.fd_;
        other.fd_ = -1;
        writeLock_ = std::move(other.writeLock_);
    }
    return *this;
}

SysResult File::Open(const std::filesystem::path& path, OpenMode mode, File& out) {
    out.Close();
    // O_APPEND for both modes: every write lands at the end, whichever thread makes it.
    int flags = O_WRONLY | O_CREAT | O_APPEND;
    if (mode == OpenMode::kCreateAlways) {
        flags |= O_TRUNC;
    }
    // O_NOFOLLOW: a link planted under the log file's name is not followed to another file. O_NONBLOCK:
    // a FIFO of that name fails at once (no reader) instead of waiting for one; it is cleared again below.
    const int fd = OpenRetrying(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0666);
    if (fd < 0) {
        return Errno();
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const SysResult failure = S_ISREG(st.st_mode) ? Errno() : SysResult::Fail(EINVAL);
        ::close(fd);
        return failure;
    }
    const int status = ::fcntl(fd, F_GETFL);
    if (status != -1) {
        (void)::fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
    }
    out.fd_ = fd;
    out.writeLock_ = std::make_unique<std::recursive_mutex>();
    return SysResult::Ok();
}

bool File::IsOpen() const noexcept {
    return fd_ >= 0;
}

SysResult File::Write(const void* data, std::size_t size, std::size_t* written) noexcept {
    std::size_t done = 0;
    SysResult result = SysResult::Fail(EBADF);
    if (fd_ >= 0) {
        std::lock_guard<std::recursive_mutex> lock(*writeLock_);
        result = WriteAll(fd_, data, size, done);
    }
    if (written != nullptr) {
        *written = done;
    }
    return result;
}

SysResult File::Flush() noexcept {
    if (fd_ < 0) {
        return SysResult::Fail(EBADF);
    }
    return ::fsync(fd_) == 0 ? SysResult::Ok() : Errno();
}

SysResult File::Size(std::uint64_t& size) const noexcept {
    struct stat st {};
    if (fd_ < 0) {
        return SysResult::Fail(EBADF);
    }
    if (::fstat(fd_, &st) != 0) {
        return Errno();
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return SysResult::Ok();
}

SysResult File::Close() noexcept {
    if (fd_ < 0) {
        return SysResult::Ok();
    }
    const int fd = fd_;
    fd_ = -1;
    // close() releases the descriptor even when it reports EINTR; retrying could close a stranger's.
    return ::close(fd) == 0 || errno == EINTR ? SysResult::Ok() : Errno();
}

SysResult ReadWholeFile(const std::filesystem::path& path, std::string& bytes) {
    bytes.clear();
    const int fd = OpenRetrying(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return Errno();
    }
    SysResult result;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        result = SysResult::Fail(EISDIR);
    } else {
        if (st.st_size > 0) {
            bytes.reserve(static_cast<std::size_t>(st.st_size));
        }
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                result = Errno();
                break;
            }
            if (n == 0) {
                break;
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    if (!result) {
        bytes.clear();
    }
    return result;
}

SysResult ReadSettingsFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& bytes,
                           std::string& why) {
    bytes.clear();
    why.clear();
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, for ever.
    const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        const SysResult failure = Errno();
        why = "cannot be opened: " + FailureText(failure);
        return failure;
    }
    SysResult result;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        result = Errno();
        why = "cannot be examined: " + FailureText(result);
    } else if (!S_ISREG(st.st_mode)) {
        result = SysResult::Fail(EINVAL);
        why = "is not a regular file (a folder, FIFO, socket or device); it is not read";
    } else if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        result = SysResult::Fail(EFBIG);
        why = "holds " + std::to_string(st.st_size) + " bytes, more than the " + std::to_string(maxBytes) +
              " a settings file may hold";
    } else {
        // One byte more than allowed is asked for: a file that grew since fstat is seen to be too large.
        bytes.resize(maxBytes + 1);
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                result = Errno();
                why = "cannot be read: " + FailureText(result);
                break;
            }
            if (n == 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        bytes.resize(done);
        if (result && done > maxBytes) {
            result = SysResult::Fail(EFBIG);
            why = "grew beyond the " + std::to_string(maxBytes) + " bytes a settings file may hold";
        }
    }
    ::close(fd);
    if (!result) {
        bytes.clear();
    }
    return result;
}

bool IsNotFound(SysResult result) noexcept {
    return result.code == ENOENT;
}

SysResult WriteWholeFile(const std::filesystem::path& path, std::string_view bytes) {
    File file;
    SysResult result = File::Open(path, OpenMode::kCreateAlways, file);
    if (!result) {
        return result;
    }
    result = file.Write(bytes);
    const SysResult closed = file.Close();
    return result ? closed : result;
}

SysResult MakeDirectory(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0777) == 0) {
        return SysResult::Ok();
    }
    const SysResult failure = Errno();
    if (failure.code == EEXIST) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return SysResult::Ok();
        }
    }
    return failure;
}

SysResult RemoveFile(const std::filesystem::path& path) {
    return ::unlink(path.c_str()) == 0 ? SysResult::Ok() : Errno();
}

SysResult FileSize(const std::filesystem::path& path, std::uint64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return Errno();
    }
    if (S_ISDIR(st.st_mode)) {
        return SysResult::Fail(EISDIR);
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return SysResult::Ok();
}

bool FileExists(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

SysResult ListFiles(const std::filesystem::path& folder, std::vector<FileEntry>& files,
                    std::wstring_view filter) {
    files.clear();
    // The folder itself is not followed either when it is a link.
    const int folderFd = OpenRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (folderFd < 0) {
        return Errno();
    }
    DIR* dir = ::fdopendir(folderFd);
    if (dir == nullptr) {
        const SysResult failure = Errno();
        ::close(folderFd);
        return failure;
    }
    const bool everything = filter.empty() || filter == L"*";
    SysResult result;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                result = Errno();
            }
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (!everything && !WildcardMatch(filter, Utf8ToWide(name))) {
            continue;
        }
        struct stat st {};
        // A link is not followed and not listed: the clean-up deletes what it lists, and a link planted in
        // the log folder must not make another file count (or be taken for a log file). Vanished entries
        // are skipped.
        if (::fstatat(::dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        files.push_back(FileEntry{name, static_cast<std::uint64_t>(st.st_size)});
    }
    ::closedir(dir);
    if (!result) {
        files.clear();
    }
    return result;
}

SysResult SetFileCompression(const std::filesystem::path&, bool) {
    return SysResult::Ok();
}

}  // namespace platform

#endif  // !_WIN32
