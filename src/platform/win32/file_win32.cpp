#ifdef _WIN32

#include <windows.h>
#include <winioctl.h>

#include <string>

#include "platform/file.h"

namespace platform {
namespace {

SysResult LastError() noexcept {
    const DWORD error = ::GetLastError();
    return SysResult::Fail(error != 0 ? static_cast<SysErrorCode>(error)
                                      : static_cast<SysErrorCode>(ERROR_GEN_FAILURE));
}

HANDLE AsHandle(void* h) noexcept {
    return static_cast<HANDLE>(h);
}

// Readers, writers and deleters of our files are all welcome: the log's own clean-up and a user's viewer
// must never be locked out by an open log file.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

File::~File() {
    Close();
}

File::File(File&& other) noexcept : handle_(other.handle_), writeLock_(std::move(other.writeLock_)) {
    other.handle_ = nullptr;
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        other.handle_ = nullptr;
        writeLock_ = std::move(other.writeLock_);
    }
    return *this;
}

SysResult File::Open(const std::filesystem::path& path, OpenMode mode, File& out) {
    out.Close();
    // A link (reparse point) planted under the file's name is not followed to another file.
    const DWORD existing = ::GetFileAttributesW(path.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES &&
        (existing & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return SysResult::Fail(ERROR_CANT_ACCESS_FILE);
    }
    if (mode == OpenMode::kCreateAlways) {
        // Replacing needs write access to the data; the handle we keep has append access only.
        const HANDLE fresh =
            ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (fresh == INVALID_HANDLE_VALUE) {
            return LastError();
        }
        ::CloseHandle(fresh);
    }
    // Append access without write access: the system puts every write at the end of the file, also the
    // writes of other processes that append to it.
    const HANDLE h = ::CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return LastError();
    }
    // A link made between the check above and the open is opened itself (FILE_FLAG_OPEN_REPARSE_POINT),
    // and refused here; so is anything that is not a file on a disk (a pipe, a device).
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(h) != FILE_TYPE_DISK || ::GetFileInformationByHandle(h, &info) == 0 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        ::CloseHandle(h);
        return SysResult::Fail(ERROR_CANT_ACCESS_FILE);
    }
    out.handle_ = h;
    out.writeLock_ = std::make_unique<std::recursive_mutex>();
    return SysResult::Ok();
}

bool File::IsOpen() const noexcept {
    return handle_ != nullptr;
}

SysResult File::Write(const void* data, std::size_t size, std::size_t* written) noexcept {
    std::size_t done = 0;
    SysResult result;
    std::unique_lock<std::recursive_mutex> lock;
    if (handle_ == nullptr) {
        result = SysResult::Fail(ERROR_INVALID_HANDLE);
    } else {
        lock = std::unique_lock<std::recursive_mutex>(*writeLock_);
    }
    const char* p = static_cast<const char*>(data);
    while (result && done < size) {
        const std::size_t rest = size - done;
        const DWORD chunk = rest > 0x40000000u ? 0x40000000u : static_cast<DWORD>(rest);
        DWORD n = 0;
        if (::WriteFile(AsHandle(handle_), p + done, chunk, &n, nullptr) == 0) {
            result = LastError();
            break;
        }
        if (n == 0) {
            result = SysResult::Fail(ERROR_WRITE_FAULT);
            break;
        }
        done += n;
    }
    if (written != nullptr) {
        *written = done;
    }
    return result;
}

SysResult File::Flush() noexcept {
    if (handle_ == nullptr) {
        return SysResult::Fail(ERROR_INVALID_HANDLE);
    }
    return ::FlushFileBuffers(AsHandle(handle_)) != 0 ? SysResult::Ok() : LastError();
}

SysResult File::Size(std::uint64_t& size) const noexcept {
    if (handle_ == nullptr) {
        return SysResult::Fail(ERROR_INVALID_HANDLE);
    }
    LARGE_INTEGER value;
    if (::GetFileSizeEx(AsHandle(handle_), &value) == 0) {
        return LastError();
    }
    size = static_cast<std::uint64_t>(value.QuadPart);
    return SysResult::Ok();
}

SysResult File::Close() noexcept {
    if (handle_ == nullptr) {
        return SysResult::Ok();
    }
    const HANDLE h = AsHandle(handle_);
    handle_ = nullptr;
    return ::CloseHandle(h) != 0 ? SysResult::Ok() : LastError();
}

SysResult ReadWholeFile(const std::filesystem::path& path, std::string& bytes) {
    bytes.clear();
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return LastError();
    }
    SysResult result;
    LARGE_INTEGER size;
    if (::GetFileSizeEx(h, &size) != 0 && size.QuadPart > 0) {
        bytes.reserve(static_cast<std::size_t>(size.QuadPart));
    }
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (::ReadFile(h, buffer, sizeof buffer, &n, nullptr) == 0) {
            result = LastError();
            break;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, n);
    }
    ::CloseHandle(h);
    if (!result) {
        bytes.clear();
    }
    return result;
}

