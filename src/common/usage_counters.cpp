#include "common/usage_counters.h"

#include "common/environment.h"
#include "platform/calendar_time.h"
#include "platform/utf8.h"

namespace cmn {

namespace {

constexpr const wchar_t* kStatisticsStream = L"UsageCounters-Stat";

}  // namespace

UsageCounterManager::UsageCounterManager(std::shared_ptr<IDebugLog> log, IClock& wallClock,
                                         std::chrono::milliseconds poll)
    : log_(std::move(log)), clock_(wallClock), poll_(poll), entries_(new Entry[kMaxCounters]) {
    thread_ = std::thread([this] { StatisticsMain(); });
}

UsageCounterManager::~UsageCounterManager() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool UsageCounterManager::StreamOff(std::wstring_view stream) const {
    return log_ && log_->GetLogStreamState(stream) == kLogStreamOff;
}

void UsageCounterManager::Write(const std::wstring& line) const {
    if (log_) {
        log_->Write(line);
    }
}

void UsageCounterManager::RegisterCounter(std::string_view name, std::atomic<std::int32_t>& counter,
                                          std::size_t& index) {
    const std::wstring wide = Utf8ToWide(name);
    if (StreamOff(kStatisticsStream) || StreamOff(L"counter." + wide)) {
        index = kCounterOff;
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t size = size_.load(std::memory_order_relaxed);
    if (index != 0) {
        if (index != kCounterOff && index - 1 < size && entries_[index - 1].name == name) {
            Write(FormatLine(L"<> RegisterCounter: Usage counter exists \"%ls\" [%zu] = %ld", wide.c_str(),
                             index, static_cast<long>(entries_[index - 1].counter->load())));
            return;
        }
        Write(FormatLine(
            L"<> RegisterCounter: Invalid usage counter index or name mismatch \"%ls\" [%zu]; reassign",
            wide.c_str(), index));
        index = 0;
    }
    for (std::size_t p = 0; p < size; ++p) {
        if (entries_[p].name == name) {
            index = p + 1;
            Write(FormatLine(L"<> RegisterCounter: Duplicate usage counter \"%ls\" [%zu] = %ld", wide.c_str(),
                             index, static_cast<long>(entries_[p].counter->load())));
            return;
        }
    }
    if (size >= kMaxCounters) {
        if (!fullReported_) {
            fullReported_ = true;
            Write(FormatLine(
                L"<> RegisterCounter: Usage counter table full (%zu counters, its limit); \"%ls\" and "
                L"every further new counter are not counted",
                kMaxCounters, wide.c_str()));
        }
        index = kCounterOff;
        return;
    }
    counter.store(0);
    entries_[size].name = std::string(name);
    entries_[size].wideName = wide;
    entries_[size].counter = &counter;
    size_.store(size + 1, std::memory_order_release);
    index = size + 1;
    Write(FormatLine(L"<> RegisterCounter: Create usage counter \"%ls\" [%zu] = %ld", wide.c_str(), index,
                     static_cast<long>(counter.load())));
}

std::atomic<std::int32_t>* UsageCounterManager::Find(std::size_t index, const wchar_t* format) {
    if (index == 0 || index == kCounterOff) {
        return nullptr;
    }
    if (index - 1 >= size_.load(std::memory_order_acquire)) {
        Write(FormatLine(format, index - 1));
        return nullptr;
    }
    return entries_[index - 1].counter;
}

void UsageCounterManager::IncrementCounter(std::size_t index) {
    if (std::atomic<std::int32_t>* counter =
            Find(index, L"<> IncrementCounter: Invalid usage counter index [%zu]; increment ignored")) {
        counter->fetch_add(1);
    }
}

void UsageCounterManager::DecrementCounter(std::size_t index) {
    if (std::atomic<std::int32_t>* counter =
            Find(index, L"<> DecrementCounter: Invalid usage counter index [%zu]; decrement ignored")) {
        counter->fetch_sub(1);
    }
}

void UsageCounterManager::StatisticsMain() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::int64_t window = platform::FloorDiv(clock_.NowMs(), kWindowMs);
    while (running_) {
        // A wake-up before the poll is over (the destructor, or a spurious one) looks at the clock too;
        // the window rule alone decides whether to write.
        wake_.wait_for(lock, poll_);
        if (!running_) {
            break;
        }
        const std::int64_t now = platform::FloorDiv(clock_.NowMs(), kWindowMs);
        if (now == window) {
            continue;
        }
        window = now;
        lock.unlock();
        const bool on = WriteStatistics();
        lock.lock();
        if (!on) {
            running_ = false;
        }
    }
}

bool UsageCounterManager::WriteStatistics() {
    std::wstring record;
    const std::size_t size = size_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < size; ++i) {
        const std::int32_t value = entries_[i].counter->load();
        if (value != 0) {
            record += log_ ? log_->LineBreak : std::wstring(L"\r\n");
            record += FormatLine(L"STATISTICS: <> -- counter \"%ls\" = %ld", entries_[i].wideName.c_str(),
                                 static_cast<long>(value));
        }
    }
    if (record.empty()) {
        return true;
    }
    if (StreamOff(kStatisticsStream)) {
        return false;
    }
    // One record: the heading and a line per counter, so a long table costs the log's per-minute limit
    // one entry.
    Write(L"<> Usage counter statistics <> " + record);
    return true;
}

UsageCounter::UsageCounter(std::string_view name) {
    {
        EnvironmentRef ref;
        GetEnvironment(ref)->GetUsageCounterManager(manager_);
    }
    if (manager_) {
        manager_->RegisterCounter(name, count_, index_);
    }
}

}  // namespace cmn
