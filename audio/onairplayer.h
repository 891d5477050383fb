#pragma once

#include "audio/handover.h"
#include "audio/stretcher.h"

#include <cstdint>
#include <vector>

// The output's audio side of a hand-over: plays each handed buffer from the frame it is due,
// bit for bit. A dump skips ahead within the buffers, joined by a short crossfade; the
// build-up after it plays time-stretched until the programme is back on schedule, then
// crossfades back to plain playing. Everything it needs is allocated when it is made.
class TOnAirPlayer {
public:
    TOnAirPlayer(THandOver& link, const TWaveFormat& format, bool floatDevice,
                 const TBuildUp& buildUp);

    struct TOutcome {
        // Buffers the output finished with: the main thread has headers to return.
        bool Consumed = false;
        // A buffer was due and had nothing to play.
        uint32_t Underruns = 0;
    };

    // Audio side: fills frames of target, time being the device time of its first frame.
    TOutcome Play(uint8_t* target, uint32_t frames, uint64_t time);
    // Audio side, once the input is gone: lets go of every buffer unplayed.
    bool DropAll();
    bool PlayedAny() const { return HasPlayed; }
    // Main thread, the audio side stopped: drops every full buffer, so that the output plays
    // again from the next one the input fills.
    void DropComplete();

private:
    enum class TPhase { Scheduled, Stretching };
    // A crossfade in progress: from what played before to plain programme at ToFrame.
    struct TFade {
        uint32_t Left = 0;
        // Plain programme at FromFrame, or else the stretcher.
        bool FromPlain = false;
        uint64_t FromFrame = 0;
        uint64_t ToFrame = 0;
        // Whether the build-up starts after it (a dump) or plain playing resumes (its end).
        bool ThenStretch = false;
    };

    void PlayScheduled(uint8_t*& target, uint32_t& frames, uint64_t& time);
    // Plays at most frames while ahead of schedule or fading; returns how many it played.
    uint32_t PlayAhead(uint8_t* target, uint32_t frames, uint64_t time);
    void TakeDump(uint32_t periodFrames);
    void EndFade(uint64_t time);
    // Frames of programme at frame into samples, at most count: fewer where the input has
    // not written them yet.
    uint32_t ReadPlain(uint64_t frame, float* samples, uint32_t count);
    uint32_t ReadStretched(float* samples, uint32_t count);
    // Where programme frame lies in memory, and how many frames follow it there; nullptr when
    // it is not written yet.
    const char* Locate(uint64_t frame, uint32_t& count) const;
    // Whether the input lost frames just before programme frame, the first of a buffer.
    bool HoleBefore(uint64_t frame) const;
    // Moves the schedule to frame and lets go of every buffer wholly before it.
    void PassTo(uint64_t frame);
    // A buffer was due and had nothing to play: counted once until something plays again.
    void MarkDry();
    void ToDevice(const float* samples, uint8_t* target, uint32_t frames) const;
    void Silence(uint8_t* target, uint32_t frames) const;
    void Publish();

    THandOver& Link;
    const TWaveFormat Format;
    const bool FloatDevice;
    const uint32_t DeviceFrameBytes;
    const uint32_t FadeFrames;
    TStretcher Stretcher;

    TPhase Phase = TPhase::Scheduled;
    TOutcome Outcome;
    // Buffers done with, and the programme frame due now: the next to play when on schedule.
    uint64_t Done = 0;
    int64_t Due = 0;
    // Scheduled: whether the next frame's buffer is under way, and the device time it began.
    bool InBuffer = false;
    uint64_t BufferDueAt = 0;
    uint64_t LastEnd = 0;
    bool HasPlayed = false;
    bool Dry = false;
    bool AwaitingStart = false;
    // Ahead of schedule: the programme frame the ear has reached (fractional while
    // stretching), and the next frame the stretcher is fed.
    double Heard = 0.0;
    uint64_t FeedFrame = 0;
    // The stretcher's feed reached frames the input lost: the build-up ends there.
    bool HoleAhead = false;
    TFade Fade;
    std::vector<float> FromSamples;
    std::vector<float> ToSamples;
    std::vector<float> FeedSamples;
};
