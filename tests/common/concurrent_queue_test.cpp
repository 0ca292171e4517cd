#include "common/concurrent_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ConcurrentQueue, PushReportsWhetherTheQueueWasEmpty) {
    ConcurrentQueue<int> q;
    EXPECT_FALSE(q.TryPop().has_value()) << "an empty queue returns nothing at once";
    EXPECT_TRUE(q.Push(1));
    EXPECT_FALSE(q.Push(2));
    EXPECT_EQ(q.Size(), 2u);
    EXPECT_EQ(q.TryPop(), 1);
    EXPECT_FALSE(q.Push(3)) << "still one item in it";
    EXPECT_EQ(q.TryPop(), 2);
    EXPECT_EQ(q.TryPop(), 3);
    EXPECT_TRUE(q.Empty());
    EXPECT_TRUE(q.Push(4)) << "empty again";
}

TEST(ConcurrentQueue, ItemsLeaveInPushOrderAlsoAcrossPushAll) {
    ConcurrentQueue<std::string> q;
    EXPECT_TRUE(q.PushAll(std::vector<std::string>{"a", "b"}));
    EXPECT_FALSE(q.Push("c"));
    EXPECT_FALSE(q.PushAll(std::list<std::string>{"d", "e", "f"}));
    EXPECT_FALSE(q.PushAll(std::vector<std::string>{})) << "an empty sequence changes nothing";
    std::string order;
    while (auto item = q.TryPop()) {
        order += *item;
    }
    EXPECT_EQ(order, "abcdef");
    EXPECT_TRUE(q.PushAll(std::vector<std::string>{}))
        << "reports the emptiness before, even when adding nothing";
}

TEST(ConcurrentQueue, MoveOnlyItemsAndClear) {
    ConcurrentQueue<std::unique_ptr<int>> q;
    q.Push(std::make_unique<int>(7));
    q.Push(std::make_unique<int>(8));
    auto first = q.TryPop();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(**first, 7);
    q.Clear();
    EXPECT_TRUE(q.Empty());
    EXPECT_FALSE(q.TryPop().has_value());
}

// An item whose destructor uses the queue it was in: clearing must not hold the queue's lock while items
// are destroyed, or this deadlocks.
struct Reentrant {
    ConcurrentQueue<Reentrant>* queue = nullptr;
    std::atomic<int>* destroyed = nullptr;
    Reentrant() = default;
    Reentrant(ConcurrentQueue<Reentrant>* q, std::atomic<int>* d) : queue(q), destroyed(d) {}
    Reentrant(Reentrant&& o) noexcept : queue(o.queue), destroyed(o.destroyed) {
        o.queue = nullptr;
        o.destroyed = nullptr;
    }
    Reentrant& operator=(Reentrant&&) = delete;
    ~Reentrant() {
        if (queue != nullptr) {
            (void)queue->Size();
            destroyed->fetch_add(1);
        }
    }
};

TEST(ConcurrentQueue, ClearDestroysItemsOutsideTheLock) {
    ConcurrentQueue<Reentrant> q;
    std::atomic<int> destroyed{0};
    q.Push(Reentrant(&q, &destroyed));
    q.Push(Reentrant(&q, &destroyed));
    q.Clear();
    EXPECT_EQ(destroyed.load(), 2);
    EXPECT_TRUE(q.Empty());
}

TEST(ConcurrentQueue, ConcurrentProducersAndConsumersLoseAndDuplicateNothing) {
    constexpr int kProducers = 4;
    constexpr int kConsumers = 3;
    constexpr int kPerProducer = 20000;
    ConcurrentQueue<std::pair<int, int>> q;  // (producer, sequence)
    std::atomic<int> producersDone{0};
    std::atomic<int> emptyTransitions{0};
    std::vector<std::vector<int>> received(kConsumers);
    std::vector<int> orderViolations(kConsumers, 0);

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; i += 2) {
                bool wasEmpty;
                if (i % 4 == 0) {
                    wasEmpty = q.Push({p, i});
                    wasEmpty = q.Push({p, i + 1}) || wasEmpty;
                } else {
                    wasEmpty = q.PushAll(std::vector<std::pair<int, int>>{{p, i}, {p, i + 1}});
                }
                if (wasEmpty) {
                    emptyTransitions.fetch_add(1);
                }
            }
            producersDone.fetch_add(1);
        });
    }
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, c] {
            std::vector<int> last(kProducers, -1);
            for (;;) {
                auto item = q.TryPop();
                if (!item) {
                    if (producersDone.load() == kProducers && q.Empty()) {
                        break;
                    }
                    std::this_thread::yield();
                    continue;
                }
                // One consumer sees each producer's items in increasing order.
                if (item->second <= last[static_cast<std::size_t>(item->first)]) {
                    ++orderViolations[static_cast<std::size_t>(c)];
                }
                last[static_cast<std::size_t>(item->first)] = item->second;
                received[static_cast<std::size_t>(c)].push_back(item->first * kPerProducer + item->second);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }

    std::vector<int> seen(static_cast<std::size_t>(kProducers * kPerProducer), 0);
    for (int c = 0; c < kConsumers; ++c) {
        EXPECT_EQ(orderViolations[static_cast<std::size_t>(c)], 0);
        for (int v : received[static_cast<std::size_t>(c)]) {
            ++seen[static_cast<std::size_t>(v)];
        }
    }
    int missing = 0;
    int duplicated = 0;
    for (int count : seen) {
        missing += count == 0 ? 1 : 0;
        duplicated += count > 1 ? 1 : 0;
    }
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(duplicated, 0);
    EXPECT_GE(emptyTransitions.load(), 1) << "the very first push found the queue empty";
    EXPECT_TRUE(q.Empty());
}

}  // namespace
