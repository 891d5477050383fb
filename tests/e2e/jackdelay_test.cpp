#include "audio/devices/systemdevice.h"
#include "audio/wavelib.h"
#include "audio/wavemessage.h"
#include "audio/waveread.h"
#include "support/errors.h"
#include "tests/e2e/jacktestclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <jack/jack.h>

namespace {

struct TJackCase {
    const char* Name;
    int SampleRate;
    TWaveTypes WaveType;
    double BufferSeconds;
    double RunSeconds;
    // The main thread held busy this long halfway through: the audio side keeps the delay.
    int StallMs;
    // JACK's 32-bit frame clock wraps in the middle of the signal (run under the frame clock
    // shim, which moves it there).
    bool FrameClockWraps = false;
};

void PrintTo(const TJackCase& jackCase, std::ostream* stream) {
    *stream << jackCase.Name;
}

const TJackCase JackCases[] = {
    {"Stereo16Bit44100", 44100, wf44Khz_Stereo_16Bit, 0.25, 4.0, 0},
    {"Mono8Bit11025", 11025, wf11Khz_Mono_8Bit, 0.25, 4.0, 0},
    {"Stereo16Bit48000", 48000, wf48Khz_Stereo_16Bit, 0.1, 4.0, 0},
    // Three delays: the input still has a queued buffer when the main thread is back.
    {"Stereo16Bit48000MainThreadStalled", 48000, wf48Khz_Stereo_16Bit, 0.1, 4.0, 300},
    // Buffers captured before the wrap are due after it: they play on time all the same.
    {"Stereo16Bit48000FrameClockWrap", 48000, wf48Khz_Stereo_16Bit, 0.1, 4.0, 0, true},
};

constexpr uint32_t HalfFrameClock = 0x80000000u;

constexpr int WaitMargin = 20000;

class JackDelayTest : public testing::TestWithParam<TJackCase> {};

// The delay run's path on a real JACK server: our client plays a signal into Lagvane's input
// ports and records its output ports. The recording is the signal delayed by the buffer plus a
// constant device latency, bit for bit, the same at the end of the run as at its start.
TEST_P(JackDelayTest, OutputIsInputDelayedBitExact) {
    const TJackCase& jackCase = GetParam();
    ASSERT_EQ(dlsym(RTLD_DEFAULT, "LagvaneFrameClockShim") != nullptr, jackCase.FrameClockWraps)
        << "the frame clock rows, and only they, run with the shim in LD_PRELOAD";
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
    const std::string lagvaneName = SystemDeviceFactory().Jack().ClientName();
    ASSERT_FALSE(lagvaneName.empty());

    TJackTestClient probe("lagvane-probe", format.Channels);
    ASSERT_TRUE(probe.IsOpen()) << probe.Error().toStdString();
    ASSERT_EQ(probe.SampleRate(), format.SamplesPerSec);
    const size_t runFrames = size_t(jackCase.RunSeconds * format.SamplesPerSec);
    const std::vector<float> signal = GridSignal(runFrames, format.Channels, format.BytesPerSample);
    // The shim wraps the clock two seconds after our client's first cycle; the upper half is
    // before the wrap, the lower half after it.
    const uint32_t clockAtStart = probe.FrameTime();
    ASSERT_TRUE(probe.Run(signal, QString::fromStdString(lagvaneName)))
        << probe.Error().toStdString();

    QEventLoop loop;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    const qint64 deadline = qint64(jackCase.RunSeconds * 1000) + WaitMargin;
    bool stalled = false;
    poll.callOnTimeout([&] {
        if (!stalled && jackCase.StallMs > 0 && clock.elapsed() > jackCase.RunSeconds * 500) {
            stalled = true;
            QThread::msleep(jackCase.StallMs);
        }
        if (probe.Finished() || clock.elapsed() > deadline)
            loop.quit();
    });
    poll.start(20);
    loop.exec();

    const int periodFrames = probe.PeriodFrames();
    const uint32_t clockAtEnd = probe.FrameTime();
    const int64_t reportedLatency = int64_t(reader.LatencyFrames()) + PlaybackLatencyFrames();
    const uint64_t lostFrames = reader.LostFrames();
    const uint64_t xruns = reader.Xruns();
    probe.Close();
    dropBuffers = true;
    StopPlayback();
    reader.Stop();
    SetWaveMessageFunction({});

    ASSERT_TRUE(probe.Finished()) << "the run did not finish in time";
    if (jackCase.FrameClockWraps) {
        ASSERT_GE(clockAtStart, HalfFrameClock) << "the clock wrapped before the signal began";
        ASSERT_LT(clockAtEnd, HalfFrameClock) << "the clock did not wrap during the signal";
    }
    EXPECT_TRUE(failures.isEmpty()) << failures.join('\n').toStdString();
    // The probe's signal and Lagvane's output close a loop in the graph, which JACK breaks with
    // one cycle: exactly one period, nothing of our own. Towards the physical ports the server
    // reports the dummy backend's one period of capture and two of playback, which the status
    // line adds to the delay on air. Only what the program's xruns account for may air late.
    const int64_t delay = bufferFrames + periodFrames;
    const TDelayedSignal found = FindDelayedSignal(signal, probe.Recorded(), format.Channels);
    ASSERT_TRUE(found.Found) << "the signal did not come back";
    ASSERT_LT(found.FirstSound + format.SamplesPerSec, runFrames) << "too little sound came back";
    EXPECT_EQ(DelayKeptThroughXruns(signal, probe.Recorded(), format.Channels, delay, periodFrames,
                                    xruns),
              "");
    if (xruns == 0) {
        EXPECT_EQ(found.FirstSound + found.ExactFrames, runFrames) << "first frame off the signal";
        EXPECT_EQ(found.Delay, delay);
        EXPECT_EQ(found.EndDelay, delay);
    }
    const size_t exact = found.ExactFrames;
    const int64_t latency = found.Delay - bufferFrames;
    EXPECT_EQ(lostFrames, 0u);
    EXPECT_EQ(stalled, jackCase.StallMs > 0);
    EXPECT_EQ(reportedLatency, 3 * periodFrames);
    RecordProperty("DelayFrames", std::to_string(found.Delay));
    RecordProperty("DeviceLatencyFrames", std::to_string(latency));
    RecordProperty("PeriodFrames", periodFrames);
    RecordProperty("FramesCompared", std::to_string(exact));
    std::printf("%s: buffer %d frames, delay %lld frames, device latency %lld frames (reported "
                "%lld), period %d, %zu frames bit-exact, %llu xruns\n",
                jackCase.Name, bufferFrames, (long long)found.Delay, (long long)latency,
                (long long)reportedLatency, periodFrames, exact, (unsigned long long)xruns);
}

INSTANTIATE_TEST_SUITE_P(Formats, JackDelayTest, testing::ValuesIn(JackCases),
                         [](const auto& info) { return std::string(info.param.Name); });

void IgnoreOutputMessage(TWaveOutDevice*, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

QStringList Connections(jack_client_t* client, const std::string& port) {
    QStringList names;
    if (const char** connected =
            jack_port_get_all_connections(client, jack_port_by_name(client, port.c_str()))) {
        for (const char** name = connected; *name; ++name)
            names << QString::fromUtf8(*name);
        jack_free(connected);
    }
    return names;
}

// The operator's patching outlives Stop and Play: a port with connections is left alone, one
// without is connected to its physical port.
TEST(JackPortTest, ConnectionsSurviveStopAndPlay) {
    UseJackServer(44100);
    TWaveReader reader;
    reader.SetWaveType(wf44Khz_Mono_16Bit);
    reader.SampleCount = 4410;
    TWaveFormat record;
    TWaveDataFormat format;
    reader.GetFormat(format);
    TWaveReader::MakeWaveFormat(record, format);
    const auto run = [&] {
        OpenPlayback(record);
        reader.Start();
        StopPlayback();
        reader.Stop();
    };
    run();
    const std::string name = SystemDeviceFactory().Jack().ClientName();
    ASSERT_FALSE(name.empty());
    jack_client_t* patchbay = jack_client_open("lagvane-patchbay", JackNoStartServer, nullptr);
    ASSERT_NE(patchbay, nullptr);
    const std::string in = name + ":in_0";
    const std::string out = name + ":out_0";
    EXPECT_EQ(Connections(patchbay, in), QStringList{QStringLiteral("system:capture_1")});
    jack_disconnect(patchbay, "system:capture_1", in.c_str());
    jack_connect(patchbay, "system:capture_2", in.c_str());
    jack_disconnect(patchbay, out.c_str(), "system:playback_1");

    run();
    EXPECT_EQ(Connections(patchbay, in), QStringList{QStringLiteral("system:capture_2")});
    EXPECT_EQ(Connections(patchbay, out), QStringList{QStringLiteral("system:playback_1")});
    jack_client_close(patchbay);
}

// JACK runs every client at the server's rate: exactly the formats at that rate are offered,
// and no other opens.
TEST(JackFormatTest, OffersMonoAndStereoAtTheServerRateOnly) {
    UseJackServer(44100);
    TWaveDeviceFactory& factory = SystemDeviceFactory();
    ASSERT_TRUE(SystemDeviceFactory().Jack().Available());
    EXPECT_EQ(factory.InputDeviceCount(), 1);
    EXPECT_EQ(factory.InputFormats(0),
              WaveTypeToCapsBit(wf44Khz_Mono_8Bit) | WaveTypeToCapsBit(wf44Khz_Stereo_8Bit) |
                  WaveTypeToCapsBit(wf44Khz_Mono_16Bit) | WaveTypeToCapsBit(wf44Khz_Stereo_16Bit));

    const struct {
        const char* Name;
        uint16_t Channels;
        uint32_t Rate;
        uint16_t Bits;
        TWaveResult Expected;
    } rows[] = {
        {"stereo 16-bit", 2, 44100, 16, WaveNoError},
        {"mono 8-bit", 1, 44100, 8, WaveNoError},
        {"another rate", 2, 48000, 16, WaveErrorBadFormat},
        {"a rate not in the list", 2, 32000, 16, WaveErrorBadFormat},
        {"three channels", 3, 44100, 16, WaveErrorBadFormat},
        {"24-bit", 2, 44100, 24, WaveErrorBadFormat},
    };
    for (const auto& row : rows) {
        const uint16_t blockAlign = uint16_t(row.Channels * row.Bits / 8);
        const TWaveFormat format{WaveFormatPcm, row.Channels, row.Rate, row.Rate * blockAlign,
                                 blockAlign,    row.Bits,     0};
        EXPECT_EQ(factory.QueryOutput(format), row.Expected) << row.Name;
        std::unique_ptr<TWaveOutDevice> output;
        EXPECT_EQ(factory.OpenOutput(output, format, IgnoreOutputMessage, 0), row.Expected)
            << row.Name;
        EXPECT_EQ(output != nullptr, row.Expected == WaveNoError) << row.Name;
    }
}

} // namespace
