#include "common/concurrent_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ConcurrentQueue, PushTellsWhetherTheQueueWasEmptyAndOrderHolds) {
    ConcurrentQueue<std::string> q;
    EXPECT_FALSE(q.TryPop().has_value());
    EXPECT_TRUE(q.Push("a"));
    EXPECT_FALSE(q.PushAll(std::list<std::string>{"b", "c"}));
    EXPECT_FALSE(q.Push("d"));
    std::string order;
    while (auto item = q.TryPop()) {
        order += *item;
    }
    EXPECT_EQ(order, "abcd");
    EXPECT_TRUE(q.PushAll(std::vector<std::string>{"e"})) << "empty again";
    q.Clear();
    EXPECT_TRUE(q.Push("f"));
}

TEST(ConcurrentQueue, ConcurrentProducersAndConsumersLoseAndDuplicateNothing) {
    constexpr int kProducers = 4;
    constexpr int kConsumers = 3;
    constexpr int kPerProducer = 20000;
    ConcurrentQueue<std::pair<int, int>> q;  // (producer, sequence)
    std::atomic<int> producersDone{0};
    std::vector<std::vector<int>> received(kConsumers);
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; i += 2) {
                if (i % 4 == 0) {
                    q.Push({p, i});
                    q.Push({p, i + 1});
                } else {
                    q.PushAll(std::vector<std::pair<int, int>>{{p, i}, {p, i + 1}});
                }
            }
            ++producersDone;
        });
    }
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, c] {
            std::vector<int> last(kProducers, -1);
            while (true) {
                const bool done = producersDone == kProducers;
                auto item = q.TryPop();
                if (!item) {
                    if (done) {
                        return;
                    }
                    std::this_thread::yield();
                    continue;
                }
                auto& previous = last[static_cast<std::size_t>(item->first)];
                EXPECT_GT(item->second, previous) << "one consumer sees each producer's items in order";
                previous = item->second;
                received[static_cast<std::size_t>(c)].push_back(item->first * kPerProducer + item->second);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::vector<int> seen(kProducers * kPerProducer, 0);
    for (const auto& items : received) {
        for (int v : items) {
            ++seen[static_cast<std::size_t>(v)];
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kProducers * kPerProducer) << "each exactly once";
}

}  // namespace
