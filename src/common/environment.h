// The process environment: the one object through which components reach the process-wide services
// (the debug log, the stack-trace logger, the usage-counter manager).
//
// Usage at every site:
//     std::shared_ptr<IDebugLog> log;
//     {
//         EnvironmentRef ref;
//         GetEnvironment(ref)->GetDebugLog(log);
//     }
//     if (log) log->Write(L"...");
// or simply GetProcessDebugLog(). The environment is created on first use and lives until the process
// ends.
#pragma once

#include <memory>

#include "common/debug_log.h"

class CDebugLog;
class IStackTraceLogger;
namespace cmn {
class IUsageCounterManager;
}
namespace os {
class SignalHandlerCollection;
}

class IEnvironment {
public:
    virtual ~IEnvironment() = default;
    // Each accessor copies the service's shared pointer into `out` (null when the service does not
    // exist) and returns `out`.
    virtual std::shared_ptr<IDebugLog>& GetDebugLog(std::shared_ptr<IDebugLog>& out) = 0;
    virtual std::shared_ptr<IStackTraceLogger>& GetStackTraceLogger(
        std::shared_ptr<IStackTraceLogger>& out) = 0;
    virtual std::shared_ptr<cmn::IUsageCounterManager>& GetUsageCounterManager(
        std::shared_ptr<cmn::IUsageCounterManager>& out) = 0;
    // The process's signal-handler collection (signal_handler.h).
    virtual std::shared_ptr<os::SignalHandlerCollection>& GetSignalHandlerCollection(
        std::shared_ptr<os::SignalHandlerCollection>& out) = 0;
};

class EnvironmentCommon final : public IEnvironment {
public:
    // Creates the process debug log with `logOptions`.
    explicit EnvironmentCommon(const DebugLogOptions& logOptions);
    ~EnvironmentCommon() override;
    EnvironmentCommon(const EnvironmentCommon&) = delete;
    EnvironmentCommon& operator=(const EnvironmentCommon&) = delete;

    std::shared_ptr<IDebugLog>& GetDebugLog(std::shared_ptr<IDebugLog>& out) override;
    std::shared_ptr<IStackTraceLogger>& GetStackTraceLogger(std::shared_ptr<IStackTraceLogger>& out) override;
    std::shared_ptr<cmn::IUsageCounterManager>& GetUsageCounterManager(
        std::shared_ptr<cmn::IUsageCounterManager>& out) override;
    std::shared_ptr<os::SignalHandlerCollection>& GetSignalHandlerCollection(
        std::shared_ptr<os::SignalHandlerCollection>& out) override;

    // Waits, at process exit, until the log's writer has taken the records still queued; gives up
    // when it stops making progress (its thread may already be gone).
    void DrainLogAtExit();

private:
    std::shared_ptr<CDebugLog> processLog_;
    std::shared_ptr<IDebugLog> debugLog_;
    std::shared_ptr<IStackTraceLogger> stackTraceLogger_;
    std::shared_ptr<cmn::IUsageCounterManager> usageCounterManager_;
    std::shared_ptr<os::SignalHandlerCollection> signalHandlers_;
};

// A scoped reference on the environment, held while using the pointer GetEnvironment returns. The
// environment outlives every reference (it lives until the process ends), so holding one costs nothing.
class EnvironmentRef {
public:
    EnvironmentRef() = default;
    EnvironmentRef(const EnvironmentRef&) = delete;
    EnvironmentRef& operator=(const EnvironmentRef&) = delete;
};

// The process environment; created by the first call.
IEnvironment* GetEnvironment(const EnvironmentRef& ref);

// Shortcut for the usual pattern: the process debug log (creates the environment if needed).
std::shared_ptr<IDebugLog> GetProcessDebugLog();

// Sets the options the process debug log will be created with. Call it before anything logs, for
// example at the start of a test program, to keep the settings file and the log files in a folder of
// your own. Returns false, and changes nothing, when the environment already exists.
bool ConfigureProcessDebugLog(const DebugLogOptions& options);

// Convenience for tests and tools: keeps the settings file and the log files of the process log inside
// `folder` (created if missing). A settings file already in the folder is used as it is; otherwise a
// default one is written there whose "LogFolderPath" is `folder`, so the files go to
// folder/<log name>.logs. Same return value as ConfigureProcessDebugLog.
bool UseProcessDebugLogFolder(const std::filesystem::path& folder);

// True once the process environment has been created.
bool ProcessEnvironmentExists();
