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

// The device thread runs freely while the main thread handles completions when it gets to
// them, as with a real card. Whatever the interleaving, every frame that sounds is an input
// frame, unaltered, played exactly one buffer after it was captured, and every buffer comes
// back. Under ThreadSanitizer this is the run that checks the hand-over between the threads.
TEST_F(TVirtualDeviceTest, FreeRunningDeviceNeverAltersFrames) {
    constexpr int64_t Frames = 100000;
    constexpr int Steps = 32767;
    constexpr int32_t BufferFrames = 200;
    std::vector<int16_t> input(size_t(Frames) * 2);
    for (int64_t frame = 0; frame < Frames; ++frame) {
        input[size_t(frame) * 2] = int16_t(1 + frame % Steps);
        input[size_t(frame) * 2 + 1] = int16_t(1 + frame / Steps);
    }
    Device.FeedInput(input.data(), input.size() * sizeof(int16_t));
    Device.SetPeriodFrames(64);
    TWaveReader reader;
    reader.SetWaveType(wf44Khz_Stereo_16Bit);
    reader.SampleCount = BufferFrames;
    bool dropBuffers = false;
    reader.OnWaveIn = [&](QObject*, void* buffer, int32_t sampleCount, const TWaveDataFormat&) {
        if (!dropBuffers)
            PlayBuffer(buffer, sampleCount * 4);
    };
    OpenPlayback(RecordOf(wf44Khz_Stereo_16Bit));
    reader.Start();

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
