// Listening to a debug log, by default the process log, for the lifetime of the object.
#pragma once

#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "common/environment.h"
#include "support/process_log.h"
#include "support/temp_folder.h"
#include "support/wait.h"

namespace testing_support {

class LogCapture : public IDebugLogListener {
public:
    explicit LogCapture(IDebugLog& log = *GetProcessDebugLog()) : log_(log) {
        log_.Flush(std::chrono::seconds(10));  // what others wrote before stays out
        log_.SetListener(this);
    }
    ~LogCapture() override { log_.SetListener(nullptr); }
    void OnLogRecord(const std::wstring& record) override {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(record);
    }
    // Every record written so far (prefix, text, CR LF).
    std::vector<std::wstring> Records() {
        log_.Flush(std::chrono::seconds(10));
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    std::vector<std::wstring> Containing(const std::wstring& part) {
        std::vector<std::wstring> found = Records();
        std::erase_if(found, [&](const std::wstring& r) { return r.find(part) == std::wstring::npos; });
        return found;
    }
    IDebugLog& Log() { return log_; }
    void Sync() { log_.Flush(std::chrono::seconds(10)); }

private:
    IDebugLog& log_;
    std::mutex mutex_;
    std::vector<std::wstring> records_;
};

inline std::string ReadBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testing_support
