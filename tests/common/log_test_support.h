// Helpers for tests of the debug log and of everything that writes to the process log.
//
// ProcessLogTestFolder() keeps the settings file and the files of the process debug log inside a folder
// of the test program's own (under the system's temporary folder, removed at exit). A test program calls
// it before anything logs; common_tests does so from a static initialiser (process_log_setup.cpp), and
// test programs of other layers can include this header and do the same:
//     static const bool kLogReady = (testing_support::ProcessLogTestFolder(), true);
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "common/debug_log.h"
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
class ScratchDir {
public:
    explicit ScratchDir(const std::string& tag = "log") : path_(UniqueTempPath(tag)) {
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() { RemoveTree(path_); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

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

// Collects the records a log delivers.
class RecordingListener : public IDebugLogListener {
public:
    void OnLogRecord(const std::wstring& record) override {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(record);
    }
    std::vector<std::wstring> Records() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }
    // Records that contain `part`.
    std::vector<std::wstring> Containing(const std::wstring& part) const {
        std::vector<std::wstring> found;
        for (const auto& r : Records()) {
            if (r.find(part) != std::wstring::npos) {
                found.push_back(r);
            }
        }
        return found;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> records_;
};

// Listens to the process log for the lifetime of the object.
class ProcessLogCapture : public RecordingListener {
public:
    ProcessLogCapture() {
        ProcessLogTestFolder();
        log_ = GetProcessDebugLog();
        log_->Flush(std::chrono::milliseconds(5000));
        log_->SetListener(this);
    }
    ~ProcessLogCapture() override { log_->SetListener(nullptr); }
    // Everything written so far has reached the listener.
    void Sync() { log_->Flush(std::chrono::milliseconds(10000)); }
    IDebugLog& Log() { return *log_; }

private:
    std::shared_ptr<IDebugLog> log_;
};

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of a text with CR LF line ends (the last line end does not start a new line).
inline std::vector<std::string> SplitRecords(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// Polls `condition` every 10 ms until it holds or `timeout` passes.
template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace testing_support
