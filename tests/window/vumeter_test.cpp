#include "window/vumeter.h"

#include "controls/gauges.h"
#include "controls/onoffbox.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <ostream>
#include <random>
#include <vector>

namespace {

constexpr TWaveDataFormat Mono8{11025, 1, 1};
constexpr TWaveDataFormat Stereo8{11025, 1, 2};
constexpr TWaveDataFormat Mono16{11025, 2, 1};
constexpr TWaveDataFormat Stereo16{11025, 2, 2};

// Frames of one or two channels, each channel one constant sample value.
std::vector<uint8_t> Constant(const TWaveDataFormat& format, int frames, int left, int right) {
    std::vector<uint8_t> bytes;
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < format.Channels; ++c) {
            const int value = c == 0 ? left : right;
            if (format.BytesPerSample == 1) {
                bytes.push_back(uint8_t(value + 128));
            } else {
                bytes.push_back(uint8_t(value & 0xFF));
                bytes.push_back(uint8_t((value >> 8) & 0xFF));
            }
        }
    }
    return bytes;
}

struct LevelCase {
    const char* name;
    TWaveDataFormat format;
    int frames;
    int left;
    int right;
    TLevelReading expected;
};

void PrintTo(const LevelCase& c, std::ostream* out) {
    *out << c.name;
}

// Every case runs the fastest walk and the plain one, which differ on x86-64.
constexpr TLevelWalk Walks[] = {TLevelWalk::Fastest, TLevelWalk::Portable};

class LevelMeterTest : public testing::TestWithParam<std::tuple<LevelCase, TLevelWalk>> {};

TEST_P(LevelMeterTest, ShowsRmsAgainstAnEighthOfFullScaleAndPeaksAboveAQuarter) {
    const auto& [c, walk] = GetParam();
    const std::vector<uint8_t> buffer = Constant(c.format, c.frames, c.left, c.right);
    const TLevelReading reading = MeasureLevels(buffer.data(), c.frames, c.format, walk);
    EXPECT_EQ(reading.LeftProgress, c.expected.LeftProgress);
    EXPECT_EQ(reading.RightProgress, c.expected.RightProgress);
    EXPECT_EQ(reading.LeftOk, c.expected.LeftOk);
    EXPECT_EQ(reading.RightOk, c.expected.RightOk);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, LevelMeterTest,
    testing::Combine(
        testing::Values(
            LevelCase{"Mono8AtReference", Mono8, 1000, 32, 0, {1000, 0, true, true}},
            LevelCase{"Mono8TwiceReference", Mono8, 1000, 64, 0, {2000, 0, false, true}},
            LevelCase{"Mono8AtThreshold", Mono8, 37, 63, 0, {1969, 0, true, true}},
            LevelCase{"Mono16Half", Mono16, 999, 4096, 0, {500, 0, true, true}},
            LevelCase{"Mono16FullNegative", Mono16, 333, -32768, 0, {4000, 0, false, true}},
            // Every frame of a stereo buffer counts, so one channel reads as it would in mono.
            LevelCase{"Stereo8LeftOnly", Stereo8, 1000, 32, 0, {1000, 0, true, true}},
            LevelCase{"Stereo8OddFrames", Stereo8, 101, 32, 0, {1000, 0, true, true}},
            LevelCase{"Stereo16BothChannels", Stereo16, 1001, 4096, -8192, {500, 1000, true, true}},
            LevelCase{"Stereo8NegativeLeft", Stereo8, 64, -128, 0, {4000, 0, false, true}},
            LevelCase{"Stereo8NegativeRight", Stereo8, 64, 0, -128, {0, 4000, true, false}},
            LevelCase{"Stereo16NegativeRight", Stereo16, 64, 0, -16384, {0, 2000, true, false}},
            LevelCase{
                "Stereo16FullNegative", Stereo16, 64, -32768, -32768, {4000, 4000, false, false}},
            LevelCase{"Silence8", Stereo8, 500, 0, 0, {0, 0, true, true}},
            LevelCase{"Silence16", Stereo16, 500, 0, 0, {0, 0, true, true}},
            LevelCase{"OneFrame", Mono16, 1, 16384, 0, {2000, 0, false, true}},
            // Loud enough for long enough that any partial sum kept in 32 bits would wrap.
            LevelCase{"Mono8LongAndLoud", Mono8, 1100000, -128, 0, {4000, 0, false, true}},
            LevelCase{
                "Stereo8LongAndLoud", Stereo8, 1100000, -128, -128, {4000, 4000, false, false}}),
        testing::ValuesIn(Walks)),
    [](const testing::TestParamInfo<std::tuple<LevelCase, TLevelWalk>>& info) {
        const bool portable = std::get<1>(info.param) == TLevelWalk::Portable;
        return std::string(std::get<0>(info.param).name) + (portable ? "Portable" : "Fastest");
    });

