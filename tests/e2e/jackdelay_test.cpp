#include "audio/wavelib.h"
#include "audio/wavemessage.h"
#include "audio/waveread.h"
#include "support/errors.h"
#include "tests/e2e/jacktestclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <gtest/gtest.h>
#include <pa_jack.h>

#include <cstring>

namespace {

struct TJackCase {
    const char* Name;
    int SampleRate;
    TWaveTypes WaveType;
    double BufferSeconds;
    double RunSeconds;
};

void PrintTo(const TJackCase& jackCase, std::ostream* stream) {
    *stream << jackCase.Name;
}

const TJackCase JackCases[] = {
    {"Stereo16Bit44100", 44100, wf44Khz_Stereo_16Bit, 0.25, 4.0},
    {"Mono8Bit11025", 11025, wf11Khz_Mono_8Bit, 0.25, 4.0},
};

// Frames of the recording matched against the signal to locate it.
constexpr size_t MatchFrames = 32;
constexpr int WaitMargin = 20000;

// A signal on the format's sample grid with no zero sample, so that the first sound in the
// recording marks where the signal starts, and random enough that any frame window is unique.
std::vector<float> GridSignal(size_t frames, int channels, int bytesPerSample) {
    std::vector<float> signal(frames * size_t(channels));
    uint32_t state = 12345;
    for (float& sample : signal) {
        int step;
        do {
            state = state * 1664525u + 1013904223u;
            step = bytesPerSample == 1 ? int(state >> 24) - 128 : int16_t(state >> 16);
        } while (step == 0);
        sample = float(step) / (bytesPerSample == 1 ? 128.0f : 32768.0f);
    }
    return signal;
}

bool FramesEqual(const float* a, const float* b, int channels) {
    return std::memcmp(a, b, sizeof(float) * size_t(channels)) == 0;
}

// The signal frame the recording's window at frame `at` holds, or -1.
int64_t FindInSignal(const std::vector<float>& signal, const std::vector<float>& recorded,
                     size_t at, int channels) {
    const size_t frames = signal.size() / size_t(channels);
    for (size_t start = 0; start + MatchFrames <= frames; ++start)
        if (std::memcmp(&signal[start * channels], &recorded[at * channels],
                        sizeof(float) * MatchFrames * channels) == 0)
            return int64_t(start);
    return -1;
}

class JackDelayTest : public testing::TestWithParam<TJackCase> {};

// The delay run's path on a real JACK server: our client plays a signal into Lagvane's input
// ports and records its output ports. The recording is the signal delayed by the buffer plus a
// constant device latency, bit for bit, the same at the end of the run as at its start.
TEST_P(JackDelayTest, OutputIsInputDelayedBitExact) {
    const TJackCase& jackCase = GetParam();
    UseJackServer(jackCase.SampleRate);
    QStringList messages;
    SetWaveMessageFunction([&](const QString& text) { messages.append(text); });

    TWaveReader reader;
    bool offered = false;
    for (const TFormatListEntry& entry : reader.FormatList())
        offered = offered || entry.WaveType == jackCase.WaveType;
    ASSERT_TRUE(offered) << "JACK input does not offer the format; messages: "
                         << messages.join(' ').toStdString();
    reader.SetWaveType(jackCase.WaveType);
    TWaveDataFormat format;
    reader.GetFormat(format);
    const int32_t bufferFrames = int32_t(jackCase.BufferSeconds * format.SamplesPerSec);
    reader.SampleCount = bufferFrames;
    bool dropBuffers = false;
    QStringList failures;
    reader.OnWaveIn = [&](QObject*, void* buffer, int32_t sampleCount,
                          const TWaveDataFormat& bufferFormat) {
        if (dropBuffers)
            return;
        try {
            PlayBuffer(buffer, sampleCount * bufferFormat.BytesPerSample * bufferFormat.Channels);
        } catch (const Exception& exception) {
            failures.append(exception.Message());
        }
    };

    TWaveFormat record;
    TWaveReader::MakeWaveFormat(record, format);
    OpenPlayback(record);
    reader.Start();
    const char* lagvaneName = nullptr;
    ASSERT_EQ(PaJack_GetClientName(&lagvaneName), 0);

    TJackTestClient probe("lagvane-probe", format.Channels);
    ASSERT_TRUE(probe.IsOpen()) << probe.Error().toStdString();
    ASSERT_EQ(probe.SampleRate(), format.SamplesPerSec);
    const size_t runFrames = size_t(jackCase.RunSeconds * format.SamplesPerSec);
    const std::vector<float> signal = GridSignal(runFrames, format.Channels, format.BytesPerSample);
    ASSERT_TRUE(probe.Run(signal, QString::fromUtf8(lagvaneName))) << probe.Error().toStdString();

    QEventLoop loop;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    const qint64 deadline = qint64(jackCase.RunSeconds * 1000) + WaitMargin;
    poll.callOnTimeout([&] {
        if (probe.Finished() || clock.elapsed() > deadline)
            loop.quit();
    });
    poll.start(20);
    loop.exec();

    const int periodFrames = probe.PeriodFrames();
    probe.Close();
    dropBuffers = true;
    StopPlayback();
    reader.Stop();
    SetWaveMessageFunction({});

    ASSERT_TRUE(probe.Finished()) << "the run did not finish in time";
    EXPECT_TRUE(failures.isEmpty()) << failures.join('\n').toStdString();
    const std::vector<float>& recorded = probe.Recorded();
    const int channels = format.Channels;
    // Our ports are connected one by one, so the channels may start a period apart: the signal
    // is there from the first frame with sound on every channel.
    size_t firstSound = 0;
    while (firstSound < runFrames &&
           std::any_of(&recorded[firstSound * channels], &recorded[(firstSound + 1) * channels],
                       [](float sample) { return sample == 0.0f; }))
        ++firstSound;
    ASSERT_LT(firstSound + format.SamplesPerSec, runFrames) << "no sound came back";
    const int64_t startAt = FindInSignal(signal, recorded, firstSound, channels);
    ASSERT_GE(startAt, 0) << "the first sound is not the signal";
    const int64_t delay = int64_t(firstSound) - startAt;

    size_t exact = 0;
    while (firstSound + exact < runFrames &&
           FramesEqual(&recorded[(firstSound + exact) * channels],
                       &signal[(size_t(startAt) + exact) * channels], channels))
        ++exact;
    EXPECT_EQ(firstSound + exact, runFrames) << "first frame off the delayed signal";
    const size_t endWindow = runFrames - MatchFrames;
    const int64_t endDelay =
        int64_t(endWindow) - FindInSignal(signal, recorded, endWindow, channels);
    EXPECT_EQ(endDelay, delay);

    const int64_t latency = delay - bufferFrames;
    EXPECT_GE(latency, 0);
    // The output's dry start (a tenth of a second), the wait for the period after the first
    // buffer, and a few periods of the graph and PortAudio.
    EXPECT_LE(latency, format.SamplesPerSec / 10 + 4 * periodFrames);
    RecordProperty("DelayFrames", std::to_string(delay));
    RecordProperty("DeviceLatencyFrames", std::to_string(latency));
    RecordProperty("PeriodFrames", periodFrames);
    RecordProperty("FramesCompared", std::to_string(exact));
    std::printf("%s: buffer %d frames, delay %lld frames, device latency %lld frames, period %d,"
                " %zu frames bit-exact\n",
                jackCase.Name, bufferFrames, (long long)delay, (long long)latency, periodFrames,
                exact);
}

INSTANTIATE_TEST_SUITE_P(Formats, JackDelayTest, testing::ValuesIn(JackCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
