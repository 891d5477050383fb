#pragma once

#include "audio/airrecorder.h"
#include "audio/helddelay.h"
#include "audio/wavedevice.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

class TOnAirPlayer;

// The audio-side path from an input to the output it feeds. The input publishes each buffer
// as it starts filling it and counts the frames it writes; the output plays them from the
// frame they are due, or, after a dump, ahead of that, but never past the last frame written.
// Every buffer the input fills is one stretch of the programme: programme frame p is the p-th
// frame written.
//
// Each frame is due one delay after it was captured, on the input's clock. Where that clock
// jumps (frames the input lost, an xrun) the input sets a mark, so that the frames after the
// jump are due that much later: the schedule is exact without any buffer being complete.
class THandOver {
public:
    // How the output's clock relates to the input's.
    enum class TTiming {
        // Both directions run in the same device cycle on one clock (a JACK client, a duplex
        // stream): a frame due at time t plays at time t.
        SharedClock,
        // Separate streams with clocks of their own: the output places the input's schedule on
        // its clock a fixed cushion late, so that the two streams' jitter never starves it, and
        // follows the drift between the clocks.
        Cushion,
    };
    struct TBuffer {
        const char* Data = nullptr;
        uint32_t Frames = 0;
        // Programme frame of its first frame.
        uint64_t First = 0;
    };
    // Buffers handed over and not yet played that the ring holds; the input loses frames
    // rather than pass it. A run holds four.
    static constexpr uint64_t RingSize = 16;
    // Marks of the input's clock kept; the output reads the newer half only, so that the input
    // never rewrites one being read.
    static constexpr uint64_t MarkRingSize = 256;
    static constexpr uint64_t Never = std::numeric_limits<uint64_t>::max();
    // What the output played is kept this long: the window reads 10 s either side of a dump's
    // crossfade, and has a few seconds more to get to it.
    static constexpr uint32_t AirSeconds = 25;

    THandOver(TTiming timing, uint32_t cushionFrames, const TWaveFormat& format, bool floatDevice,
              const TBuildUp& buildUp);
    ~THandOver();

    const TTiming Timing;
    const uint32_t CushionFrames;

    // Input, audio side. Begin publishes a buffer about to be filled (false: the ring is
    // full), Wrote frames written into it captured from device time on, Complete the buffer
    // full, Lost frames that had nowhere to go.
    bool Begin(const char* data, uint32_t frames);
    void Wrote(uint32_t frames, uint64_t time);
    void Complete();
    void Lost();
    // Whether data is a buffer handed over and not yet done with.
    bool Holds(const char* data) const;
    // Main thread: programme frames [from, from + frames) into pcm; false when any of them is
    // not written or its buffer has been begun again. What a dump skipped stays there for at
    // least two delays: the input begins a buffer again only after the three others.
    bool CopyProgramme(uint64_t from, uint64_t frames, uint32_t frameBytes, char* pcm) const;

    // The delay's file, its buffers being the input's: the input keeps its header current,
    // and the programme a resumed one holds goes on air first, each frame one delay after its
    // capture, as if the program had never stopped. Main thread, before the input starts.
    void KeepHeld(const THeldDelayFile& file);
    // Output, audio side: a dump went on to programme frame to; a held delay keeps it.
    void RecordDump(uint64_t to) {
        if (HeldHeader)
            HeldHeader->RecordDump(to);
    }

    // Output, audio side. The input-clock time programme frame is due, for a frame written or
    // the next to be; Never before the input wrote anything. Where marks have been let go of,
    // later than the truth, never earlier.
    uint64_t DueOf(uint64_t frame) const;
    // The first programme frame due at or after time, at most limit.
    uint64_t FirstDueFrom(uint64_t time, uint64_t limit) const;
    // The first frame after frame where the schedule jumps; Never if none is written yet.
    uint64_t NextJumpAfter(uint64_t frame) const;
    // The delay in frames: a frame is due this long after it was captured.
    uint64_t DelayFrames() const { return Delay.load(std::memory_order_acquire); }

    TOnAirPlayer& Player() { return *OutputPlayer; }
    const TOnAirPlayer& Player() const { return *OutputPlayer; }

    std::array<TBuffer, RingSize> Ring{};
    std::atomic<uint64_t> Started{0};
    std::atomic<uint64_t> Completed{0};
    // Programme frames written.
    std::atomic<uint64_t> Filled{0};
    // Buffers the output is done with (played, skipped, or dropped by a reset).
    std::atomic<uint64_t> Consumed{0};
    // The input is losing frames now: a gap on air then is its loss, counted there.
    std::atomic<bool> Losing{false};
    std::atomic<bool> InputGone{false};
    std::atomic<bool> OutputGone{false};
    // Set while the output's audio side may read a handed buffer's memory.
    std::atomic<bool> OutputBusy{false};

