// A folder of the test's own under the system's temporary folder, removed with everything in it.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace testing_support {

// A path under the temporary folder that no other test (of this or another program) uses.
inline std::filesystem::path UniqueTempPath(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    return std::filesystem::temp_directory_path() /
           ("norvane-" + tag + "-" + std::to_string(rd()) + "-" + std::to_string(stamp) + "-" +
            std::to_string(counter.fetch_add(1)));
}

// Removes a folder with everything in it, as far as possible. Unlike std::filesystem::remove_all it gives
// up on a file it cannot delete (the process log's open file on Windows, where the mingw library's
// remove_all was seen to spin) instead of failing or retrying.
inline void RemoveTree(const std::filesystem::path& root) {
    std::error_code ec;
    std::vector<std::filesystem::path> folders{root};
    std::vector<std::filesystem::path> files;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        for (std::filesystem::directory_iterator it(folders[i], ec), end; !ec && it != end;
             it.increment(ec)) {
            std::error_code typeEc;
            (it->is_directory(typeEc) ? folders : files).push_back(it->path());
        }
        ec.clear();
    }
    for (const auto& f : files) {
        std::filesystem::remove(f, ec);
    }
    for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
        std::filesystem::remove(*it, ec);
    }
}

class TempFolder {
public:
    explicit TempFolder(const std::string& tag = "test") : path_(UniqueTempPath(tag)) {
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() { RemoveTree(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace testing_support
