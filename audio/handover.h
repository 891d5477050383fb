#pragma once

#include "audio/wavedevice.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

class TOnAirPlayer;

// The audio-side path from an input to the output it feeds. The input publishes each buffer
// as it starts filling it and counts the frames it writes; the output plays them from the
// frame they are due, or, after a dump, ahead of that, but never past the last frame written.
// Every buffer the input fills is one stretch of the programme: programme frame p is the p-th
// frame handed over.
class THandOver {
public:
    // How the output knows when a handed buffer is due.
    enum class TTiming {
        // Both directions run in the same device cycle on one clock (a JACK client, a duplex
        // stream): a buffer filled at frame f of a cycle plays from frame f of that cycle.
        SharedClock,
        // Separate streams: an output that has run dry starts the next buffer after a fixed
        // cushion of its own frames, so that the two streams' jitter never starves it.
        Cushion,
    };
    struct TBuffer {
        const char* Data = nullptr;
        uint32_t Frames = 0;
        // Programme frame of its first frame.
        uint64_t First = 0;
        // Device time its first frame was captured.
        uint64_t Start = 0;
        // Device time of the frame after its last: the frame it is due to start playing.
        // Written when the buffer is full, so read only then.
        uint64_t DueAt = 0;
    };
    // Buffers handed over and not yet played that the ring holds; the input loses frames
    // rather than pass it. A run holds four.
    static constexpr uint64_t RingSize = 16;

    THandOver(TTiming timing, uint32_t cushionFrames, const TWaveFormat& format, bool floatDevice,
              const TBuildUp& buildUp);
    ~THandOver();

    const TTiming Timing;
    const uint32_t CushionFrames;

    // Input, audio side. Begin publishes a buffer about to be filled (false: the ring is
    // full), Wrote the frames written into it, Complete the buffer full and its due time.
    bool Begin(const char* data, uint32_t frames, uint64_t time);
    void Wrote(uint32_t frames);
    void Complete(uint64_t dueAt);
    // Whether data is a buffer handed over and not yet done with.
    bool Holds(const char* data) const;

    // Output, audio side.
    TOnAirPlayer& Player() { return *OutputPlayer; }
    const TOnAirPlayer& Player() const { return *OutputPlayer; }

    std::array<TBuffer, RingSize> Ring{};
    std::atomic<uint64_t> Started{0};
    std::atomic<uint64_t> Completed{0};
    // Programme frames written.
    std::atomic<uint64_t> Filled{0};
    // Buffers the output is done with (played, skipped, or dropped by a reset).
    std::atomic<uint64_t> Consumed{0};
    std::atomic<bool> InputGone{false};
    std::atomic<bool> OutputGone{false};
    // Set while the output's audio side may read a handed buffer's memory.
    std::atomic<bool> OutputBusy{false};

    // Main thread to output: frames to dump, added up until the audio side takes them.
    std::atomic<uint64_t> DumpRequest{0};
    // Output to main thread: where the programme on air stands.
    std::atomic<int64_t> AheadFrames{0};
    std::atomic<int64_t> BuildUpFrames{0};
    std::atomic<bool> BuildingUp{false};
    std::atomic<bool> Playing{false};
    std::atomic<uint64_t> DumpedFrames{0};

private:
    uint64_t InputFrames = 0;
    std::unique_ptr<TOnAirPlayer> OutputPlayer;
};
