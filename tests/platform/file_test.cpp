#include "platform/file.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "temp_folder.h"

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

}  // namespace
