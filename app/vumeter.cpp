#include "app/vumeter.h"

#include "controls/gauges.h"
#include "controls/onoffbox.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <emmintrin.h>

// The walk runs on the main thread over the whole delay (hundreds of megabytes for long delays),
// so it works on 16-byte blocks with SSE2, which every x86-64 has, and keeps the sums of squares
// exact in 64-bit integers.

namespace {

struct TChannelSums {
    uint64_t SumSquares = 0;
    int32_t Peak = 0;
};

struct TLevelSums {
    TChannelSums Left;
    TChannelSums Right;
};

constexpr size_t BlockBytes = 16;

void Accumulate(TChannelSums& channel, int32_t value) {
    channel.SumSquares += static_cast<uint64_t>(value * value);
    channel.Peak = std::max(channel.Peak, std::abs(value));
}

// Adds unsigned 32-bit lanes into two 64-bit lanes.
__m128i AddWidened(__m128i sums, __m128i lanes) {
    const __m128i low = _mm_and_si128(lanes, _mm_set1_epi64x(0xFFFFFFFF));
    const __m128i high = _mm_srli_epi64(lanes, 32);
    return _mm_add_epi64(sums, _mm_add_epi64(low, high));
}

uint64_t HorizontalSum(__m128i sums) {
    alignas(16) uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sums);
    return lanes[0] + lanes[1];
}

// Squares of the 16-bit lanes that mask keeps, as sums of neighbouring pairs in 32-bit lanes.
// Two squares of -32768 make 2^31, which only fits unsigned: AddWidened reads them so.
__m128i Squares(__m128i values, __m128i mask) {
    const __m128i kept = _mm_and_si128(values, mask);
    return _mm_madd_epi16(kept, kept);
}

// 8-bit samples: unsigned bytes, silence at 128.
struct TEightBit {
    using TSample = uint8_t;
    static constexpr int32_t SampleValue(TSample byte) { return int32_t(byte) - 128; }

    __m128i Highest = _mm_set1_epi8(char(0x80));
    __m128i Lowest = _mm_set1_epi8(char(0x80));

    // Squares of the block's samples under mask, summed into 32-bit lanes (at most 2^16 each).
    __m128i BlockSquares(__m128i block, __m128i mask) const {
        const __m128i zero = _mm_setzero_si128();
        const __m128i bias = _mm_set1_epi16(128);
        const __m128i low = _mm_sub_epi16(_mm_unpacklo_epi8(block, zero), bias);
        const __m128i high = _mm_sub_epi16(_mm_unpackhi_epi8(block, zero), bias);
        return _mm_add_epi32(Squares(low, mask), Squares(high, mask));
    }
    void TrackPeaks(__m128i block) {
        Highest = _mm_max_epu8(Highest, block);
        Lowest = _mm_min_epu8(Lowest, block);
    }
};

// 16-bit samples: signed little-endian.
struct TSixteenBit {
    using TSample = int16_t;
    static constexpr int32_t SampleValue(TSample sample) { return sample; }

    __m128i Highest = _mm_setzero_si128();
    __m128i Lowest = _mm_setzero_si128();

    __m128i BlockSquares(__m128i block, __m128i mask) const { return Squares(block, mask); }
    void TrackPeaks(__m128i block) {
        Highest = _mm_max_epi16(Highest, block);
        Lowest = _mm_min_epi16(Lowest, block);
    }
};

// Peak magnitude of the lanes first, first + step, ... of the tracked extremes.
template <typename TWidth> int32_t LanePeak(const TWidth& width, size_t first, size_t step) {
    using TSample = typename TWidth::TSample;
    constexpr size_t lanes = BlockBytes / sizeof(TSample);
    alignas(16) TSample highest[lanes];
    alignas(16) TSample lowest[lanes];
    _mm_store_si128(reinterpret_cast<__m128i*>(highest), width.Highest);
    _mm_store_si128(reinterpret_cast<__m128i*>(lowest), width.Lowest);
    int32_t peak = 0;
    for (size_t i = first; i < lanes; i += step)
        peak = std::max({peak, TWidth::SampleValue(highest[i]), -TWidth::SampleValue(lowest[i])});
    return peak;
}

