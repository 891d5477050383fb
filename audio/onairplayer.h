#pragma once

#include "audio/clockdrift.h"
#include "audio/handover.h"
#include "audio/stretcher.h"

#include <cstdint>
#include <vector>

// The output's audio side of a hand-over: plays each programme frame at the time it is due,
// bit for bit, and silence where the input lost frames until what follows is due. A dump skips
// ahead with a short crossfade; the build-up after it plays time-stretched until the programme
// is back on schedule, then crossfades back to plain playing. Exit plays faster through a
// stretcher of its own until next to nothing of the delay is left, then crossfades to what the
// input writes now and plays that, live; Build goes back to the schedule the way a build-up
// does. Nothing ever plays before it is due but for what a dump, a cough or Exit took off the
// delay, and that is measured against the schedule, not counted. Everything it needs is
// allocated when it is made.
class TOnAirPlayer {
public:
    TOnAirPlayer(THandOver& link, const TWaveFormat& format, bool floatDevice,
                 const TBuildUp& buildUp);

    struct TOutcome {
        // Buffers the output finished with: the main thread has headers to return.
        bool Consumed = false;
        // Times a frame was due and had nothing to play, or the output re-aligned with the
        // input's clock: gaps the input's own losses do not account for.
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
    enum class TPhase { Plain, Stretching, Exiting, Live };
    // What one side of a crossfade plays.
    enum class TSource {
        Silence,
        // Programme from a frame on, as it comes, due or not.
        Plain,
        // Programme on schedule: silence until a frame is due.
        Scheduled,
        Stretcher,
    };
    struct TFade {
        uint32_t Left = 0;
        TSource From = TSource::Silence;
        uint64_t FromFrame = 0;
        TSource To = TSource::Silence;
        uint64_t ToFrame = 0;
        // What plays after it: a phase's stretcher, restarted at ToFrame under a second
        // crossfade (after a dump, or between two stretchers), or plain playing, on schedule
        // or live.
        TPhase Then = TPhase::Plain;
    };

    // Each plays at most frames and returns how many it played.
    uint32_t PlayPlain(uint8_t* target, uint32_t frames, uint64_t time);
    uint32_t PlayAhead(uint8_t* target, uint32_t frames, uint64_t time);
    uint32_t PlayExiting(uint8_t* target, uint32_t frames, uint64_t time);
    uint32_t PlayLive(uint8_t* target, uint32_t frames, uint64_t time);
    // Plays what the input wrote from Next on, silence where it has not.
    uint32_t PlayWritten(uint8_t* target, uint32_t frames);
    // Plays the active stretcher until the ear has gained left frames on its output.
    uint32_t PlayStretched(uint8_t* target, uint32_t frames, double left);
    // Exit and Build, asked for by the main thread.
    void TakeConsoleRequest(uint64_t time);
    // The stretcher of phase restarted at frame, as the ear goes on from there.
    void StretchFrom(uint64_t frame, TPhase phase);
    void BuildUpFrom(uint64_t frame, uint64_t time);
    TStretcher& Active() { return Phase == TPhase::Exiting ? ExitStretcher : Stretcher; }
    // The programme frame captured at output time time: what plays then when live.
    uint64_t LiveFrame(uint64_t time) const;
    // Whether frame follows a cough's hold; lets go of the holds before it.
    bool AtCough(uint64_t frame);
    void StartBuildUpAtStart(uint64_t time);
    // A resumed run: starts from the first held frame due now.
    void SkipHeldAired(uint64_t time);
    void TakeDump(uint32_t periodFrames, uint64_t time);
    void Answer(TDumpRefusal refusal);
    void StartFade(TSource from, uint64_t fromFrame, TSource to, uint64_t toFrame, TPhase then);
    // From the active stretcher to the other one, as the ear goes on.
    void SwitchStretchers(TPhase phase);
    void EndFade();
    // The earliest programme frame a source still reads, frame being where it stands.
    uint64_t Needs(TSource source, uint64_t frame) const;
    // Separate clocks: places the input's schedule on the output's clock and follows drift.
    void FollowInputClock(uint64_t time);
    // The first frame due at output time or later, at most limit.
    uint64_t DueNow(uint64_t time, uint64_t limit) const;
    // Output time programme frame is due; THandOver::Never before anything is placed.
    uint64_t OutDue(uint64_t frame) const;
    // Output time of the fractional frame heard while stretching.
    double OutDueHeard() const;
    // Fills count frames of samples from source, advancing frame; time is the output time of
    // the first. Missing frames are silence.
    void ReadSource(TSource source, uint64_t& frame, uint64_t time, float* samples, uint32_t count);
    // Frames of programme at frame into samples, at most count: fewer where the input has
    // not written them yet.
    uint32_t ReadPlain(uint64_t frame, float* samples, uint32_t count);
    uint32_t ReadStretched(float* samples, uint32_t count);
    // Where programme frame lies in memory, and how many frames follow it there; nullptr when
    // it is not written yet.
    const char* Locate(uint64_t frame, uint32_t& count) const;
    // Frames from frame on that play back to back on schedule: up to the next jump.
    uint32_t ScheduledRun(uint64_t frame, uint32_t most) const;
    // Lets go of every buffer wholly before frame.
    void PassTo(uint64_t frame);
    // Something was due and had nothing to play: counted once until something plays again,
    // and not at all while the input is losing frames, which counts them itself.
    void MarkDry();
    void ToDevice(const float* samples, uint8_t* target, uint32_t frames) const;
    void Silence(uint8_t* target, uint32_t frames) const;
    void Publish(uint64_t time);

    THandOver& Link;
    const TWaveFormat Format;
    const bool FloatDevice;
    const uint32_t DeviceFrameBytes;
    const uint32_t FadeFrames;
    TStretcher Stretcher;
    TStretcher ExitStretcher;

    TPhase Phase = TPhase::Plain;
    TOutcome Outcome;
    // Buffers done with, and the next programme frame to play when plain.
    uint64_t Done = 0;
    uint64_t Next = 0;
    bool HasPlayed = false;
    bool Dry = false;
    bool AwaitingStart = false;
    // The answer to a dump taken this cycle, told once the cycle's state is published.
    bool Answering = false;
    TDumpRefusal Refusal = TDumpRefusal::None;
    // Output time minus input time of the schedule: 0 on a shared clock.
    int64_t Offset = 0;
    bool Placed = false;
    // Separate clocks: the least output-minus-input time seen in the current second, the
    // first second's, and the drift measured from every second's since.
    int64_t WindowLeast = 0;
    uint64_t WindowStart = 0;
    bool HaveReference = false;
    int64_t ReferenceLeast = 0;
    uint64_t ReferenceTime = 0;
    TClockDrift Drift;
    // Stretching: the programme frame the ear has reached (fractional), and the next frame
    // the stretcher is fed.
    double Ear = 0.0;
    uint64_t FeedFrame = 0;
    TFade Fade;
    // Coughs the output has reached or passed.
    uint64_t CoughsTaken = 0;
    std::vector<float> FromSamples;
    std::vector<float> ToSamples;
    std::vector<float> FeedSamples;
};
