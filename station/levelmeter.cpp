#include "station/levelmeter.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The walk runs on the main thread over the whole delay (hundreds of megabytes for long delays)
// and keeps the sums of squares exact in 64-bit integers. Where SSE2 is there (every x86-64) it
// works on 16-byte blocks; elsewhere a plain loop does the same sums.

namespace {

struct TChannelSums {
    uint64_t SumSquares = 0;
    int32_t Peak = 0;
};

struct TLevelSums {
    TChannelSums Left;
    TChannelSums Right;
};

void Accumulate(TChannelSums& channel, int32_t value) {
    channel.SumSquares += static_cast<uint64_t>(value * value);
    channel.Peak = std::max(channel.Peak, std::abs(value));
}

// 8-bit samples: unsigned bytes, silence at 128.
struct TEightBit {
    using TSample = uint8_t;
    static constexpr int32_t SampleValue(TSample byte) { return int32_t(byte) - 128; }
};

// 16-bit samples: signed little-endian.
struct TSixteenBit {
    using TSample = int16_t;
    static constexpr int32_t SampleValue(TSample sample) { return sample; }
};

// Samples first to end - 1 of bytes, one frame at a time: in stereo the even samples are left,
// the odd ones right, and first and end are even.
template <typename TWidth, bool Stereo>
TLevelSums WalkPortable(const uint8_t* bytes, size_t first, size_t end) {
    const auto value = [bytes](size_t i) {
        typename TWidth::TSample sample;
        // Bytes, not samples: nothing promises the buffer is aligned to its sample size.
        std::memcpy(&sample, bytes + i * sizeof sample, sizeof sample);
        return TWidth::SampleValue(sample);
    };
    TLevelSums sums;
    for (size_t i = first; i < end; i += Stereo ? 2 : 1) {
        Accumulate(sums.Left, value(i));
        if constexpr (Stereo)
            Accumulate(sums.Right, value(i + 1));
    }
    return sums;
}

#if defined(__SSE2__)

constexpr size_t BlockBytes = 16;

void Merge(TChannelSums& into, const TChannelSums& from) {
    into.SumSquares += from.SumSquares;
    into.Peak = std::max(into.Peak, from.Peak);
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

// The 16-bit lanes of the left channel in stereo: the even ones.
__m128i EvenLanes() {
    return _mm_set1_epi32(0x0000FFFF);
}

// Each block adds its squares to unsigned 32-bit lanes, which AddWidened folds into the 64-bit
// sums every BlocksPerFold blocks, before they can overflow.
struct TEightBitVector : TEightBit {
    // A lane gains at most 4 x 128^2 = 2^16 per block.
    template <bool Stereo> static constexpr size_t BlocksPerFold = size_t(1) << 15;

    __m128i Highest = _mm_set1_epi8(char(0x80));
    __m128i Lowest = _mm_set1_epi8(char(0x80));

    template <bool Stereo> void AddSquares(__m128i block, __m128i& left, __m128i& right) const {
        const __m128i zero = _mm_setzero_si128();
        const __m128i bias = _mm_set1_epi16(128);
        const __m128i low = _mm_sub_epi16(_mm_unpacklo_epi8(block, zero), bias);
        const __m128i high = _mm_sub_epi16(_mm_unpackhi_epi8(block, zero), bias);
        if constexpr (Stereo) {
            // A square is at most 2^14, two of them still fit an unsigned 16-bit lane.
            const __m128i squares =
                _mm_add_epi16(_mm_mullo_epi16(low, low), _mm_mullo_epi16(high, high));
            left = _mm_add_epi32(left, _mm_and_si128(squares, EvenLanes()));
            right = _mm_add_epi32(right, _mm_srli_epi32(squares, 16));
        } else {
            left = _mm_add_epi32(
                left, _mm_add_epi32(_mm_madd_epi16(low, low), _mm_madd_epi16(high, high)));
        }
    }
    void TrackPeaks(__m128i block) {
        Highest = _mm_max_epu8(Highest, block);
        Lowest = _mm_min_epu8(Lowest, block);
    }
};

struct TSixteenBitVector : TSixteenBit {
    // A square is at most 2^30: a stereo lane gains one per block, a mono lane two.
    template <bool Stereo> static constexpr size_t BlocksPerFold = Stereo ? 3 : 1;

    __m128i Highest = _mm_setzero_si128();
    __m128i Lowest = _mm_setzero_si128();

    template <bool Stereo> void AddSquares(__m128i block, __m128i& left, __m128i& right) const {
        if constexpr (Stereo) {
            const __m128i leftOnly = _mm_and_si128(block, EvenLanes());
            left = _mm_add_epi32(left, _mm_madd_epi16(leftOnly, leftOnly));
            const __m128i rightOnly = _mm_andnot_si128(EvenLanes(), block);
            right = _mm_add_epi32(right, _mm_madd_epi16(rightOnly, rightOnly));
        } else {
            left = _mm_add_epi32(left, _mm_madd_epi16(block, block));
        }
    }
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

// Whole blocks with SSE2, the samples after the last one one at a time. A block holds an even
// number of samples, so lane parity is channel parity.
template <typename TWidth, bool Stereo>
TLevelSums WalkVector(const uint8_t* bytes, size_t sampleTotal) {
    using TSample = typename TWidth::TSample;
    constexpr size_t samplesPerBlock = BlockBytes / sizeof(TSample);
    const size_t blocks = sampleTotal / samplesPerBlock;

    TWidth width;
    __m128i leftSums = _mm_setzero_si128();
    __m128i rightSums = _mm_setzero_si128();
    // Adds count blocks from block first to the sums.
    const auto fold = [&](size_t first, size_t count) {
        __m128i left = _mm_setzero_si128();
        __m128i right = _mm_setzero_si128();
        for (size_t b = first; b < first + count; ++b) {
            const __m128i block =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + b * BlockBytes));
            width.template AddSquares<Stereo>(block, left, right);
            width.TrackPeaks(block);
        }
        leftSums = AddWidened(leftSums, left);
        if constexpr (Stereo)
            rightSums = AddWidened(rightSums, right);
    };
    constexpr size_t perFold = TWidth::template BlocksPerFold<Stereo>;
    size_t b = 0;
    for (; blocks - b >= perFold; b += perFold)
        fold(b, perFold);
    fold(b, blocks - b);

    TLevelSums sums;
    sums.Left = {HorizontalSum(leftSums), LanePeak(width, 0, Stereo ? 2 : 1)};
    sums.Right = {HorizontalSum(rightSums), Stereo ? LanePeak(width, 1, 2) : 0};
    const TLevelSums tail =
        WalkPortable<TWidth, Stereo>(bytes, blocks * samplesPerBlock, sampleTotal);
    Merge(sums.Left, tail.Left);
    Merge(sums.Right, tail.Right);
    return sums;
}

// The block walk of each sample width.
template <typename TWidth> struct TVectorOf;
template <> struct TVectorOf<TEightBit> { using TVector = TEightBitVector; };
template <> struct TVectorOf<TSixteenBit> { using TVector = TSixteenBitVector; };

#endif

template <typename TWidth, bool Stereo>
TLevelSums Walk(const uint8_t* bytes, size_t sampleTotal, TLevelWalk walk) {
#if defined(__SSE2__)
    if (walk == TLevelWalk::Fastest)
        return WalkVector<typename TVectorOf<TWidth>::TVector, Stereo>(bytes, sampleTotal);
#else
    // The plain walk is the fastest there is.
    (void)walk;
#endif
    return WalkPortable<TWidth, Stereo>(bytes, 0, sampleTotal);
}

TLevelSums WalkBuffer(const void* buffer, size_t frames, const TWaveDataFormat& format,
                      TLevelWalk walk) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const bool eightBit = format.BytesPerSample == 1;
    if (format.Channels == 1)
        return eightBit ? Walk<TEightBit, false>(bytes, frames, walk)
                        : Walk<TSixteenBit, false>(bytes, frames, walk);
    return eightBit ? Walk<TEightBit, true>(bytes, 2 * frames, walk)
                    : Walk<TSixteenBit, true>(bytes, 2 * frames, walk);
}

