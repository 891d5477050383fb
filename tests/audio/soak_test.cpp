#include "tests/audio/audiotestapp.h"

#include <QByteArray>
#include <QCoreApplication>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

using TPump = TVirtualWaveDevice::TPump;

struct TSoakCase {
    const char* Name;
    TWaveTypes WaveType;
    bool NativeFloat;
    TPump Pump;
    int PeriodFrames;
    int OutputLatencyFrames;
    int CushionFrames;
    int32_t BufferFrames;
    // Where the first captured frame comes out.
    int64_t DelayFrames;
};

// Whenever the main thread answers, the delay is exactly one buffer plus the output's latency:
// the input hands each buffer to the output on the audio side.
const TSoakCase SoakCases[] = {
    {"Mono8BitFloatAtOnce", wf11Khz_Mono_8Bit, true, TPump::EachCompletion, 100, 0, 0, 256, 256},
    {"Stereo16BitFloatAtOnce", wf44Khz_Stereo_16Bit, true, TPump::EachCompletion, 100, 0, 0, 256,
     256},
    {"Mono8BitPcmAtOnce", wf11Khz_Mono_8Bit, false, TPump::EachCompletion, 77, 0, 0, 300, 300},
    {"Mono8BitPcmPerPeriod", wf11Khz_Mono_8Bit, false, TPump::EachPeriod, 100, 100, 0, 256, 356},
    {"Stereo16BitFloatPerPeriod", wf44Khz_Stereo_16Bit, true, TPump::EachPeriod, 64, 64, 0, 256,
     320},
    {"Stereo16BitPcmLongPeriod", wf44Khz_Stereo_16Bit, false, TPump::EachPeriod, 1000, 400, 0, 600,
     1000},
    {"Stereo16Bit48kFloatPerPeriod", wf48Khz_Stereo_16Bit, true, TPump::EachPeriod, 256, 0, 0, 4800,
     4800},
    // Two streams of their own: the output places the input's clock by what it has written,
    // which on this card is a period ahead of the output's, and plays a cushion later than
    // that; then back to back, nothing lost.
    {"Stereo16BitSeparateStreams", wf44Khz_Stereo_16Bit, false, TPump::EachPeriod, 128, 0, 512,
     1000, 1000 + 512 - 128},
};

constexpr int SoakCycles = 2000;

void PrintTo(const TSoakCase& soak, std::ostream* stream) {
    *stream << soak.Name;
}

class SoakTest : public TVirtualDeviceTest, public testing::WithParamInterface<TSoakCase> {};

// Capture handed to playback the way a delay run does it, over thousands of buffer cycles:
// the output is the input delayed by a constant, silence before, nothing lost or altered.
TEST_P(SoakTest, OutputIsInputDelayedExactly) {
    const TSoakCase& soak = GetParam();
    Device.SetNativeFloat(soak.NativeFloat);
    Device.SetPeriodFrames(soak.PeriodFrames);
    Device.SetOutputLatencyFrames(soak.OutputLatencyFrames);
    Device.SetSeparateStreams(soak.CushionFrames);

    TWaveReader reader;
    reader.SetWaveType(soak.WaveType);
    reader.SampleCount = soak.BufferFrames;
    int handled = 0;
    bool dropBuffers = false;
    reader.OnWaveIn = [&](QObject*, void* buffer, int32_t sampleCount,
                          const TWaveDataFormat& format) {
        if (dropBuffers)
            return;
        PlayBuffer(buffer, sampleCount * format.BytesPerSample * format.Channels);
        ++handled;
    };

    const TWaveFormat record = RecordOf(soak.WaveType);
    const int64_t frames = int64_t(SoakCycles) * soak.BufferFrames;
    const std::vector<uint8_t> input = NoisePcm(size_t(frames) * record.BlockAlign, 7);
    Device.FeedInput(input.data(), input.size());

    OpenPlayback(record);
    reader.Start();
    Device.Advance(frames, soak.Pump);
    const QByteArray output = Device.TakeOutput();
    dropBuffers = true;
    StopPlayback();
    reader.Stop();

    ASSERT_EQ(output.size(), qsizetype(input.size()));
    const size_t delayBytes = size_t(soak.DelayFrames) * record.BlockAlign;
    const uint8_t silence = record.BitsPerSample == 8 ? 128 : 0;
    size_t firstSound = 0;
    while (firstSound < delayBytes && uint8_t(output[qsizetype(firstSound)]) == silence)
        ++firstSound;
    EXPECT_EQ(firstSound, delayBytes) << "sound before the delay";
    const size_t compared = input.size() - delayBytes;
    size_t firstDifference = 0;
    while (firstDifference < compared &&
           uint8_t(output[qsizetype(delayBytes + firstDifference)]) == input[firstDifference])
        ++firstDifference;
    EXPECT_EQ(firstDifference, compared) << "first altered byte, input offset";
    EXPECT_GE(handled, SoakCycles - 1 - int(soak.DelayFrames / soak.BufferFrames));
    EXPECT_EQ(reader.PendingCount(), 0);
    EXPECT_EQ(PlaybackPending(), 0);
    EXPECT_TRUE(CaughtExceptions().isEmpty()) << CaughtExceptions().join('\n').toStdString();
    RecordProperty("BufferCycles", handled);
    RecordProperty("BytesCompared", std::to_string(compared));
}