    // Main thread to output: frames to dump, added up until the audio side takes them.
    std::atomic<uint64_t> DumpRequest{0};
    // Output to main thread: dumps answered, and why the last was refused.
    std::atomic<uint64_t> DumpsAnswered{0};
    std::atomic<TDumpRefusal> LastRefusal{TDumpRefusal::None};
    // Output to main thread: where the programme on air stands.
    std::atomic<int64_t> AheadFrames{0};
    std::atomic<int64_t> BuildUpFrames{0};
    std::atomic<bool> BuildingUp{false};
    std::atomic<bool> Playing{false};
    std::atomic<uint64_t> DumpedFrames{0};
    // Output to main thread, told with the answer: the programme frames the last dump taken
    // skipped, and the frame of Air its crossfade began on.
    std::atomic<uint64_t> DumpFrom{0};
    std::atomic<uint64_t> DumpTo{0};
    std::atomic<uint64_t> DumpAiredAt{0};
    // What the output played, for the evidence of a dump.
    TAirRecorder Air;
    // Separate clocks: how much faster the output's runs than the input's, in millionths, and
    // the times the output re-aligned with it.
    std::atomic<double> DriftPpm{0.0};
    std::atomic<uint64_t> Realignments{0};
    // A run that resumed a held delay, and the frames of the time between its newest frame
    // and the input's first, with any held programme not yet aired in the buffer the input
    // fills first, which the input counts as lost once it knows them.
    std::atomic<bool> Resumed{false};
    std::atomic<uint64_t> DowntimeFrames{0};

    // Main thread to output: leave the delay for live, or build it up again from live.
    std::atomic<bool> ExitRequest{false};
    std::atomic<bool> BuildRequest{false};
    // Output to main thread.
    std::atomic<TAirMode> Mode{TAirMode::Delayed};

    // Main thread to input: hold what it captures off the delay, for a cough.
    std::atomic<bool> CoughHeld{false};
    // Input, audio side: whether the frames captured now are held off. They are never
    // written, so the frames after the hold follow those before it back to back and the
    // schedule's jump over the hold is an ordinary mark: each frame stays due one delay after
    // its own capture, and nothing plays early once the delay is built up again. Where the
    // hold began goes to the output, which plays the frames after it at once instead of
    // silence for the hold, and builds the delay up again.
    bool HoldOff();
    // Programme frames at which holds began, for the output; it reads the newer half.
    static constexpr uint64_t CoughRingSize = 16;
    std::array<std::atomic<uint64_t>, CoughRingSize> CoughFrames{};
    std::atomic<uint64_t> CoughCount{0};

private:
    struct TMark {
        // From this programme frame on, frame f is due at Due + (f - Frame).
        std::atomic<uint64_t> Frame{0};
        std::atomic<uint64_t> Due{0};
    };
    // The index of the newest mark at or before frame, or -1: none readable.
    int64_t MarkAt(uint64_t frame, uint64_t count) const;
    // On the input's first frames, captured from device time on: the held programme's marks
    // placed on the input's clock, written unpublished; returns how many.
    uint64_t PlaceHeld(uint32_t frames, uint64_t time);
    // The input's clock stepped back to time: it had run ahead of a jump in its host's stamps
    // that came back. The marks placed that far ahead go back onto the line through time.
    void TakeBackRunAhead(uint64_t count, uint64_t time);
    // Where a held mark's first frame was captured on the input's clock, for a live frame
    // captured at time and liveNs: exact when the clock is the one it was captured on.
    int64_t DeviceTimeOf(const THeldMark& mark, uint64_t time, int64_t liveNs) const;

    std::array<TMark, MarkRingSize> Marks{};
    std::atomic<uint64_t> MarkCount{0};
    std::atomic<uint64_t> Delay{0};
    // Input side only.
    uint64_t InputFrames = 0;
    uint64_t NextCapture = 0;
    THeldHeader* HeldHeader = nullptr;
    std::array<const char*, THeldHeader::BufferCount> HeldBuffers{};
    uint32_t HeldRate = 0;
    THeldProgramme Held;
    bool PlacingHeld = false;
    bool Holding = false;
    std::unique_ptr<TOnAirPlayer> OutputPlayer;
};
