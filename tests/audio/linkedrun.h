#pragma once

// A linked run without a device: the input writes a period into four buffers of one delay
// each, as a run has, and the output plays one, in the order of a JACK cycle.

#include "audio/handover.h"
#include "audio/onairplayer.h"

#include <algorithm>
#include <array>
#include <vector>

class TLinkedRun {
public:
    static constexpr uint32_t MostFrames = 8192;

    TLinkedRun(const TWaveFormat& format, uint32_t delayFrames, const TBuildUp& buildUp)
        : Link(THandOver::TTiming::SharedClock, 0, format, true, buildUp),
          Channels(format.Channels), DelayFrames(delayFrames),
          Output(size_t(MostFrames) * Channels) {
        uint32_t noise = 1;
        for (std::vector<int16_t>& buffer : Buffers) {
            buffer.resize(size_t(delayFrames) * Channels);
            for (int16_t& sample : buffer) {
                noise = noise * 1664525u + 1013904223u;
                sample = int16_t(noise >> 16);
            }
        }
    }

    // One cycle of frames, at most MostFrames.
    void Cycle(uint32_t frames) {
        for (uint32_t done = 0; done < frames;) {
            if (Written == 0)
                Link.Begin(reinterpret_cast<const char*>(Buffers[Filling % Buffers.size()].data()),
                           DelayFrames);
            const uint32_t count = std::min(frames - done, DelayFrames - Written);
            Link.Wrote(count, Time + done);
            Written += count;
            done += count;
            if (Written == DelayFrames) {
                Link.Complete();
                Written = 0;
                ++Filling;
            }
        }
        Link.Player().Play(reinterpret_cast<uint8_t*>(Output.data()), frames, Time);
        Time += frames;
    }

    THandOver Link;

private:
    const uint32_t Channels;
    const uint32_t DelayFrames;
    std::array<std::vector<int16_t>, 4> Buffers;
    // Allocated once: the cycles make no call to the allocator of their own.
    std::vector<float> Output;
    uint64_t Time = 0;
    uint32_t Written = 0;
    size_t Filling = 0;
};
