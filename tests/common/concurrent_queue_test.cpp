#include "common/concurrent_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

namespace {

TEST(ConcurrentQueue, PushTellsWhetherTheQueueWasEmpty) {
    ConcurrentQueue<int> q;
    EXPECT_FALSE(q.TryPop().has_value());
    EXPECT_TRUE(q.Push(1));
    EXPECT_FALSE(q.PushAll(std::vector<int>{2, 3}));
    EXPECT_EQ(q.TryPop(), 1);
    q.Clear();
    EXPECT_TRUE(q.Push(4));
}

TEST(ConcurrentQueue, ConcurrentUseLosesDuplicatesAndReordersNothing) {
    constexpr int kProducers = 3;
    constexpr int kEach = 20000;
    ConcurrentQueue<int> q;  // producer * kEach + sequence
    std::atomic<int> producing{kProducers};
    std::vector<int> received[2];
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = p * kEach; i < (p + 1) * kEach; i += 2) {
                q.PushAll(std::vector<int>{i});
                q.Push(i + 1);
            }
            --producing;
        });
    }
    for (auto& items : received) {
        threads.emplace_back([&] {
            std::vector<int> last(kProducers, -1);
            for (bool done = false; !done; std::this_thread::yield()) {
                done = producing == 0;
                while (auto item = q.TryPop()) {
                    EXPECT_GT(*item, std::exchange(last[static_cast<std::size_t>(*item / kEach)], *item));
                    items.push_back(*item);
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    received[0].insert(received[0].end(), received[1].begin(), received[1].end());
    std::sort(received[0].begin(), received[0].end());
    ASSERT_EQ(received[0].size(), static_cast<std::size_t>(kProducers * kEach));
    EXPECT_EQ(std::adjacent_find(received[0].begin(), received[0].end()), received[0].end()) << "a duplicate";
}

}  // namespace
