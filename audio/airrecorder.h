#pragma once

#include "audio/wavedevice.h"

#include <atomic>
#include <cstdint>
#include <vector>

// What the output played in the last stretch of time, for the main thread to read after the
// fact: the audio on air around a dump, whose build-up is stretched and can never be made again
// from the delay's buffers. A ring of frames in the device's own sample layout, numbered from
// the run's first, with one writer, the output's audio side, which copies each cycle in and
// never waits or allocates, and one reader, the main thread. The reader copies only frames the
// writer will not reach for at least a second, and checks afterwards that it did not: a reader
// that fell that far behind is told so, never given a mix of old and new.
class TAirRecorder {
public:
    // Main thread, before the run: every byte it will use, written once so that it is there.
    // Not locked: the delay's buffers, taken after it, come first for the locked memory the
    // process may have.
    TAirRecorder(const TWaveFormat& format, bool floatDevice, uint32_t seconds);

    // Audio side: a cycle's frames as they went to the device.
    void Record(const uint8_t* device, uint32_t frames);

    // Main thread: the frames recorded since the run began.
    uint64_t Recorded() const { return Count.load(std::memory_order_acquire); }
    // Main thread: frames [from, from + frames) as PCM of the format into pcm; false when any of
    // them is not recorded yet or is about to be written over.
    bool CopyPcm(uint64_t from, uint64_t frames, char* pcm) const;

private:
    const TWaveFormat Format;
    const bool FloatDevice;
    const uint32_t FrameBytes;
    // Frames the ring holds.
    const uint64_t Capacity;
    std::vector<uint8_t> Memory;
    std::atomic<uint64_t> Count{0};
    // Told by the reader after each copy and taken by the writer each cycle, only so that the
    // writer's later writes over the frames copied come after the copy.
    mutable std::atomic<uint64_t> Copies{0};
};
