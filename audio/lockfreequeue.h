#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

// Single producer, single consumer, fixed capacity: the one way values cross between the audio
// thread and the main thread. Push and Pop never allocate, lock or block.
template <class T> class TLockFreeQueue {
public:
    explicit TLockFreeQueue(size_t capacity) : Slots(capacity + 1) {}

    // Producer side; false when full.
    bool Push(const T& value) {
        const size_t tail = Tail.load(std::memory_order_relaxed);
        const size_t next = Advance(tail);
        if (next == Head.load(std::memory_order_acquire))
            return false;
        Slots[tail] = value;
        Tail.store(next, std::memory_order_release);
        return true;
    }

    // Consumer side; false when empty.
    bool Pop(T& value) {
        const size_t head = Head.load(std::memory_order_relaxed);
        if (head == Tail.load(std::memory_order_acquire))
            return false;
        value = Slots[head];
        Head.store(Advance(head), std::memory_order_release);
        return true;
    }

private:
    size_t Advance(size_t index) const { return index + 1 == Slots.size() ? 0 : index + 1; }

    std::vector<T> Slots;
    alignas(64) std::atomic<size_t> Head{0};
    alignas(64) std::atomic<size_t> Tail{0};
};
