#include "platform/file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/sys_error.h"
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

TEST(PlatformFile, CreateAlwaysReplacesAndAppendKeeps) {
    TempDir dir;
    const auto path = dir / "a.log";

    File f;
    ASSERT_TRUE(File::Open(path, OpenMode::kCreateAlways, f).ok());
    ASSERT_TRUE(f.IsOpen());
    std::size_t written = 0;
    ASSERT_TRUE(f.Write("hello\r\n", &written).ok());
    EXPECT_EQ(written, 7u);
    std::uint64_t size = 0;
    ASSERT_TRUE(f.Size(size).ok());
    EXPECT_EQ(size, 7u);
    ASSERT_TRUE(f.Flush().ok());
    ASSERT_TRUE(f.Close().ok());
    EXPECT_FALSE(f.IsOpen());
    EXPECT_TRUE(f.Close().ok()) << "closing twice is harmless";

    // Append mode opens the existing file and writes after its content.
    ASSERT_TRUE(File::Open(path, OpenMode::kAppend, f).ok());
    ASSERT_TRUE(f.Size(size).ok());
    EXPECT_EQ(size, 7u);
    ASSERT_TRUE(f.Write(std::string_view("\xC3\xA9 bytes\0z", 10)).ok());
    f.Close();
    EXPECT_EQ(Slurp(path), std::string("hello\r\n\xC3\xA9 bytes\0z", 17));

    // Create-always truncates what was there.
    ASSERT_TRUE(File::Open(path, OpenMode::kCreateAlways, f).ok());
    ASSERT_TRUE(f.Size(size).ok());
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(f.Write("x").ok());
    f.Close();
    EXPECT_EQ(Slurp(path), "x");

    // Append mode creates a missing file.
    const auto fresh = dir / "fresh.log";
    ASSERT_TRUE(File::Open(fresh, OpenMode::kAppend, f).ok());
    ASSERT_TRUE(f.Write("1").ok());
    f.Close();
    EXPECT_EQ(Slurp(fresh), "1");
}

TEST(PlatformFile, FileCanBeReadWhileOpenForWriting) {
    TempDir dir;
    const auto path = dir / "shared.log";
    File f;
    ASSERT_TRUE(File::Open(path, OpenMode::kCreateAlways, f).ok());
    ASSERT_TRUE(f.Write("first").ok());
    EXPECT_EQ(Slurp(path), "first");
    ASSERT_TRUE(f.Write(" second").ok());
    EXPECT_EQ(Slurp(path), "first second");
}

TEST(PlatformFile, MovedFileKeepsWritingAndSourceIsClosed) {
    TempDir dir;
    const auto path = dir / "moved.log";
    File a;
    ASSERT_TRUE(File::Open(path, OpenMode::kCreateAlways, a).ok());
    File b(std::move(a));
    EXPECT_FALSE(a.IsOpen());  // NOLINT(bugprone-use-after-move): the moved-from state is specified
    EXPECT_FALSE(a.Write("lost").ok());
    ASSERT_TRUE(b.Write("kept").ok());
    File c;
    c = std::move(b);
    ASSERT_TRUE(c.Write("+").ok());
    c.Close();
    EXPECT_EQ(Slurp(path), "kept+");
}

TEST(PlatformFile, ConcurrentWritersThroughOneFileLoseAndOverlapNothing) {
    TempDir dir;
    const auto path = dir / "concurrent.log";
    File f;
    ASSERT_TRUE(File::Open(path, OpenMode::kCreateAlways, f).ok());
    constexpr int kThreads = 4;
    constexpr int kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&f, t] {
            for (int i = 0; i < kLines; ++i) {
                const std::string line = "thread " + std::to_string(t) + " line " + std::to_string(i) + "\n";
                ASSERT_TRUE(f.Write(line).ok());
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    f.Close();

    const std::string bytes = Slurp(path);
    std::set<std::string> seen;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        seen.insert(bytes.substr(start, end - start));
        start = end + 1;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; i += 97) {
            EXPECT_TRUE(seen.count("thread " + std::to_string(t) + " line " + std::to_string(i)));
        }
    }
}

