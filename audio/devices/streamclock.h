#pragma once

#include <cstdint>

// One direction's device time on the audio side: the frames its host hands over, plus any the
// host skipped. A server can skip a period without a flag or an error (PipeWire behind its ALSA
// plug-in does, under load); only its time stamps show it, running ahead of the frames
// delivered. The clock moves on by the frames skipped, so that a schedule kept in device times
// stays on time: an input's frames after a skip are due as late as they were captured, and an
// output never plays early.
//
// Time stamps jitter, and some devices keep none (all zero): a jump counts only when it is at
// least half a period and still there ConfirmPeriods later; a slow drift between the card's
// clock and the host's is followed, never counted. Audio side only; never allocates.
class TStreamClock {
public:
    // Host time a jump must last before it counts, in periods: a late callback's stamps may
    // wobble by a period for a few catch-up calls and come back.
    static constexpr uint32_t ConfirmPeriods = 4;

    // What the time does while a jump is watched. An input runs ahead by it at once, so that a
    // buffer it completes meanwhile is not due before its frames were captured; should the
    // jump come back, the time steps back, and the frames placed ahead go back onto the line
    // before they are due (the hand-over does that). An output holds
    // on until the jump counts, so that it never waits less than the schedule says.
    enum class TWatch { Hold, RunAhead };

    TStreamClock(uint32_t rate, TWatch watch) : Rate(rate), Watch(watch) {}

    struct TStep {
        // Device time of the period's first frame; never less than the last period's end,
        // but while an input's jump is watched.
        uint64_t Time = 0;
        // Frames the host skipped, found in this period and added to Time; 0 mostly.
        uint64_t Skipped = 0;
        // When Skipped: periods before this one that the jump first showed.
        uint32_t PeriodsSinceJump = 0;
        // Whether the stamps of this period were usable.
        bool Stamped = false;
    };

    // One period of frames. frameStamp: the host's time of its first frame (captured or to be
    // played) and now: the host's time of the call, in seconds, 0 when the host keeps none.
    TStep Advance(uint32_t frames, double frameStamp, double now);

private:
    double Rate;
    TWatch Watch;
    // Device time of the next frame.
    uint64_t Next = 0;
    // Frames handed over in the longest period so far.
    uint32_t Period = 0;
    // The stamp's offset from the device time (in frames) while nothing is skipped.
    bool HasBase = false;
    double Base = 0.0;
    // A jump beyond jitter being watched: the host time it showed and the least it has been.
    bool Jumping = false;
    double JumpSince = 0.0;
    double JumpLeast = 0.0;
    double JumpMost = 0.0;
    uint32_t JumpPeriods = 0;
};
