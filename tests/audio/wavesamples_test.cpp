#include "audio/wavesamples.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

namespace {

// Every PCM value goes to k / 32768 (16-bit) or (u - 128) / 128 (8-bit) and back unchanged.
TEST(WaveSamplesTest, EveryPcmValueSurvivesTheRoundTrip) {
    std::vector<int16_t> words(65536);
    for (int k = -32768; k <= 32767; ++k)
        words[size_t(k + 32768)] = int16_t(k);
    std::vector<float> floats(words.size());
    PcmToFloat(words.data(), floats.data(), words.size(), 2);
    for (size_t i = 0; i < words.size(); ++i)
        ASSERT_EQ(floats[i], float(words[i]) / 32768.0f) << words[i];
    std::vector<int16_t> back(words.size());
    FloatToPcm(floats.data(), back.data(), floats.size(), 2);
    EXPECT_EQ(back, words);

    std::vector<uint8_t> bytes(256);
    for (int u = 0; u < 256; ++u)
        bytes[size_t(u)] = uint8_t(u);
    std::vector<float> byteFloats(256);
    PcmToFloat(bytes.data(), byteFloats.data(), 256, 1);
    for (int u = 0; u < 256; ++u)
        ASSERT_EQ(byteFloats[size_t(u)], float(u - 128) / 128.0f) << u;
    std::vector<uint8_t> byteBack(256);
    FloatToPcm(byteFloats.data(), byteBack.data(), 256, 1);
    EXPECT_EQ(byteBack, bytes);
}

struct TOffGridCase {
    float Sample;
    int Expected16;
    int Expected8;
};

// Off the grid: nearest step with halves to even, clamped to the range; NaN is silence.
const TOffGridCase OffGridCases[] = {
    {0.5f / 32768, 0, 128},
    {1.5f / 32768, 2, 128},
    {-1.5f / 32768, -2, 128},
    {2.5f / 32768, 2, 128},
    {0.4f / 128, 102, 128},
    {0.5f / 128, 128, 128},
    {1.5f / 128, 384, 130},
    {-1.5f / 128, -384, 126},
    {2.5f / 128, 640, 130},
    {1.0f, 32767, 255},
    {2.0f, 32767, 255},
    {-1.0f, -32768, 0},
    {-3.0f, -32768, 0},
    {std::numeric_limits<float>::infinity(), 32767, 255},
    {-std::numeric_limits<float>::infinity(), -32768, 0},
    {std::numeric_limits<float>::quiet_NaN(), 0, 128},
};

TEST(WaveSamplesTest, OffGridSamplesRoundAndClamp) {
    for (const TOffGridCase& row : OffGridCases) {
        int16_t word;
        FloatToPcm(&row.Sample, &word, 1, 2);
        EXPECT_EQ(word, row.Expected16) << row.Sample;
        uint8_t byte;
        FloatToPcm(&row.Sample, &byte, 1, 1);
        EXPECT_EQ(byte, row.Expected8) << row.Sample;
    }
}

TEST(WaveSamplesTest, SilenceBytes) {
    EXPECT_EQ(PcmSilenceByte(1), 128);
    EXPECT_EQ(PcmSilenceByte(2), 0);
}

} // namespace