TEST(PlatformFile, WholeFileHelpers) {
    TempDir dir;
    const auto path = dir / "settings.json";
    std::string big(200000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 7 + 3);
    }
    ASSERT_TRUE(platform::WriteWholeFile(path, big).ok());
    EXPECT_EQ(Slurp(path), big);
    ASSERT_TRUE(platform::WriteWholeFile(path, "{}").ok());
    EXPECT_EQ(Slurp(path), "{}") << "writing the whole file replaces the old content";
    ASSERT_TRUE(platform::WriteWholeFile(path, "").ok());
    EXPECT_EQ(Slurp(path), "");

    std::string bytes = "stale";
    const auto missing = platform::ReadWholeFile(dir / "missing.json", bytes);
    EXPECT_FALSE(missing.ok());
    EXPECT_EQ(missing.code, 2u) << "ENOENT and ERROR_FILE_NOT_FOUND are both 2";
    EXPECT_TRUE(bytes.empty());

    EXPECT_FALSE(platform::ReadWholeFile(dir.path(), bytes).ok()) << "a folder is not a file";
    EXPECT_FALSE(platform::WriteWholeFile(dir / "no" / "such" / "folder.json", "x").ok());
}

TEST(PlatformFile, DirectoriesSizesAndDeletion) {
    TempDir dir;
    const auto sub = dir / "logs";
    EXPECT_FALSE(platform::DirectoryExists(sub));
    ASSERT_TRUE(platform::MakeDirectory(sub).ok());
    EXPECT_TRUE(platform::DirectoryExists(sub));
    EXPECT_FALSE(platform::FileExists(sub));
    EXPECT_TRUE(platform::MakeDirectory(sub).ok()) << "an existing folder is no error";
    EXPECT_FALSE(platform::MakeDirectory(dir / "a" / "b").ok()) << "only one level is created";

    const auto file = sub / "f.bin";
    ASSERT_TRUE(platform::WriteWholeFile(file, std::string(1234, 'z')).ok());
    EXPECT_TRUE(platform::FileExists(file));
    const auto clash = platform::MakeDirectory(file);
    EXPECT_FALSE(clash.ok()) << "a file of that name is an error";
    EXPECT_NE(clash.code, 0u);

    std::uint64_t size = 0;
    ASSERT_TRUE(platform::FileSize(file, size).ok());
    EXPECT_EQ(size, 1234u);
    EXPECT_FALSE(platform::FileSize(sub, size).ok()) << "a folder has no file size";
    EXPECT_FALSE(platform::FileSize(sub / "none", size).ok());

    ASSERT_TRUE(platform::RemoveFile(file).ok());
    EXPECT_FALSE(platform::FileExists(file));
    const auto again = platform::RemoveFile(file);
    EXPECT_FALSE(again.ok());
    EXPECT_EQ(again.code, 2u);
    EXPECT_FALSE(platform::RemoveFile(sub).ok()) << "folders are not deleted as files";
    EXPECT_TRUE(platform::DirectoryExists(sub));
}

TEST(PlatformFile, AnOpenFileCanBeDeleted) {
    TempDir dir;
    const auto path = dir / "open.log";
    File f;
    ASSERT_TRUE(File::Open(path, OpenMode::kCreateAlways, f).ok());
    ASSERT_TRUE(f.Write("x").ok());
    EXPECT_TRUE(platform::RemoveFile(path).ok());
}

