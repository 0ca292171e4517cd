// The wake event of a session's worker thread: an auto-reset event, initially not signalled.
//
// Signal() lets exactly one wait return (or the next one, when nobody waits); several signals before a
// wait count as one. The event is portable (a mutex and a condition variable), so the worker needs no
// system handle.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace Network {

class JsonUdpWakeEvent {
public:
    JsonUdpWakeEvent() = default;
    JsonUdpWakeEvent(const JsonUdpWakeEvent&) = delete;
    JsonUdpWakeEvent& operator=(const JsonUdpWakeEvent&) = delete;

    void Signal() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }

    // True when the event was signalled (and is now reset), false when the time-out passed first.
    bool Wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        const bool signalled = cv_.wait_for(lock, timeout, [this] { return signalled_; });
        signalled_ = false;
        return signalled;
    }

    // Drops a pending signal.
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace Network
