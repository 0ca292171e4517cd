// Helpers for tests of the debug log and of everything that writes to the process log.
//
// ProcessLogTestFolder() keeps the settings file and the files of the process debug log inside a folder
// of the test program's own (under the system's temporary folder, removed at exit). A test program calls
// it before anything logs; every test program of a layer above the JSON library does so from a static
// initialiser (tests/support/process_log_setup.cpp).
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
#include "support/process_log.h"
#include "support/temp_folder.h"
#include "support/wait.h"

namespace testing_support {

// The folder class and the process-log folder are the shared ones of tests/support.
using ScratchDir = TempFolder;

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

template <typename Condition>
bool WaitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    return WaitUntil(condition, timeout);
}

}  // namespace testing_support