std::vector<std::string> Names(const std::vector<platform::FileEntry>& entries) {
    std::vector<std::string> names;
    for (const auto& e : entries) {
        names.push_back(e.name.string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PlatformFile, ListFilesFiltersAndSkipsFolders) {
    TempDir dir;
    ASSERT_TRUE(platform::WriteWholeFile(dir / "lib.so-2024-01-25 22_04_09.123.log", "abc").ok());
    ASSERT_TRUE(platform::WriteWholeFile(dir / "lib.so-2024-01-26 01_00_00.000.LOG", "abcdef").ok());
    ASSERT_TRUE(platform::WriteWholeFile(dir / "other.txt", std::string(10, 'x')).ok());
    ASSERT_TRUE(platform::MakeDirectory(dir / "sub.log").ok());
    ASSERT_TRUE(platform::WriteWholeFile(dir / "sub.log" / "inner.log", "i").ok());

    std::vector<platform::FileEntry> files;
    ASSERT_TRUE(platform::ListFiles(dir.path(), files).ok());
    EXPECT_EQ(Names(files), (std::vector<std::string>{"lib.so-2024-01-25 22_04_09.123.log",
                                                      "lib.so-2024-01-26 01_00_00.000.LOG", "other.txt"}));
    std::uint64_t total = 0;
    for (const auto& e : files) {
        total += e.size;
    }
    EXPECT_EQ(total, 19u);

    ASSERT_TRUE(platform::ListFiles(dir.path(), files, L"*.log").ok());
    EXPECT_EQ(Names(files), (std::vector<std::string>{"lib.so-2024-01-25 22_04_09.123.log",
                                                      "lib.so-2024-01-26 01_00_00.000.LOG"}));
    ASSERT_TRUE(platform::ListFiles(dir.path(), files, L"other.???").ok());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].size, 10u);
    ASSERT_TRUE(platform::ListFiles(dir.path(), files, L"*.none").ok());
    EXPECT_TRUE(files.empty());

    ASSERT_TRUE(platform::ListFiles(dir / "sub.log", files).ok());
    EXPECT_EQ(Names(files), std::vector<std::string>{"inner.log"});

    files.push_back({});
    const auto missing = platform::ListFiles(dir / "missing", files);
    EXPECT_FALSE(missing.ok());
    EXPECT_NE(missing.code, 0u);
    EXPECT_TRUE(files.empty());
}

TEST(PlatformFile, WildcardMatching) {
    using platform::WildcardMatch;
    EXPECT_TRUE(WildcardMatch(L"*", L""));
    EXPECT_TRUE(WildcardMatch(L"*", L"anything"));
    EXPECT_TRUE(WildcardMatch(L"", L""));
    EXPECT_FALSE(WildcardMatch(L"", L"a"));
    EXPECT_TRUE(WildcardMatch(L"a?c", L"abc"));
    EXPECT_FALSE(WildcardMatch(L"a?c", L"ac"));
    EXPECT_TRUE(WildcardMatch(L"*.LOG", L"x.log"));
    EXPECT_TRUE(WildcardMatch(L"lib*-*.log", L"lib.dll-2024-01-25 22_04_09.123.log"));
    EXPECT_FALSE(WildcardMatch(L"lib*-*.log", L"lib.dll.log"));
    EXPECT_TRUE(WildcardMatch(L"a*b*c", L"aXbYbZc"));
    EXPECT_FALSE(WildcardMatch(L"a*b*c", L"aXbYbZ"));
    EXPECT_TRUE(WildcardMatch(L"**a**", L"bab"));
    EXPECT_FALSE(WildcardMatch(L"*.log", L"x.log.bak"));
    // Backtracking over many partial matches stays correct.
    EXPECT_TRUE(WildcardMatch(L"*aaab", std::wstring(200, L'a') + L"b"));
    EXPECT_FALSE(WildcardMatch(L"*aaab", std::wstring(200, L'a')));
}

TEST(PlatformFile, CompressionSwitchLeavesContentIntact) {
    TempDir dir;
    const auto path = dir / "c.log";
    ASSERT_TRUE(platform::WriteWholeFile(path, "content").ok());
    const auto on = platform::SetFileCompression(path, true);
    const auto off = platform::SetFileCompression(path, false);
#ifdef _WIN32
    // Whether compression is granted depends on the file system (and on Wine); a missing file never is.
    (void)on;
    (void)off;
    EXPECT_FALSE(platform::SetFileCompression(dir / "missing.log", true).ok());
#else
    EXPECT_TRUE(on.ok());
    EXPECT_TRUE(off.ok());
#endif
    EXPECT_EQ(Slurp(path), "content");
}

}  // namespace