TEST(LevelMeterEmptyTest, EmptyBufferReadsAsSilence) {
    const TLevelReading reading = MeasureLevels(nullptr, 0, Stereo16);
    EXPECT_EQ(reading.LeftProgress, 0);
    EXPECT_EQ(reading.RightProgress, 0);
    EXPECT_TRUE(reading.LeftOk);
    EXPECT_TRUE(reading.RightOk);
}

// The sum of squares one sample at a time, as the walk must equal whatever the buffer holds.
TLevelReading Reference(const uint8_t* bytes, int frames, const TWaveDataFormat& format) {
    double sums[2] = {0, 0};
    int peaks[2] = {0, 0};
    const int channels = format.Channels;
    for (int i = 0; i < frames * channels; ++i) {
        int value;
        if (format.BytesPerSample == 1) {
            value = bytes[i] - 128;
        } else {
            int16_t sample;
            std::memcpy(&sample, bytes + 2 * i, 2);
            value = sample;
        }
        sums[i % channels] += double(value) * value;
        peaks[i % channels] = std::max(peaks[i % channels], std::abs(value));
    }
    const double full = format.BytesPerSample == 1 ? 256 : 65536;
    const auto progress = [&](double sum) {
        return int32_t(std::nearbyint(std::sqrt(sum / frames) / (full / 8) * 1000));
    };
    return {progress(sums[0]), progress(sums[1]), full / 4 - 1 >= peaks[0],
            full / 4 - 1 >= peaks[1]};
}

TEST(LevelMeterRandomTest, AnyLengthAndStartMatchesTheSampleBySampleSum) {
    std::mt19937 random(5);
    for (const TWaveDataFormat& format : {Mono8, Stereo8, Mono16, Stereo16}) {
        for (int round = 0; round < 200; ++round) {
            const int frames = 1 + int(random() % 300);
            std::vector<uint8_t> bytes(size_t(frames) * format.Channels * format.BytesPerSample +
                                       1);
            // Quiet rounds keep the peaks near the threshold, loud ones use the whole range.
            const int spread = round % 2 ? 256 : 96;
            for (uint8_t& b : bytes)
                b = uint8_t(128 + int(random() % spread) - spread / 2);
            const uint8_t* start = bytes.data() + round % 2;
            const TLevelReading expected = Reference(start, frames, format);
            for (const TLevelWalk walk : Walks) {
                const TLevelReading reading = MeasureLevels(start, frames, format, walk);
                ASSERT_EQ(reading.LeftProgress, expected.LeftProgress) << frames;
                ASSERT_EQ(reading.RightProgress, expected.RightProgress) << frames;
                ASSERT_EQ(reading.LeftOk, expected.LeftOk) << frames;
                ASSERT_EQ(reading.RightOk, expected.RightOk) << frames;
            }
        }
    }
}

TEST(UpdateLevelMeterTest, SetsBarsAndPeakBoxes) {
    TGauge left, right;
    left.SetMaxValue(1000);
    right.SetMaxValue(1000);
    TOnOffBox leftPeak, rightPeak;
    leftPeak.SetOnString(QStringLiteral("ok"));
    leftPeak.SetOffString(QStringLiteral("hi"));
    const std::vector<uint8_t> buffer = Constant(Stereo8, 100, 64, 16);
    ShowLevels(MeasureLevels(buffer.data(), 100, Stereo8), {&left, &right, &leftPeak, &rightPeak});
    EXPECT_EQ(left.Progress(), 1000); // clamped from 2000
    EXPECT_EQ(right.Progress(), 500);
    EXPECT_FALSE(leftPeak.BoxOn());
    EXPECT_EQ(leftPeak.Caption(), QStringLiteral("hi"));
    EXPECT_TRUE(rightPeak.BoxOn());
}

} // namespace