// Walks sampleTotal samples; in stereo even samples are left, odd ones right. A block holds an
// even number of samples, so lane parity is channel parity.
template <typename TWidth, bool Stereo> TLevelSums Walk(const void* buffer, size_t sampleTotal) {
    using TSample = typename TWidth::TSample;
    // Bytes, not samples: nothing promises the buffer is aligned to its sample size.
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    constexpr size_t samplesPerBlock = BlockBytes / sizeof(TSample);
    const size_t blocks = sampleTotal / samplesPerBlock;

    // 16-bit lanes: the left channel's lanes are the even ones in stereo, all of them in mono.
    const __m128i leftMask = Stereo ? _mm_set1_epi32(0x0000FFFF) : _mm_set1_epi32(-1);
    const __m128i rightMask = _mm_set1_epi32(int32_t(0xFFFF0000));
    TWidth width;
    __m128i leftSums = _mm_setzero_si128();
    __m128i rightSums = _mm_setzero_si128();
    for (size_t b = 0; b < blocks; ++b) {
        const __m128i block =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + b * BlockBytes));
        leftSums = AddWidened(leftSums, width.BlockSquares(block, leftMask));
        if constexpr (Stereo)
            rightSums = AddWidened(rightSums, width.BlockSquares(block, rightMask));
        width.TrackPeaks(block);
    }

    TLevelSums sums;
    sums.Left = {HorizontalSum(leftSums), LanePeak(width, 0, Stereo ? 2 : 1)};
    sums.Right = {HorizontalSum(rightSums), Stereo ? LanePeak(width, 1, 2) : 0};
    for (size_t i = blocks * samplesPerBlock; i < sampleTotal; ++i) {
        TSample sample;
        std::memcpy(&sample, bytes + i * sizeof(TSample), sizeof sample);
        const int32_t value = TWidth::SampleValue(sample);
        Accumulate(Stereo && i % 2 == 1 ? sums.Right : sums.Left, value);
    }
    return sums;
}

TLevelSums WalkBuffer(const void* buffer, size_t frames, const TWaveDataFormat& format) {
    const bool eightBit = format.BytesPerSample == 1;
    if (format.Channels == 1)
        return eightBit ? Walk<TEightBit, false>(buffer, frames)
                        : Walk<TSixteenBit, false>(buffer, frames);
    return eightBit ? Walk<TEightBit, true>(buffer, 2 * frames)
                    : Walk<TSixteenBit, true>(buffer, 2 * frames);
}

// Bar position: RMS over the frames against an eighth of full scale, in tenths of a percent.
int32_t LevelProgress(uint64_t sumSquares, size_t frames, double reference) {
    const double rms = std::sqrt(static_cast<double>(sumSquares) / static_cast<double>(frames));
    const double level = rms / reference * 100.0;
    return static_cast<int32_t>(std::nearbyint(level * 10.0));
}

} // namespace

TLevelReading MeasureLevels(const void* Buffer, int32_t SampleCount,
                            const TWaveDataFormat& Format) {
    TLevelReading reading;
    if (SampleCount <= 0)
        return reading;
    const auto frames = static_cast<size_t>(SampleCount);
    const TLevelSums sums = WalkBuffer(Buffer, frames, Format);
    const double fullScale = Format.BytesPerSample == 1 ? 256.0 : 65536.0;
    const double reference = fullScale / 8.0;
    const double threshold = fullScale / 4.0 - 1.0;
    reading.LeftProgress = LevelProgress(sums.Left.SumSquares, frames, reference);
    reading.RightProgress = LevelProgress(sums.Right.SumSquares, frames, reference);
    reading.LeftOk = threshold >= sums.Left.Peak;
    reading.RightOk = threshold >= sums.Right.Peak;
    return reading;
}

void UpdateLevelMeter(const void* Buffer, int32_t SampleCount, const TWaveDataFormat& Format,
                      const TLevelMeterView& View) {
    const TLevelReading reading = MeasureLevels(Buffer, SampleCount, Format);
    View.LeftVU->SetProgress(reading.LeftProgress);
    View.RightVU->SetProgress(reading.RightProgress);
    View.LeftPeak->SetBoxOn(reading.LeftOk);
    View.RightPeak->SetBoxOn(reading.RightOk);
}
