// Listening to a debug log: the records it delivers, and those of the process log during one test.
#pragma once

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/environment.h"
#include "support_shim.h"

namespace testing_support {

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
    // The records that contain `part`.
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
    ProcessLogCapture() : log_(GetProcessDebugLog()) {
        log_->Flush(std::chrono::seconds(10));
        log_->SetListener(this);
    }
    ~ProcessLogCapture() override { log_->SetListener(nullptr); }
    // Everything written so far has reached the listener.
    void Sync() { log_->Flush(std::chrono::seconds(10)); }
    IDebugLog& Log() { return *log_; }

private:
    std::shared_ptr<IDebugLog> log_;
};

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testing_support
