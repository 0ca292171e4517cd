#ifdef _WIN32

#include <windows.h>

#include <string>

#include "platform/file.h"
#include "platform/temp_folder.h"

namespace platform {

std::filesystem::path TempFolder() {
    std::wstring buffer(MAX_PATH + 1, L'\0');
    DWORD length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length > buffer.size()) {
        // The result tells the size needed, terminating zero included.
        buffer.assign(length, L'\0');
        length = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    }
    if (length == 0 || length > buffer.size()) {
        return {};
    }
    buffer.resize(length);
    if (buffer.back() != L'\\') {
        buffer.push_back(L'\\');
    }
    return std::filesystem::path(buffer);
}

SysResult PrivateFolder(const std::filesystem::path& parent, const std::string& folderName,
                        std::filesystem::path& folder, std::string& why) {
    folder.clear();
    why.clear();
    const std::filesystem::path path =
        parent / std::filesystem::path(std::u8string(folderName.begin(), folderName.end()));
    const std::u8string text = path.u8string();
    const std::string name = std::string(text.begin(), text.end()) + " ";  // messages start with the folder
    // A new folder inherits the rights of the user's profile folders, which are the user's own.
    if (::CreateDirectoryW(path.c_str(), nullptr) == 0 && ::GetLastError() != ERROR_ALREADY_EXISTS) {
        const SysResult failure = SysResult::Fail(::GetLastError());
        why = name + "cannot be created: " + FailureText(failure);
        return failure;
    }
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        why = name + "is a link or not a folder";
        return SysResult::Fail(ERROR_DIRECTORY);
    }
    folder = path;
    return SysResult::Ok();
}

SysResult UserTempFolder(std::filesystem::path& folder, std::string& why) {
    folder.clear();
    why.clear();
    std::wstring temp = TempFolder().wstring();
    while (temp.size() > 3 && (temp.back() == L'\\' || temp.back() == L'/')) {
        temp.pop_back();
    }
    const DWORD attributes = temp.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(temp.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        why = "the system names no existing temporary folder";
        return SysResult::Fail(ERROR_PATH_NOT_FOUND);
    }
    folder = temp;
    return SysResult::Ok();
}

}  // namespace platform

#endif  // _WIN32
