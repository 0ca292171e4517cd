#include "devices/ack_tracker.h"

namespace Norvane {

void AckTracker::Expect(std::uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    expected_[id] = false;
}

void AckTracker::Forget(std::uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    expected_.erase(id);
}

void AckTracker::OnAck(std::uint32_t id) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_ = id;
        auto it = expected_.find(id);
        if (it != expected_.end()) {
            it->second = true;
        }
    }
    cv_.notify_all();
}

bool AckTracker::Wait(std::uint32_t id, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = expected_.find(id);
    if (it == expected_.end()) {
        return false;
    }
    // The entry stays in place while we wait: only the waiter itself erases it.
    const bool acked = cv_.wait_for(lock, timeout, [&] { return it->second; });
    expected_.erase(it);
    return acked;
}

std::uint32_t AckTracker::LastAcknowledged() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
}

std::size_t AckTracker::Pending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return expected_.size();
}

}  // namespace Norvane
