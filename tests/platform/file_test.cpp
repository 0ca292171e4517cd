#include "platform/file.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "platform/temp_folder.h"
#include "temp_folder.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using platform::File;
using platform::OpenMode;

std::string Slurp(const std::filesystem::path& path) {
    std::string bytes;
    EXPECT_TRUE(platform::ReadWholeFile(path, bytes).ok()) << path;
    return bytes;
}

TEST(PlatformFile, AppendKeepsCreateAlwaysReplacesAndOthersReadAndDeleteWhileOpen) {
    testing_support::TempFolder dir;
    const auto path = dir / "a.log";
    File f;
    ASSERT_TRUE(File::Open(path, OpenMode::kAppend, f).ok()) << "append creates a missing file";
    ASSERT_TRUE(f.Write("hello\r\n").ok());
    ASSERT_TRUE(f.Close().ok());
    ASSERT_TRUE(File::Open(path, OpenMode::kAppend, f).ok());
    ASSERT_TRUE(f.Write(std::string_view("\xC3\xA9\0z", 4)).ok());
    EXPECT_EQ(Slurp(path), std::string("hello\r\n\xC3\xA9\0z", 11));
    ASSERT_TRUE(File::Open(path, OpenMode::kCreateAlways, f).ok());
    ASSERT_TRUE(f.Write("x").ok());
    EXPECT_EQ(Slurp(path), "x");
    EXPECT_TRUE(platform::RemoveFile(path).ok()) << "the log's clean-up deletes files still open";
}

TEST(PlatformFile, WholeFilesFoldersAndTheirNativeErrors) {
    testing_support::TempFolder dir;
    const auto sub = dir / "logs";
    const auto file = sub / "f.bin";
    std::string big(200000, '\0');
    std::iota(big.begin(), big.end(), '\x03');
    EXPECT_FALSE(platform::MakeDirectory(sub / "b").ok()) << "only one level is created";
    ASSERT_TRUE(platform::MakeDirectory(sub).ok());
    EXPECT_TRUE(platform::MakeDirectory(sub).ok()) << "an existing folder is no error";
    ASSERT_TRUE(platform::WriteWholeFile(file, big).ok());
    EXPECT_EQ(Slurp(file), big);
    ASSERT_TRUE(platform::WriteWholeFile(file, "{}").ok());
    std::uint64_t size = 0;
    ASSERT_TRUE(platform::FileSize(file, size).ok());
    EXPECT_EQ(size, 2u);
    EXPECT_TRUE(platform::FileExists(file) && !platform::FileExists(sub) && platform::DirectoryExists(sub));
    EXPECT_FALSE(platform::FileSize(sub, size).ok() || platform::RemoveFile(sub).ok())
        << "a folder is no file";
    ASSERT_TRUE(platform::RemoveFile(file).ok());
    EXPECT_EQ(platform::RemoveFile(file).code, 2u) << "ENOENT and ERROR_FILE_NOT_FOUND are both 2";
    std::string bytes = "stale";
    EXPECT_EQ(platform::ReadWholeFile(file, bytes).code, 2u);
    EXPECT_TRUE(bytes.empty());
}

TEST(PlatformFile, ListFilesGivesTheFilesAWildcardMatches) {
    testing_support::TempFolder dir;
    ASSERT_TRUE(platform::WriteWholeFile(dir / "lib.so-2024-01-25 22_04_09.123.log", "abc").ok());
    ASSERT_TRUE(platform::WriteWholeFile(dir / "other.txt", "x").ok());
    ASSERT_TRUE(platform::MakeDirectory(dir / "sub.log").ok());
    std::vector<platform::FileEntry> files;
    ASSERT_TRUE(platform::ListFiles(dir.path(), files, L"lib*-*.LOG").ok());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size, 3u);
    EXPECT_NE(platform::ListFiles(dir / "missing", files).code, 0u);
    EXPECT_TRUE(files.empty());
    // Pattern and name in pairs: the first list matches, the second does not.
    const wchar_t* kMatch[] = {L"*", L"", L"a?c", L"abc", L"*.LOG", L"x.log", L"a*b*c", L"aXbYbZc"};
    const wchar_t* kNoMatch[] = {L"", L"a", L"a?c", L"ac", L"*.log", L"x.log.bak", L"a*b*c", L"aXbYbZ"};
    for (std::size_t i = 0; i < std::size(kMatch); i += 2) {
        EXPECT_TRUE(platform::WildcardMatch(kMatch[i], kMatch[i + 1])) << kMatch[i + 1];
        EXPECT_FALSE(platform::WildcardMatch(kNoMatch[i], kNoMatch[i + 1])) << kNoMatch[i + 1];
    }
    // Backtracking over many partial matches.
    EXPECT_TRUE(platform::WildcardMatch(L"*aaab", std::wstring(200, L'a') + L"b"));
    EXPECT_FALSE(platform::WildcardMatch(L"*aaab", std::wstring(200, L'a')));
}

