#pragma once

// The level meter's measure: each captured buffer becomes two bar positions (RMS, 0..1000) and two
// peak boxes ("ok" at or below a quarter of full scale, "hi" above).

#include "audio/waveread.h"

#include <cstdint>

// What one buffer shows: bar positions before the gauge clamps them, and the peak boxes' state.
struct TLevelReading {
    int32_t LeftProgress = 0;
    int32_t RightProgress = 0;
    bool LeftOk = true;
    bool RightOk = true;
};

// How the buffer is walked: the fastest way this processor has (SSE2 on x86-64), or the plain
// loop every processor runs. Both give the same reading; tests compare them.
enum class TLevelWalk { Fastest, Portable };

// Walks every frame of the buffer (both channels in stereo) and divides each channel's sum of
// squares by the frame count, so a stereo channel reads the same as the same signal in mono.
// An empty buffer reads as silence.
TLevelReading MeasureLevels(const void* Buffer, int32_t SampleCount, const TWaveDataFormat& Format,
                            TLevelWalk Walk = TLevelWalk::Fastest);