// Bar position: RMS over the frames against an eighth of full scale, in tenths of a percent.
int32_t LevelProgress(uint64_t sumSquares, size_t frames, double reference) {
    const double rms = std::sqrt(static_cast<double>(sumSquares) / static_cast<double>(frames));
    const double level = rms / reference * 100.0;
    return static_cast<int32_t>(std::nearbyint(level * 10.0));
}

} // namespace

TLevelReading MeasureLevels(const void* Buffer, int32_t SampleCount, const TWaveDataFormat& Format,
                            TLevelWalk Walk) {
    TLevelReading reading;
    if (SampleCount <= 0)
        return reading;
    const auto frames = static_cast<size_t>(SampleCount);
    const TLevelSums sums = WalkBuffer(Buffer, frames, Format, Walk);
    const double fullScale = Format.BytesPerSample == 1 ? 256.0 : 65536.0;
    const double reference = fullScale / 8.0;
    const double threshold = fullScale / 4.0 - 1.0;
    reading.LeftProgress = LevelProgress(sums.Left.SumSquares, frames, reference);
    reading.RightProgress = LevelProgress(sums.Right.SumSquares, frames, reference);
    reading.LeftOk = threshold >= sums.Left.Peak;
    reading.RightOk = threshold >= sums.Right.Peak;
    return reading;
}
