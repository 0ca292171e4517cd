#include "platform/file.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace {

using platform::File;
using platform::OpenMode;
using testing_support::TempDir;

std::string Slurp(const std::filesystem::path& path) {
    std::string bytes;
    EXPECT_TRUE(platform::ReadWholeFile(path, bytes).ok()) << path;
    return bytes;
}

TEST(PlatformFile, AppendKeepsCreateAlwaysReplacesAndOthersReadAndDeleteWhileOpen) {
    TempDir dir;
    const auto path = dir / "a.log";
    File f;
    ASSERT_TRUE(File::Open(path, OpenMode::kAppend, f).ok()) << "append creates a missing file";
    ASSERT_TRUE(f.Write("hello\r\n").ok());
    EXPECT_EQ(Slurp(path), "hello\r\n");
    ASSERT_TRUE(f.Close().ok());
    ASSERT_TRUE(File::Open(path, OpenMode::kAppend, f).ok());
    ASSERT_TRUE(f.Write(std::string_view("\xC3\xA9\0z", 4)).ok());
    std::uint64_t size = 0;
    ASSERT_TRUE(f.Size(size).ok());
    EXPECT_EQ(size, 11u);
    EXPECT_EQ(Slurp(path), std::string("hello\r\n\xC3\xA9\0z", 11));
    f.Close();
    ASSERT_TRUE(File::Open(path, OpenMode::kCreateAlways, f).ok());
    ASSERT_TRUE(f.Write("x").ok());
    EXPECT_EQ(Slurp(path), "x");
    EXPECT_TRUE(platform::RemoveFile(path).ok()) << "the log's clean-up deletes files still open";
}

TEST(PlatformFile, ConcurrentWritersThroughOneFileLoseAndSplitNothing) {
    TempDir dir;
    File f;
    ASSERT_TRUE(File::Open(dir / "c.log", OpenMode::kCreateAlways, f).ok());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&f, t] {
            for (int i = 0; i < 500; ++i) {
                EXPECT_TRUE(
                    f.Write("thread " + std::to_string(t) + " line " + std::to_string(i) + "\n").ok());
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    f.Close();
    std::set<std::string> lines;
    const std::string bytes = Slurp(dir / "c.log");
    for (std::size_t start = 0, end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.insert(bytes.substr(start, end - start));
    }
    EXPECT_EQ(lines.size(), 2000u);
    EXPECT_EQ(bytes.back(), '\n');
    EXPECT_TRUE(lines.count("thread 3 line 499"));
}

TEST(PlatformFile, WholeFilesFoldersAndTheirNativeErrors) {
    TempDir dir;
    const auto sub = dir / "logs";
    const auto file = sub / "f.bin";
    std::string big(200000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7 + 3);
    }
    EXPECT_FALSE(platform::WriteWholeFile(file, "x").ok()) << "the folder is not there yet";
    ASSERT_TRUE(platform::MakeDirectory(sub).ok());
    EXPECT_TRUE(platform::MakeDirectory(sub).ok()) << "an existing folder is no error";
    EXPECT_FALSE(platform::MakeDirectory(dir / "a" / "b").ok()) << "only one level is created";
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

TEST(PlatformFile, ListFilesGivesFilesWithSizesMatchingAWildcard) {
    TempDir dir;
    ASSERT_TRUE(platform::WriteWholeFile(dir / "lib.so-2024-01-25 22_04_09.123.log", "abc").ok());
    ASSERT_TRUE(platform::WriteWholeFile(dir / "other.txt", "x").ok());
    ASSERT_TRUE(platform::MakeDirectory(dir / "sub.log").ok());
    std::vector<platform::FileEntry> files;
    ASSERT_TRUE(platform::ListFiles(dir.path(), files, L"lib*-*.LOG").ok());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name.string(), "lib.so-2024-01-25 22_04_09.123.log");
    EXPECT_EQ(files[0].size, 3u);
    EXPECT_NE(platform::ListFiles(dir / "missing", files).code, 0u);
    EXPECT_TRUE(files.empty());
}

TEST(PlatformFile, WildcardMatching) {
    const struct {
        const wchar_t* pattern;
        std::wstring name;
        bool match;
    } kCases[] = {{L"*", L"", true},
                  {L"", L"a", false},
                  {L"a?c", L"abc", true},
                  {L"a?c", L"ac", false},
                  {L"*.LOG", L"x.log", true},
                  {L"*.log", L"x.log.bak", false},
                  {L"a*b*c", L"aXbYbZc", true},
                  {L"a*b*c", L"aXbYbZ", false},
                  {L"*aaab", std::wstring(200, L'a') + L"b", true},
                  {L"*aaab", std::wstring(200, L'a'), false}};
    for (const auto& c : kCases) {
        EXPECT_EQ(platform::WildcardMatch(c.pattern, c.name), c.match) << c.pattern;
    }
}

}  // namespace
