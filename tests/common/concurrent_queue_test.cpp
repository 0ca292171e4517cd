#include "common/concurrent_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ConcurrentQueue, PushTellsWhetherTheQueueWasEmpty) {
    ConcurrentQueue<std::string> q;
    EXPECT_FALSE(q.TryPop().has_value());
    EXPECT_TRUE(q.Push("a"));
    EXPECT_FALSE(q.PushAll(std::list<std::string>{"b", "c"}));
    EXPECT_EQ(q.TryPop(), "a");
    q.Clear();
    EXPECT_TRUE(q.PushAll(std::list<std::string>{"d"}));
}

TEST(ConcurrentQueue, ConcurrentUseLosesDuplicatesAndReordersNothing) {
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 20000;
    ConcurrentQueue<std::pair<int, int>> q;  // (producer, sequence)
    std::atomic<int> producing{kProducers};
    std::vector<std::vector<int>> received(2);
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; i += 2) {
                q.PushAll(std::vector<std::pair<int, int>>{{p, i}});
                q.Push({p, i + 1});
            }
            --producing;
        });
    }
    for (auto& items : received) {
        threads.emplace_back([&] {
            std::vector<int> last(kProducers, -1);
            for (bool done = false; !done;) {
                done = producing == 0;
                while (auto item = q.TryPop()) {
                    EXPECT_GT(item->second, last[static_cast<std::size_t>(item->first)]) << "out of order";
                    last[static_cast<std::size_t>(item->first)] = item->second;
                    items.push_back(item->first * kPerProducer + item->second);
                }
                std::this_thread::yield();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::vector<int> all = received[0];
    all.insert(all.end(), received[1].begin(), received[1].end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kProducers * kPerProducer));
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a duplicate";
}

}  // namespace