SysResult ReadSettingsFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& bytes,
                           std::string& why) {
    bytes.clear();
    why.clear();
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const SysResult failure = LastError();
        why = "cannot be opened: " + FailureText(failure);
        return failure;
    }
    SysResult result;
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER size;
    if (::GetFileType(h) != FILE_TYPE_DISK || ::GetFileInformationByHandle(h, &info) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        result = SysResult::Fail(ERROR_BAD_FILE_TYPE);
        why = "is not a regular file (a folder, pipe or device); it is not read";
    } else if (::GetFileSizeEx(h, &size) == 0) {
        result = LastError();
        why = "cannot be examined: " + FailureText(result);
    } else if (static_cast<std::uint64_t>(size.QuadPart) > maxBytes) {
        result = SysResult::Fail(ERROR_FILE_TOO_LARGE);
        why = "holds " + std::to_string(size.QuadPart) + " bytes, more than the " + std::to_string(maxBytes) +
              " a settings file may hold";
    } else {
        // One byte more than allowed is asked for: a file that grew since is seen to be too large.
        bytes.resize(maxBytes + 1);
        std::size_t done = 0;
        while (done < bytes.size()) {
            DWORD n = 0;
            const std::size_t rest = bytes.size() - done;
            const DWORD chunk = rest > 0x10000000u ? 0x10000000u : static_cast<DWORD>(rest);
            if (::ReadFile(h, bytes.data() + done, chunk, &n, nullptr) == 0) {
                result = LastError();
                why = "cannot be read: " + FailureText(result);
                break;
            }
            if (n == 0) {
                break;
            }
            done += n;
        }
        bytes.resize(done);
        if (result && done > maxBytes) {
            result = SysResult::Fail(ERROR_FILE_TOO_LARGE);
            why = "grew beyond the " + std::to_string(maxBytes) + " bytes a settings file may hold";
        }
    }
    ::CloseHandle(h);
    if (!result) {
        bytes.clear();
    }
    return result;
}

bool IsNotFound(SysResult result) noexcept {
    return result.code == ERROR_FILE_NOT_FOUND || result.code == ERROR_PATH_NOT_FOUND;
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
    if (::CreateDirectoryW(path.c_str(), nullptr) != 0) {
        return SysResult::Ok();
    }
    const SysResult failure = LastError();
    if (failure.code == ERROR_ALREADY_EXISTS && DirectoryExists(path)) {
        return SysResult::Ok();
    }
    return failure;
}

SysResult RemoveFile(const std::filesystem::path& path) {
    return ::DeleteFileW(path.c_str()) != 0 ? SysResult::Ok() : LastError();
}

SysResult FileSize(const std::filesystem::path& path, std::uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) == 0) {
        return LastError();
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return SysResult::Fail(ERROR_ACCESS_DENIED);
    }
    size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return SysResult::Ok();
}

bool FileExists(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

SysResult ListFiles(const std::filesystem::path& folder, std::vector<FileEntry>& files,
                    std::wstring_view filter) {
    files.clear();
    // A folder that is a link (junction, symbolic link) is not followed.
    const DWORD folderAttributes = ::GetFileAttributesW(folder.c_str());
    if (folderAttributes != INVALID_FILE_ATTRIBUTES &&
        (folderAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return SysResult::Fail(ERROR_CANT_ACCESS_FILE);
    }
    // The system's own wildcards also match the short 8.3 names; we list everything and filter ourselves so
    // that both platforms agree.
    const std::filesystem::path query = folder / L"*";
    WIN32_FIND_DATAW data;
    const HANDLE find = ::FindFirstFileW(query.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        const SysResult failure = LastError();
        return failure.code == ERROR_FILE_NOT_FOUND ? SysResult::Ok() : failure;
    }
    const bool everything = filter.empty() || filter == L"*";
    SysResult result;
    do {
        // Links (reparse points) are not listed: the clean-up deletes what it lists.
        if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
            continue;
        }
        if (!everything && !WildcardMatch(filter, data.cFileName)) {
            continue;
        }
        files.push_back(
            FileEntry{std::filesystem::path(data.cFileName),
                      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    } while (::FindNextFileW(find, &data) != 0);
    const SysResult last = LastError();
    if (last.code != ERROR_NO_MORE_FILES) {
        result = last;
        files.clear();
    }
    ::FindClose(find);
    return result;
}

SysResult SetFileCompression(const std::filesystem::path& path, bool compressed) {
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return LastError();
    }
    USHORT format = compressed ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
    DWORD returned = 0;
    const BOOL ok =
        ::DeviceIoControl(h, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned, nullptr);
    const SysResult result = ok != 0 ? SysResult::Ok() : LastError();
    ::CloseHandle(h);
    return result;
}

}  // namespace platform

#endif  // _WIN32
