#include "common/environment.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <system_error>

#include "common/cdebug_log.h"
#include "common/locks.h"
#include "common/signal_handler.h"
#include "common/stack_trace.h"
#include "common/usage_counters.h"
#include "platform/module_path.h"

namespace {

constexpr auto kExitDrainStep = std::chrono::milliseconds(500);

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

// The slow-lock reports of the locks go to the process debug log.
void WriteSlowLockToLog(const SlowLockUse& use) noexcept {
    try {
        if (const std::shared_ptr<IDebugLog> log = GetProcessDebugLog()) {
            log->Write(FormatLockReport(use, GetTicksFrequency()));
        }
    } catch (...) {
        // A report that cannot be built (out of memory) is dropped; the lock itself has done its work.
    }
}

EnvironmentCommon* MakeEnvironment() {
    DebugLogOptions options;
    {
        PendingOptions& pending = Pending();
        std::lock_guard<std::mutex> optionsLock(pending.mutex);
        pending.used = true;
        options = pending.options;
    }
    auto* environment = new EnvironmentCommon(options);
    g_environment.store(environment, std::memory_order_release);
    // The environment is never destroyed; at exit the records still queued are written out.
    std::atexit([] { g_environment.load(std::memory_order_acquire)->DrainLogAtExit(); });
    return environment;
}

}  // namespace

EnvironmentCommon::EnvironmentCommon(const DebugLogOptions& logOptions) {
    processLog_ = CDebugLog::Create(logOptions);
    debugLog_ = processLog_;
    SetSlowLockHook(&WriteSlowLockToLog);
    usageCounterManager_ = std::make_shared<cmn::UsageCounterManager>(debugLog_);
    signalHandlers_ = std::make_shared<os::SignalHandlerCollection>(debugLog_);
    stackTraceLogger_ = std::make_shared<StackTraceLogger>(processLog_);
    if (processLog_->IsStackDumpInDebug()) {
        stackTraceLogger_->InstallCrashHandler();
    }
}

EnvironmentCommon::~EnvironmentCommon() {
    stackTraceLogger_.reset();
    signalHandlers_.reset();
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

std::shared_ptr<os::SignalHandlerCollection>& EnvironmentCommon::GetSignalHandlerCollection(
    std::shared_ptr<os::SignalHandlerCollection>& out) {
    out = signalHandlers_;
    return out;
}

IEnvironment* GetEnvironment(const EnvironmentRef&) {
    // Made by the first caller (the others wait for it), then kept until the process ends.
    static EnvironmentCommon* const environment = MakeEnvironment();
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
