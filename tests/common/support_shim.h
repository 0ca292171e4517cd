// Stand-in for the shared test support (temporary folder, waiting, the process log's folder) until it
// lands; removed then.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/environment.h"

namespace testing_support {

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
            if (it->is_directory(typeEc)) {
                folders.push_back(it->path());
            } else {
                files.push_back(it->path());
            }
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

// A folder removed with everything in it.
class TempFolder {
public:
    explicit TempFolder(const std::string& tag = "test") : path_(UniqueTempPath(tag)) {
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() { RemoveTree(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The folder of the process log of this test program; configured on the first call.
inline const std::filesystem::path& ProcessLogTestFolder() {
    static const std::filesystem::path folder = [] {
        std::filesystem::path p = UniqueTempPath("proclog");
        UseProcessDebugLogFolder(p);
        static std::filesystem::path* atExitFolder = new std::filesystem::path(p);
        // Registered before the environment exists, so this runs after the environment's own exit hook
        // has written out the records still queued.
        std::atexit([] { RemoveTree(*atExitFolder); });
        return p;
    }();
    return folder;
}

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace testing_support
