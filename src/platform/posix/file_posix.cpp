#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
    const int fd = OpenRetrying(path.c_str(), flags, 0666);
    if (fd < 0) {
        return Errno();
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
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return Errno();
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
        // Follows links, as the Windows listing reports the target's size; vanished entries are skipped.
        if (::fstatat(::dirfd(dir), name, &st, 0) != 0 || !S_ISREG(st.st_mode)) {
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
