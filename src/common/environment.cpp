#include "common/environment.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/cdebug_log.h"
#include "platform/module_path.h"

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);
constexpr auto kExitDrainStep = std::chrono::milliseconds(500);

// The environment lock: a mutex made on first use, a reference count and a creation state (0 idle,
// 1 creating). The first reference adds one more for the process, so the count never returns to zero
// and the lock and the environment live until the process ends.
std::atomic<std::mutex*> g_lockMutex{nullptr};
std::atomic<std::int32_t> g_lockRefs{0};
std::atomic<std::int32_t> g_lockState{0};
std::atomic<EnvironmentCommon*> g_environment{nullptr};

// Options for the process log, set before the environment is made. Heap objects that are never freed,
// so that they outlive every static destructor.
struct PendingOptions {
    std::mutex mutex;
    DebugLogOptions options;
    bool used = false;
};

PendingOptions& Pending() {
    static PendingOptions* pending = new PendingOptions();
    return *pending;
}

void TakeReference() {
    const std::int32_t previous = g_lockRefs.fetch_add(1);
    if (g_lockMutex.load() != nullptr) {
        return;
    }
    if (previous != 0) {
        // Another thread is making the mutex.
        while (g_lockState.load() != 0 || g_lockMutex.load() == nullptr) {
            std::this_thread::sleep_for(kPollInterval);
        }
        return;
    }
    std::int32_t idle = 0;
    while (!g_lockState.compare_exchange_strong(idle, 1)) {
        idle = 0;
        std::this_thread::sleep_for(kPollInterval);
    }
    g_lockMutex.store(new std::mutex());
    g_lockRefs.fetch_add(1);  // the process's own reference
    g_lockState.store(0);
}

void ReleaseReference() {
    // The process's reference keeps the count above zero, so the lock is never torn down.
    g_lockRefs.fetch_sub(1);
}

}  // namespace

EnvironmentCommon::EnvironmentCommon(const DebugLogOptions& logOptions) {
    processLog_ = CDebugLog::Create(logOptions);
    debugLog_ = processLog_;
    // The usage-counter manager, the signal-handler collection and the stack-trace logger join here
    // when they exist; until then their pointers stay empty and the crash handler is not installed.
}

EnvironmentCommon::~EnvironmentCommon() {
    stackTraceLogger_.reset();
    usageCounterManager_.reset();
    debugLog_.reset();
    processLog_.reset();
}

void EnvironmentCommon::DrainLogAtExit() {
    if (!processLog_) {
        return;
    }
    // Flush also waits for a writer that has not yet opened its first file. Each step must show
    // progress, or the writer is taken for gone (at the end of a process its thread may be).
    std::uint64_t pending = processLog_->PendingRecords();
    for (int idleSteps = 0; !processLog_->Flush(kExitDrainStep);) {
        const std::uint64_t now = processLog_->PendingRecords();
        if (now >= pending && (now != 0 || ++idleSteps > 1)) {
            return;
        }
        pending = now;
    }
}

std::shared_ptr<IDebugLog>& EnvironmentCommon::GetDebugLog(std::shared_ptr<IDebugLog>& out) {
    out = debugLog_;
    return out;
}

std::shared_ptr<IStackTraceLogger>& EnvironmentCommon::GetStackTraceLogger(
    std::shared_ptr<IStackTraceLogger>& out) {
    out = stackTraceLogger_;
    return out;
}

std::shared_ptr<cmn::IUsageCounterManager>& EnvironmentCommon::GetUsageCounterManager(
    std::shared_ptr<cmn::IUsageCounterManager>& out) {
    out = usageCounterManager_;
    return out;
}

EnvironmentRef::EnvironmentRef() {
    TakeReference();
}

EnvironmentRef::~EnvironmentRef() {
    ReleaseReference();
}

IEnvironment* GetEnvironment(const EnvironmentRef&) {
    EnvironmentCommon* environment = g_environment.load(std::memory_order_acquire);
    if (environment != nullptr) {
        return environment;
    }
    EnvironmentRef ref;
    std::lock_guard<std::mutex> lock(*g_lockMutex.load());
    environment = g_environment.load(std::memory_order_acquire);
    if (environment == nullptr) {
        DebugLogOptions options;
        {
            PendingOptions& pending = Pending();
            std::lock_guard<std::mutex> optionsLock(pending.mutex);
            pending.used = true;
            options = pending.options;
        }
        environment = new EnvironmentCommon(options);
        g_environment.store(environment, std::memory_order_release);
        // The environment is never destroyed; at exit the records still queued are written out.
        std::atexit([] {
            if (EnvironmentCommon* env = g_environment.load(std::memory_order_acquire)) {
                env->DrainLogAtExit();
            }
        });
    }
    return environment;
}

std::shared_ptr<IDebugLog> GetProcessDebugLog() {
    std::shared_ptr<IDebugLog> log;
    EnvironmentRef ref;
    GetEnvironment(ref)->GetDebugLog(log);
    return log;
}

bool ConfigureProcessDebugLog(const DebugLogOptions& options) {
    PendingOptions& pending = Pending();
    std::lock_guard<std::mutex> lock(pending.mutex);
    if (pending.used) {
        return false;
    }
    pending.options = options;
    return true;
}

bool UseProcessDebugLogFolder(const std::filesystem::path& folder) {
    {
        PendingOptions& pending = Pending();
        std::lock_guard<std::mutex> lock(pending.mutex);
        if (pending.used) {
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    DebugLogOptions options;
    std::filesystem::path settingsName = platform::OwnModulePath().filename();
    settingsName += ".log_settings.json";
    options.settingsFile = folder / settingsName;
    options.defaultLogFolderPath = folder;
    return ConfigureProcessDebugLog(options);
}

bool ProcessEnvironmentExists() {
    return g_environment.load(std::memory_order_acquire) != nullptr;
}
