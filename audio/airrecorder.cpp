#include "audio/airrecorder.h"

#include "audio/wavesamples.h"

#include <algorithm>
#include <cstring>

TAirRecorder::TAirRecorder(const TWaveFormat& format, bool floatDevice, uint32_t seconds)
    : Format(format), FloatDevice(floatDevice),
      FrameBytes(floatDevice ? format.Channels * uint32_t(sizeof(float)) : format.BlockAlign),
      Capacity(uint64_t(seconds) * format.SamplesPerSec), Memory(Capacity * FrameBytes) {}

void TAirRecorder::Record(const uint8_t* device, uint32_t frames) {
    Copies.load(std::memory_order_acquire);
    const uint64_t count = Count.load(std::memory_order_relaxed);
    for (uint64_t done = 0; done < frames;) {
        const uint64_t at = (count + done) % Capacity;
        const uint64_t run = std::min<uint64_t>(frames - done, Capacity - at);
        std::memcpy(Memory.data() + at * FrameBytes, device + done * FrameBytes, run * FrameBytes);
        done += run;
    }
    Count.store(count + frames, std::memory_order_release);
}

bool TAirRecorder::CopyPcm(uint64_t from, uint64_t frames, char* pcm) const {
    // A second of room before the writer reaches the oldest frame copied: the copy of a few
    // seconds takes milliseconds.
    const uint64_t room = Format.SamplesPerSec;
    const uint64_t before = Recorded();
    if (from + frames > before || before - from > Capacity - room)
        return false;
    const int bytesPerSample = Format.BitsPerSample / 8;
    const uint64_t pcmFrameBytes = Format.BlockAlign;
    for (uint64_t done = 0; done < frames;) {
        const uint64_t at = (from + done) % Capacity;
        const uint64_t run = std::min<uint64_t>(frames - done, Capacity - at);
        DeviceToPcm(Memory.data() + at * FrameBytes, pcm + done * pcmFrameBytes,
                    size_t(run) * Format.Channels, bytesPerSample, FloatDevice);
        done += run;
    }
    Copies.fetch_add(1, std::memory_order_release);
    // A cycle the writer is copying in now is not counted yet: half the room stands for it.
    return Recorded() - from <= Capacity - room / 2;
}