// Settings files may be planted by another user: only a regular file of at most the limit is read, and
// a FIFO is refused at once (a blocking open would hang the reader; the alarm ends the program then).
TEST(PlatformFile, SettingsAreReadOnlyFromSmallRegularFiles) {
    testing_support::TempFolder dir;
    const std::size_t limit = platform::kMaxSettingsFileBytes;
    ASSERT_TRUE(platform::WriteWholeFile(dir / "fits", std::string(limit, 'a')).ok());
    ASSERT_TRUE(platform::WriteWholeFile(dir / "over", std::string(limit + 1, 'a')).ok());
    ASSERT_TRUE(platform::MakeDirectory(dir / "folder").ok());
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    ::alarm(10);  // a reader stuck in a blocking open of the FIFO ends the program in 10 s, failed
#endif
    const std::pair<const char*, const char*> rows[] = {
        // file, part of the refusal (empty: read)
        {"fits", ""},
        {"over", "holds 65537 bytes, more than the 65536"},
        {"missing", "cannot be opened"},
#ifdef _WIN32
        {"folder", "cannot be opened"},  // a folder opens only with backup semantics
#else
        {"folder", "is not a regular file"},
        {"fifo", "is not a regular file"},
#endif
    };
    for (const auto& [name, refusal] : rows) {
        std::string bytes = "stale", why;
        const platform::SysResult result = platform::ReadSettingsFile(dir / name, limit, bytes, why);
        EXPECT_EQ(bytes.size(), *refusal ? 0 : limit) << name;
        EXPECT_TRUE(result.ok() == !*refusal && why.find(refusal) != why.npos) << name << ": " << why;
        EXPECT_EQ(platform::IsNotFound(result), name == std::string("missing")) << name;
    }
#ifndef _WIN32
    ::alarm(0);
#endif
}

#ifndef _WIN32
// A link planted under a log file's name is not opened for writing, and neither a log folder that is a link
// nor a link inside one is listed (the log's clean-up deletes what is listed).
TEST(PlatformFile, LinksAreNeitherOpenedNorListed) {
    testing_support::TempFolder dir;
    ASSERT_TRUE(platform::WriteWholeFile(dir / "precious", "keep").ok());
    std::filesystem::create_symlink(dir / "precious", dir / "a.log");
    std::filesystem::create_directory_symlink(dir.path(), dir / "logs");
    File f;
    EXPECT_FALSE(File::Open(dir / "a.log", OpenMode::kCreateAlways, f).ok());
    std::vector<platform::FileEntry> files;
    EXPECT_FALSE(platform::ListFiles(dir / "logs", files).ok()) << "a folder that is a link";
    ASSERT_TRUE(platform::ListFiles(dir.path(), files).ok());
    ASSERT_EQ(files.size(), 1u) << "a link inside the folder is listed";
    EXPECT_EQ(files[0].name, "precious");
}

// The per-user folder is made for its owner alone; one another user could have made or can still reach
// is refused with the reason. Only root can give a folder away.
TEST(PlatformTempFolder, PrivateFolderRefusesWhatOthersCouldHavePlanted) {
    testing_support::TempFolder dir;
    const std::pair<const char*, const char*> rows[] = {
        {"new", ""},
        {"new", ""},  // again: found as it was made, for its owner alone
        {"open", "is open to other users (mode 0755, 0700 needed)"},
        {"link", "is a link or not a folder"},
        {"foreign", "belongs to user 12345"}};
    std::filesystem::create_directory_symlink(dir.path(), dir / "link");
    for (const char* name : {"open", "foreign"}) {
        std::filesystem::create_directory(dir / name);
        ::chmod((dir / name).c_str(), name == std::string("open") ? 0755 : 0700);
    }
    const bool root = ::chown((dir / "foreign").c_str(), 12345, 12345) == 0;
    for (const auto& [name, refusal] : rows) {
        std::filesystem::path folder;
        std::string why;
        const bool taken = platform::PrivateFolder(dir.path(), name, folder, why).ok();
        EXPECT_TRUE((taken == !*refusal && why.find(refusal) != why.npos && folder.empty() == !taken) ||
                    (!root && name == std::string("foreign")))
            << name << ": " << why;
    }
}
#endif

}  // namespace
