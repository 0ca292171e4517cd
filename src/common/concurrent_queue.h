// A first-in-first-out queue guarded by one mutex.
//
// The queue neither waits nor wakes anyone: a consumer polls it from its own loop, and a producer uses
// the result of Push (true when the queue was empty) to decide whether to wake the consumer.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

template <class T>
class ConcurrentQueue {
public:
    ConcurrentQueue() = default;
    virtual ~ConcurrentQueue() = default;
    ConcurrentQueue(const ConcurrentQueue&) = delete;
    ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

    // Appends the item at the back; true when the queue was empty just before.
    bool Push(T item) {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool wasEmpty = items_.empty();
        items_.push_back(std::move(item));
        return wasEmpty;
    }

    // Appends copies of all elements of `items`, in order, under one lock; true when the queue was empty
    // before.
    template <class Range>
    bool PushAll(const Range& items) {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool wasEmpty = items_.empty();
        for (const auto& item : items) {
            items_.push_back(item);
        }
        return wasEmpty;
    }

    // Removes and returns the front item; empty when the queue is empty. Never waits for an item.
    std::optional<T> TryPop() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (items_.empty()) {
            return std::nullopt;
        }
        std::optional<T> item(std::move(items_.front()));
        items_.pop_front();
        return item;
    }

    // Removes all items.
    void Clear() {
        std::deque<T> dropped;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            dropped.swap(items_);
        }
        // The items are destroyed outside the lock: their destructors may take other locks.
    }

    [[nodiscard]] std::size_t Size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.size();
    }

    [[nodiscard]] bool Empty() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return items_.empty();
    }

private:
    mutable std::mutex mutex_;
    std::deque<T> items_;
};
