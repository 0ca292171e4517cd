// Usage counters: named process-wide counts of live objects or events, for finding leaks.
//
// A component registers a counter once (its storage and its index usually static), then increments and
// decrements it; a statistics thread writes every counter that is not zero to the debug log at most once
// per ten-second window of the wall clock:
//     <> Usage counter statistics <>
//     STATISTICS: <> -- counter "UdpSock.live" = 12
// Counting is switched off for all counters by the log stream "UsageCounters-Stat" set to false in the
// log's settings, and for one counter by the stream "counter." followed by its name.
//
// The index the caller keeps: 0 means not registered yet, kCounterOff means switched off (increments do
// nothing), any other value k names entry k-1 of the table.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/clock.h"
#include "common/debug_log.h"

namespace cmn {

class IUsageCounterManager {
public:
    static constexpr std::size_t kCounterOff = ~std::size_t{0};

    virtual ~IUsageCounterManager() = default;
    // Registers `counter` (owned by the caller; it must outlive the manager) under `name` and sets
    // `index`. A name already in the table gets its entry's index and `counter` is not used; a switched
    // off counter gets kCounterOff. An `index` that already names this counter is kept as it is.
    virtual void RegisterCounter(std::string_view name, std::atomic<std::int32_t>& counter,
                                 std::size_t& index) = 0;
    // Add or subtract one. Indices 0 and kCounterOff are ignored; one beyond the table writes a line.
    virtual void IncrementCounter(std::size_t index) = 0;
    virtual void DecrementCounter(std::size_t index) = 0;
};

class UsageCounterManager final : public IUsageCounterManager {
public:
    // Counters are named by the library's own call sites, a few dozen at most; the bound keeps a site
    // that registers names made at run time from growing the table, or the statistics record, without
    // end. The table is allocated whole at construction, so that increments read it without the lock.
    static constexpr std::size_t kMaxCounters = 1024;
    // Statistics are written at most once per window of this length, aligned to the wall clock.
    static constexpr std::int64_t kWindowMs = 10000;
    // How often the statistics thread looks at the clock.
    static constexpr std::chrono::milliseconds kPollInterval{1000};

    // Writes to `log` (nothing when null) and starts the statistics thread, which reads `wallClock`
    // (milliseconds since 1970) every `poll`. The clock must outlive the manager.
    explicit UsageCounterManager(std::shared_ptr<IDebugLog> log, IClock& wallClock = WallClock(),
                                 std::chrono::milliseconds poll = kPollInterval);
    // Stops the statistics thread at once (it does not wait for its poll to end).
    ~UsageCounterManager() override;
    UsageCounterManager(const UsageCounterManager&) = delete;
    UsageCounterManager& operator=(const UsageCounterManager&) = delete;

    void RegisterCounter(std::string_view name, std::atomic<std::int32_t>& counter,
                         std::size_t& index) override;
    void IncrementCounter(std::size_t index) override;
    void DecrementCounter(std::size_t index) override;

private:
    struct Entry {
        std::string name;
        std::wstring wideName;  // for the log lines
        std::atomic<std::int32_t>* counter = nullptr;
    };

    [[nodiscard]] bool StreamOff(std::wstring_view stream) const;
    // The counter of `index`, or null (with the line for an index beyond the table).
    std::atomic<std::int32_t>* Find(std::size_t index, const wchar_t* format);
    void Write(const std::wstring& line) const;
    void StatisticsMain();
    // One statistics pass; false when the statistics are switched off (the thread then ends).
    bool WriteStatistics();

    const std::shared_ptr<IDebugLog> log_;
    IClock& clock_;
    const std::chrono::milliseconds poll_;

    // Entries below size_ are complete and never change; registration appends under mutex_.
    const std::unique_ptr<Entry[]> entries_;
    std::atomic<std::size_t> size_{0};
    bool fullReported_ = false;  // under mutex_

    std::mutex mutex_;  // the table's appends and the running flag
    std::condition_variable wake_;
    bool running_ = true;
    std::thread thread_;
};

// One counter of a call site, registered with the process environment's manager when it is made. Make it
// once and never destroy it (the manager keeps a pointer to its storage):
//     static cmn::UsageCounter* const live = new cmn::UsageCounter("DeviceBase");
class UsageCounter {
public:
    explicit UsageCounter(std::string_view name);
    UsageCounter(const UsageCounter&) = delete;
    UsageCounter& operator=(const UsageCounter&) = delete;

    void Increment() {
        if (manager_) {
            manager_->IncrementCounter(index_);
        }
    }
    void Decrement() {
        if (manager_) {
            manager_->DecrementCounter(index_);
        }
    }
    // The count (0 while it is switched off).
    [[nodiscard]] std::int32_t Value() const { return count_.load(); }

private:
    std::shared_ptr<IUsageCounterManager> manager_;
    std::atomic<std::int32_t> count_{0};
    std::size_t index_ = 0;
};

}  // namespace cmn