INSTANTIATE_TEST_SUITE_P(Runs, SoakTest, testing::ValuesIn(SoakCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace

namespace {

constexpr int Steps = 32767;

// Stereo 16-bit frames that each say where they stand: frame n is 1 + n % Steps on the left and
// 1 + n / Steps on the right, never silence.
std::vector<int16_t> CountingStereo(int64_t frames) {
    std::vector<int16_t> samples(size_t(frames) * 2);
    for (int64_t frame = 0; frame < frames; ++frame) {
        samples[size_t(frame) * 2] = int16_t(1 + frame % Steps);
        samples[size_t(frame) * 2 + 1] = int16_t(1 + frame / Steps);
    }
    return samples;
}

// Opens the output and starts reader on buffers of bufferFrames, each handed to the output as
// a run does until dropBuffers is set.
void StartStereoRun(TWaveReader& reader, TWaveTypes waveType, int32_t bufferFrames,
                    const bool& dropBuffers) {
    reader.SetWaveType(waveType);
    reader.SampleCount = bufferFrames;
    reader.OnWaveIn = [&dropBuffers](QObject*, void* buffer, int32_t sampleCount,
                                     const TWaveDataFormat&) {
        if (!dropBuffers)
            PlayBuffer(buffer, sampleCount * 4);
    };
    OpenPlayback(RecordOf(waveType));
    reader.Start();
}

} // namespace

// The device thread runs freely while the main thread handles completions when it gets to
// them, as with a real card. Whatever the interleaving, every frame that sounds is an input
// frame, unaltered, played exactly one buffer after it was captured, and every buffer comes
// back. Under ThreadSanitizer this is the run that checks the hand-over between the threads.
TEST_F(TVirtualDeviceTest, FreeRunningDeviceNeverAltersFrames) {
    constexpr int64_t Frames = 100000;
    constexpr int32_t BufferFrames = 200;
    const std::vector<int16_t> input = CountingStereo(Frames);
    Device.FeedInput(input.data(), input.size() * sizeof(int16_t));
    Device.SetPeriodFrames(64);
    TWaveReader reader;
    bool dropBuffers = false;
    StartStereoRun(reader, wf44Khz_Stereo_16Bit, BufferFrames, dropBuffers);

    std::atomic<bool> finished{false};
    std::thread card([&] {
        Device.Advance(Frames, TVirtualWaveDevice::TPump::Never);
        finished = true;
    });
    while (!finished)
        QCoreApplication::processEvents();
    card.join();
    dropBuffers = true;
    StopPlayback();
    reader.Stop();

    const QByteArray output = Device.TakeOutput();
    ASSERT_EQ(output.size(), qsizetype(input.size() * sizeof(int16_t)));
    const auto* frames = reinterpret_cast<const int16_t*>(output.constData());
    int64_t sounding = 0;
    for (int64_t frame = 0; frame < Frames; ++frame) {
        const int16_t left = frames[frame * 2];
        const int16_t right = frames[frame * 2 + 1];
        if (left == 0 && right == 0)
            continue;
        ASSERT_TRUE(left > 0 && left <= Steps && right > 0 && right <= Frames / Steps + 1)
            << "altered frame at " << frame;
        const int64_t index = int64_t(right - 1) * Steps + (left - 1);
        ASSERT_EQ(index + BufferFrames, frame) << "frame played off its delay, at " << frame;
        ++sounding;
    }
    EXPECT_GT(sounding, 0);
    EXPECT_EQ(PlaybackPending(), 0);
    EXPECT_EQ(reader.PendingCount(), 0);
}

namespace {

struct TDriftCase {
    const char* Name;
    // How much faster the output's clock runs than the input's, in millionths.
    double Ppm;
    double Minutes;
};

void PrintTo(const TDriftCase& drift, std::ostream* stream) {
    *stream << drift.Name;
}

class DriftTest : public TVirtualDeviceTest, public testing::WithParamInterface<TDriftCase> {};

// Input and output on two cards, each on a thread and a clock of its own, drifting apart: the
// output measures the drift and follows the input's clock, re-aligning with a counted crossfade
// whenever it has drifted half a cushion. Every frame that plays is an input frame unaltered,
// never sooner after its capture than the delay, measured on the input's clock.
TEST_P(DriftTest, OutputFollowsTheInputClockAndNeverPlaysEarly) {
    const TDriftCase& drift = GetParam();
    constexpr int32_t Rate = 11025;
    constexpr int32_t BufferFrames = Rate / 2;
    constexpr int Cushion = 512;
    constexpr int PeriodFrames = 256;
    const auto frames = int64_t(drift.Minutes * 60 * Rate);
    const std::vector<int16_t> input = CountingStereo(frames);
    Device.FeedInput(input.data(), input.size() * sizeof(int16_t));
    Device.SetPeriodFrames(PeriodFrames);
    Device.SetSeparateStreams(Cushion);
    Device.SetClockDrift(drift.Ppm);
    TWaveReader reader;
    bool dropBuffers = false;
    StartStereoRun(reader, wf11Khz_Stereo_16Bit, BufferFrames, dropBuffers);
    Device.Advance(frames, TVirtualWaveDevice::TPump::EachPeriod);
    const TOnAirState state = PlaybackDevice()->OnAirState();
    const uint64_t dry = PlaybackDevice()->Underruns();
    dropBuffers = true;
    StopPlayback();
    reader.Stop();

    const QByteArray output = Device.TakeOutput();
    const auto* played = reinterpret_cast<const int16_t*>(output.constData());
    const int64_t count = output.size() / 4;
    const double scale = 1.0 + drift.Ppm / 1e6;
    double leastLag = 1e18, mostLag = 0;
    int64_t sounding = 0, unknown = 0;
    const auto indexAt = [&](int64_t frame) {
        const int16_t left = played[frame * 2], right = played[frame * 2 + 1];
        return left > 0 && right > 0 ? int64_t(right - 1) * Steps + (left - 1) : int64_t(-1);
    };
    for (int64_t frame = 0; frame + 1 < count; ++frame) {
        if (played[frame * 2] == 0 && played[frame * 2 + 1] == 0)
            continue;
        // Within a crossfade the two sides mix into no frame of the input, or into one that
        // the next frame does not follow.
        const int64_t index = indexAt(frame);
        if (index < 0 || indexAt(frame + 1) != index + 1) {
            ++unknown;
            continue;
        }
        const double lag = double(frame) / scale - double(index);
        leastLag = std::min(leastLag, lag);
        mostLag = std::max(mostLag, lag);
        ++sounding;
    }
    RecordProperty("LeastLag", std::to_string(leastLag));
    RecordProperty("MostLag", std::to_string(mostLag));
    RecordProperty("Realignments", std::to_string(state.Realignments));
    RecordProperty("MeasuredPpm", std::to_string(state.ClockDriftPpm));
    EXPECT_GT(sounding, count * 9 / 10);
    EXPECT_GE(leastLag, BufferFrames) << "a frame played early";
    // Placed a cushion late and re-aligned once more than half a cushion off. The input's
    // clock is read over a second and a period, from what it handed over last, which may be a
    // period old.
    const double windowDrift = std::abs(drift.Ppm) * 1e-6 * (Rate + PeriodFrames);
    EXPECT_LE(mostLag, BufferFrames + Cushion + Cushion / 2 + 1 + PeriodFrames + windowDrift);
    const double drifted = std::abs(drift.Ppm) * 1e-6 * double(frames);
    EXPECT_GE(state.Realignments, uint64_t(drifted / Cushion));
    EXPECT_LE(state.Realignments, uint64_t(drifted / (Cushion / 2)) + 2);
    EXPECT_EQ(dry, state.Realignments) << "each re-alignment counted once";
    EXPECT_LE(unknown, int64_t(state.Realignments + 1) * Rate / 100);
    EXPECT_TRUE(state.SeparateClocks);
    EXPECT_NEAR(state.ClockDriftPpm, drift.Ppm, std::max(5.0, std::abs(drift.Ppm) * 0.05));
    EXPECT_TRUE(CaughtExceptions().isEmpty()) << CaughtExceptions().join('\n').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Clocks, DriftTest,
                         testing::Values(TDriftCase{"OutputFast100ppm", 100.0, 5.0},
                                         TDriftCase{"OutputSlow100ppm", -100.0, 5.0},
                                         TDriftCase{"OutputFast1000ppm", 1000.0, 2.0},
                                         TDriftCase{"OutputSlow1000ppm", -1000.0, 2.0}),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
