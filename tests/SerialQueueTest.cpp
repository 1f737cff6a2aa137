#include "core/agent/SerialQueue.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

using tarvo::SerialQueue;
using namespace std::chrono_literals;

namespace {

TEST(SerialQueueTest, RunsWorkOneAtATimeByDueTime) {
    SerialQueue queue("test.order");
    std::mutex lock;
    std::vector<int> order;
    std::atomic<int> running{0}, overlapped{0};
    std::promise<void> done;
    auto record = [&](int n) {
        return [&, n] {
            if (++running > 1) ++overlapped;
            std::this_thread::sleep_for(5ms);
            std::lock_guard guard(lock);
            order.push_back(n);
            --running;
        };
    };
    queue.after(60ms, record(3));
    queue.async(record(1));
    queue.async(record(2));
    queue.after(90ms, [&] { done.set_value(); });
    done.get_future().wait();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(overlapped, 0);
}

TEST(SerialQueueTest, RepeatsUntilCancelled) {
    SerialQueue queue("test.timer");
    std::atomic<int> fired{0};
    auto timer = queue.repeating(10ms, 10ms, [&] { ++fired; });
    while (fired < 3)
        std::this_thread::sleep_for(1ms);
    timer->cancel();
    std::this_thread::sleep_for(20ms);
    int after = fired;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(fired, after);
}

// The owner of a queue may be released by the queue's own work, as when
// the last reference to the agent is held by a poll.
TEST(SerialQueueTest, CanBeDroppedFromItsOwnWork) {
    auto queue = std::make_shared<SerialQueue>("test.drop");
    std::promise<void> dropped;
    std::atomic<bool> ranLater{false};
    queue->after(50ms, [&] { ranLater = true; });
    queue->async([&queue, &dropped] {
        EXPECT_TRUE(queue->isCurrent());
        queue.reset();
        dropped.set_value();
    });
    dropped.get_future().wait();
    std::this_thread::sleep_for(80ms);
    EXPECT_FALSE(ranLater) << "work still queued when dropped never runs";
}

} // namespace
