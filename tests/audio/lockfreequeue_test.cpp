#include "audio/lockfreequeue.h"

#include <gtest/gtest.h>
#include <thread>

namespace {

TEST(LockFreeQueueTest, KeepsOrderUpToCapacityAcrossWrapping) {
    TLockFreeQueue<int> queue(3);
    int next = 0;
    int expected = 0;
    for (int round = 0; round < 10; ++round) {
        while (queue.Push(next))
            ++next;
        EXPECT_EQ(next - expected, 3) << "round " << round;
        int value;
        // Take two, leave one, so the indices wrap at every position.
        for (int taken = 0; taken < 2; ++taken) {
            ASSERT_TRUE(queue.Pop(value));
            EXPECT_EQ(value, expected++);
        }
    }
    int value;
    ASSERT_TRUE(queue.Pop(value));
    EXPECT_EQ(value, expected);
    EXPECT_FALSE(queue.Pop(value));
}

// One producer thread, one consumer thread: every value arrives once and in order.
TEST(LockFreeQueueTest, HandsValuesBetweenThreadsInOrder) {
    constexpr int Count = 200000;
    TLockFreeQueue<int> queue(16);
    std::thread producer([&] {
        for (int value = 0; value < Count;)
            if (queue.Push(value))
                ++value;
            else
                std::this_thread::yield();
    });
    int expected = 0;
    while (expected < Count) {
        int value;
        if (queue.Pop(value)) {
            ASSERT_EQ(value, expected);
            ++expected;
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
}

} // namespace
