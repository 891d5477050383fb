#pragma once

#include "audio/wavestream.h"

#include <array>
#include <atomic>
#include <thread>

// What one audio callback serves: a target per direction, reached without locks. A target is
// detached by clearing its slot and waiting out any callback that may still hold it.
template <class T> class TCallbackSlots {
public:
    using TDirection = TWaveStream::TDirection;

    // The target is served from the next callback on.
    void Attach(TDirection direction, T* target) { Slot(direction).store(target); }
    bool Attached(TDirection direction) { return Slot(direction).load() != nullptr; }

    // Returns once no callback holds the target any more.
    void Detach(TDirection direction) {
        Slot(direction).store(nullptr);
        while (Callers.load() != 0)
            std::this_thread::yield();
    }

    // Audio side: call(input, output), either null while detached; a detach waits for it.
    template <class TCall> void Serve(TCall call) {
        Callers.fetch_add(1);
        call(Targets[0].load(), Targets[1].load());
        Callers.fetch_sub(1);
    }

private:
    std::atomic<T*>& Slot(TDirection direction) {
        return Targets[direction == TDirection::Input ? 0 : 1];
    }

    std::array<std::atomic<T*>, 2> Targets{};
    // Callbacks under way that may hold a target.
    std::atomic<int> Callers{0};
};
