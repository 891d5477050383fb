#pragma once

// A linked run without a device: the input writes a period into four buffers of one delay
// each, as a run has, and the output plays one, in the order of a JACK cycle. It remembers
// which programme frame it captured when, so that what plays can be checked against it.

#include "audio/handover.h"
#include "audio/onairplayer.h"

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

class TLinkedRun {
public:
    static constexpr uint32_t MostFrames = 8192;

    // signal gives the sample at an index of the four buffers' samples in turn; noise if none.
    TLinkedRun(const TWaveFormat& format, uint32_t delayFrames, const TBuildUp& buildUp,
               uint64_t startTime = 0, uint64_t mostTime = 0,
               const std::function<int16_t(size_t)>& signal = {})
        : Link(THandOver::TTiming::SharedClock, 0, format, true, buildUp),
          Channels(format.Channels), DelayFrames(delayFrames),
          Output(size_t(MostFrames) * Channels), Time(startTime), StartTime(startTime),
          FrameAt(mostTime, -1) {
        uint32_t noise = 1;
        size_t index = 0;
        for (std::vector<int16_t>& buffer : Buffers) {
            buffer.resize(size_t(delayFrames) * Channels);
            for (int16_t& sample : buffer) {
                noise = noise * 1664525u + 1013904223u;
                sample = signal ? signal(index++) : int16_t(noise >> 16);
            }
        }
    }

    // One cycle of frames, at most MostFrames; none are captured while a cough holds them off.
    void Cycle(uint32_t frames) {
        if (Link.HoldOff()) {
            Play(frames);
            return;
        }
        for (uint32_t done = 0; done < frames;) {
            if (Written == 0)
                Link.Begin(reinterpret_cast<const char*>(Buffers[Filling % Buffers.size()].data()),
                           DelayFrames);
            const uint32_t count = std::min(frames - done, DelayFrames - Written);
            Link.Wrote(count, Time + done + InputAhead);
            for (uint32_t frame = 0; frame < count; ++frame)
                Remember(Time + done + frame);
            Written += count;
            done += count;
            if (Written == DelayFrames) {
                Link.Complete();
                Written = 0;
                ++Filling;
            }
        }
        Play(frames);
    }
    // A cycle whose input frames the input lost: the output plays on.
    void Lose(uint32_t frames) {
        Link.Lost();
        Play(frames);
    }
    // An xrun: both directions lose frames of time.
    void Jump(uint32_t frames) { Time += frames; }
    // The input places what it captures that many frames late, as while a jump in its stamps
    // is watched; 0 once the jump came back.
    void RunInputAhead(uint32_t frames) { InputAhead = frames; }

    // What the last cycle played, first channel, frame by frame: the sample it should have
    // played on schedule (late frames after its capture, live with none), and what it did.
    float Expected(uint32_t frame, uint64_t late) const {
        const uint64_t captured = LastTime + frame - late;
        if (LastTime + frame < late + StartTime || captured - StartTime >= FrameAt.size())
            return 0.0f;
        const int64_t programme = FrameAt[captured - StartTime];
        if (programme < 0)
            return 0.0f;
        const std::vector<int16_t>& buffer = Buffers[size_t(programme / DelayFrames) % 4];
        return float(buffer[size_t(programme % DelayFrames) * Channels]) / 32768.0f;
    }
    float Played(uint32_t frame) const { return Output[size_t(frame) * Channels]; }

    THandOver Link;

private:
    void Play(uint32_t frames) {
        Link.Player().Play(reinterpret_cast<uint8_t*>(Output.data()), frames, Time);
        LastTime = Time;
        Time += frames;
    }
    void Remember(uint64_t time) {
        if (time - StartTime < FrameAt.size())
            FrameAt[time - StartTime] = Programme;
        ++Programme;
    }

    const uint32_t Channels;
    const uint32_t DelayFrames;
    std::array<std::vector<int16_t>, 4> Buffers;
    // Allocated once: the cycles make no call to the allocator of their own.
    std::vector<float> Output;
    uint64_t Time = 0;
    uint64_t InputAhead = 0;
    uint64_t LastTime = 0;
    const uint64_t StartTime;
    uint32_t Written = 0;
    size_t Filling = 0;
    int64_t Programme = 0;
    // The programme frame captured at each time from the start, -1 where none was.
    std::vector<int64_t> FrameAt;
};
