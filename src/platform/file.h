// Files and folders: the operations the debug log and the settings file need.
//
// Paths are std::filesystem::path (wide on Windows, bytes on POSIX). Every operation reports failure as
// the native code in a SysResult; none throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sys_error.h"

namespace platform {

// How File::Open treats an existing file.
enum class OpenMode {
    kCreateAlways,  // create the file, replacing (truncating) one of the same name
    kAppend,        // open the file or create it; writes go to its end
};

// A file opened for writing; others may read it (and delete it) while it is open. Every write goes to
// the end of the file, and the bytes of one Write stay together: writes from several threads through one
// File never overwrite or split each other. Opening, moving and closing are not synchronised with
// writes. Move-only; the destructor closes the file.
class File {
public:
    File() noexcept = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens `path` for writing. Only a regular file is opened: a link in the last component of the path is
    // not followed (a planted link cannot redirect the log's writes), and a FIFO or device is refused at
    // once instead of being waited on. On failure `out` is left closed.
    static SysResult Open(const std::filesystem::path& path, OpenMode mode, File& out);

    [[nodiscard]] bool IsOpen() const noexcept;

    // The system's descriptor (POSIX) or HANDLE (Windows) of the open file, for the crash report
    // (SetCrashReportFile in crash.h); -1 when closed.
    [[nodiscard]] std::intptr_t NativeHandle() const noexcept {
#ifdef _WIN32
        return handle_ != nullptr ? reinterpret_cast<std::intptr_t>(handle_) : -1;
#else
        return fd_;
#endif
    }

    // Writes all `size` bytes at the end of the file. `written` (optional) receives the bytes that
    // reached the file, also on failure.
    SysResult Write(const void* data, std::size_t size, std::size_t* written = nullptr) noexcept;
    SysResult Write(std::string_view bytes, std::size_t* written = nullptr) noexcept {
        return Write(bytes.data(), bytes.size(), written);
    }

    // Pushes the written data to the device (FlushFileBuffers / fsync).
    SysResult Flush() noexcept;

    // Current length of the file in bytes.
    SysResult Size(std::uint64_t& size) const noexcept;

    // Closes the file; closing a closed File is ok.
    SysResult Close() noexcept;

private:
#ifdef _WIN32
    void* handle_ = nullptr;  // HANDLE; nullptr when closed
#else
    int fd_ = -1;
#endif
    // Serialises the writes of this process. The system's append mode alone does not suffice: a short
    // write is continued by a second call, and Wine's append handles are not atomic. Recursive, so that a
    // crash report written from a thread that failed inside Write does not deadlock.
    std::unique_ptr<std::recursive_mutex> writeLock_;
};

// Reads the whole file into `bytes` (replacing its content). On failure `bytes` is empty.
SysResult ReadWholeFile(const std::filesystem::path& path, std::string& bytes);

// The most bytes a settings file (the debug log's, the simulator's) may hold.
inline constexpr std::size_t kMaxSettingsFileBytes = 64 * 1024;

// Reads a settings file that someone else may have planted: only a regular file of at most `maxBytes`
// bytes is read. It is opened without waiting, so a FIFO or device is refused at once rather than read;
// a folder, a larger file or a file that grows beyond the limit while it is read is refused as well. On
// failure `bytes` is empty and `why` says in English what is wrong with the file (without its path).
SysResult ReadSettingsFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& bytes,
                           std::string& why);

// The failure as message text: the system's text, without its line break, and the native number, as in
// "No such file or directory (error 2)".
[[nodiscard]] std::string FailureText(SysResult result);

// True for the failure of a file that does not exist (ENOENT; ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND).
[[nodiscard]] bool IsNotFound(SysResult result) noexcept;

// Creates (or replaces) the file and writes `bytes` into it.
SysResult WriteWholeFile(const std::filesystem::path& path, std::string_view bytes);

// Creates one directory level (CreateDirectoryW / mkdir). An existing directory is no error; an existing file
// of that name is.
SysResult MakeDirectory(const std::filesystem::path& path);

// Deletes a file, not a directory (DeleteFileW / unlink). A link is deleted itself, never its target.
SysResult RemoveFile(const std::filesystem::path& path);

// The length of a file in bytes.
SysResult FileSize(const std::filesystem::path& path, std::uint64_t& size);

// True when `path` names an existing regular file / directory.
[[nodiscard]] bool FileExists(const std::filesystem::path& path);
[[nodiscard]] bool DirectoryExists(const std::filesystem::path& path);

// One entry of a folder listing.
struct FileEntry {
    std::filesystem::path name;  // the file name only, without the folder
    std::uint64_t size = 0;      // bytes
};

// Lists the regular files directly in `folder` (not sub-folders, not links or reparse points, not other
// kinds of file) whose
// names match `filter`, in no particular order. The filter is a wildcard pattern: "*" matches any run of
// characters, "?" any one character, and letters compare without regard to ASCII case (as the Windows
// file system does) on every platform. An empty filter or "*" lists every file.
SysResult ListFiles(const std::filesystem::path& folder, std::vector<FileEntry>& files,
                    std::wstring_view filter = L"*");

// True when `name` matches the wildcard `pattern` as ListFiles matches it.
[[nodiscard]] bool WildcardMatch(std::wstring_view pattern, std::wstring_view name) noexcept;

// Switches the file system's compression of a file on or off (FSCTL_SET_COMPRESSION on Windows, where
// it fails on file systems without compression). POSIX file systems have no such switch: ok, nothing
// happens.
SysResult SetFileCompression(const std::filesystem::path& path, bool compressed);

}  // namespace platform
