// Simulated hours of a delay run on the virtual sound card, faster than real time: the main
// window presses Play at 44.1 kHz stereo 16-bit with a short delay, the card is fed the soak
// signal second by second, and what it plays is checked as it comes: silence, then the input
// exactly one buffer (plus the card's latency) later, with nothing lost, repeated or changed.
// Memory must stay flat over the run.
//   soak_virtual [--hours H | --minutes M] [--delay S] [--period F] [--latency F] [--pcm]
//                [--no-vu] [--no-scope]

#include "app/application.h"
#include "audio/devices/virtualwavedevice.h"
#include "audio/wavemessage.h"
#include "controls/degspin.h"
#include "support/conversions.h"
#include "tests/soak/soakreport.h"
#include "tests/soak/soaksignal.h"
#include "window/mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineParser>
#include <QStringList>
#include <QTemporaryDir>
#include <QToolButton>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

constexpr int SampleRate = 44100;
constexpr int FrameBytes = 4;
// Plenty for the longest delay the soak allows; the buffers take only what the delay needs.
constexpr uint64_t SimulatedMemory = uint64_t(8) << 30;
// Growth of resident memory from the end of the warm-up (the first simulated minute, or tenth
// of a short run) to the end of the run that still counts as flat: caches that settle late,
// never a per-buffer cost.
constexpr long long FlatGrowthKib = 8 * 1024;
constexpr int ProgressReports = 12;

struct TSoakOptions {
    double Seconds = 24 * 3600.0;
    double DelaySeconds = 0.1;
    int PeriodFrames = 1024;
    int LatencyFrames = 0;
    bool NativeFloat = true;
    bool LevelMeter = true;
    bool Scope = true;
};

struct TOptionText {
    const char* Name;
    const char* Help;
    // Empty for a switch.
    const char* ValueName;
};

const TOptionText OptionTexts[] = {
    {"hours", "Simulated hours (default 24).", "H"},
    {"minutes", "Simulated minutes, instead of hours.", "M"},
    {"delay", "Delay in seconds (default 0.1).", "S"},
    {"period", "Card period in frames (default 1024).", "F"},
    {"latency", "Card output latency in frames (default 0).", "F"},
    {"pcm", "PCM card (ALSA-like) instead of float (JACK).", ""},
    {"no-vu", "Leave the level meter unticked.", ""},
    {"no-scope", "Leave the oscilloscope hidden.", ""},
};

bool ParseOptions(const QStringList& arguments, TSoakOptions& options) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Soaks the delay run on the virtual sound card, faster than real time."));
    parser.addHelpOption();
    for (const TOptionText& text : OptionTexts)
        parser.addOption(QCommandLineOption(QString::fromLatin1(text.Name),
                                            QString::fromLatin1(text.Help),
                                            QString::fromLatin1(text.ValueName)));
    parser.process(arguments);
    bool ok = true;
    const auto number = [&](const char* name, double fallback) {
        if (!parser.isSet(QString::fromLatin1(name)))
            return fallback;
        bool converted = false;
        const double value = parser.value(QString::fromLatin1(name)).toDouble(&converted);
        ok = ok && converted && value >= 0;
        return value;
    };
    options.Seconds = parser.isSet(QStringLiteral("minutes"))
                          ? number("minutes", 0) * 60.0
                          : number("hours", options.Seconds / 3600.0) * 3600.0;
    options.DelaySeconds = number("delay", options.DelaySeconds);
    options.PeriodFrames = int(number("period", options.PeriodFrames));
    options.LatencyFrames = int(number("latency", options.LatencyFrames));
    options.NativeFloat = !parser.isSet(QStringLiteral("pcm"));
    options.LevelMeter = !parser.isSet(QStringLiteral("no-vu"));
    options.Scope = !parser.isSet(QStringLiteral("no-scope"));
    if (!ok || options.PeriodFrames < 1 || options.Seconds * SampleRate >= double(SoakFrameLimit)) {
        std::fprintf(stderr, "soak: bad option value (durations up to %.1f hours)\n",
                     double(SoakFrameLimit) / SampleRate / 3600.0);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    InitSupport();
    TApplication application(argc, argv);
    TSoakOptions options;
    if (!ParseOptions(TApplication::arguments(), options))
        return 2;

    // Nothing of the operator's saved defaults may press Play or change the format.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    TVirtualWaveDevice device;
    device.SetNativeFloat(options.NativeFloat);
    device.SetPeriodFrames(options.PeriodFrames);
    device.SetOutputLatencyFrames(options.LatencyFrames);
    // JACK's 32-bit frame clock, wrapping halfway through: a day on air crosses a wrap.
    device.SetClockStart((uint64_t(1) << 32) - uint64_t(options.Seconds * SampleRate / 2), true);
    SetWaveDeviceFactory(&device);
    QStringList messages;
    SetWaveMessageFunction([&](const QString& text) { messages << text; });
    SetExceptionMessageFunction([&](const QString& text) { messages << text; });

    TSoakVerdict verdict;
    {
        TMainWindow window([] { return SimulatedMemory; });
        const int formatIndex = window.View().FormatCombo->findData(int(wf44Khz_Stereo_16Bit));
        window.View().FormatCombo->setCurrentIndex(formatIndex);
        emit window.View().FormatCombo->activated(formatIndex);
        window.View().DelayTimeSpin->SetDegrees(options.DelaySeconds / 3600.0);
        window.View().VUMeterChk->setChecked(options.LevelMeter);
        if (options.Scope)
            window.View().OscopeChk->click();
        window.show();
        const int32_t bufferFrames = window.Station().BufferFrames();
        const int64_t totalFrames = int64_t(options.Seconds * SampleRate);
        std::printf("soak: %.2f simulated hours, 44.1 kHz stereo 16-bit, delay %d frames, "
                    "period %d, latency %d, %s card, level meter %s, oscilloscope %s\n",
                    options.Seconds / 3600.0, bufferFrames, options.PeriodFrames,
                    options.LatencyFrames, options.NativeFloat ? "float" : "PCM",
                    options.LevelMeter ? "on" : "off", options.Scope ? "shown" : "hidden");
        std::fflush(stdout);

        const auto wallStart = std::chrono::steady_clock::now();
        const auto wallSeconds = [&] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart)
                .count();
        };
        const TProcessFigures atStart = ReadProcessFigures();
        window.View().PlayBtn->click();
        verdict.Expect(window.View().PlayBtn->isChecked(), "Play did not start the run");

        TDelayChecker checker;
        std::vector<int16_t> chunk(size_t(SampleRate) * 2);
        TProcessFigures warm;
        const int64_t warmFrames = std::min<int64_t>(int64_t(60) * SampleRate, totalFrames / 10);
        const int64_t reportEvery = std::max<int64_t>(totalFrames / ProgressReports, 1);
        int64_t nextReport = reportEvery;
        for (int64_t done = 0; done < totalFrames && checker.BadFrames() == 0;) {
            const auto frames = int(std::min<int64_t>(SampleRate, totalFrames - done));
            FillSoakSignal(chunk.data(), uint64_t(done), size_t(frames));
            device.FeedInput(chunk.data(), size_t(frames) * FrameBytes);
            device.Advance(frames);
            const QByteArray played = device.TakeOutput();
            checker.Check(reinterpret_cast<const int16_t*>(played.constData()),
                          size_t(played.size()) / FrameBytes);
            done += frames;
            if (done >= warmFrames && warm.RssKib < 0)
                warm = ReadProcessFigures();
            if (done >= nextReport || done == totalFrames) {
                nextReport += reportEvery;
                std::printf("soak: %7.2f h simulated, %7.1f s wall, %s\n",
                            double(done) / SampleRate / 3600.0, wallSeconds(),
                            DescribeProcessFigures(ReadProcessFigures()).c_str());
                std::fflush(stdout);
            }
        }
        const TProcessFigures atEnd = ReadProcessFigures();
        const double wall = wallSeconds();
        const int32_t buffersPlayed = window.Station().FrameCounter;
        window.View().PlayBtn->click();
        verdict.Expect(!window.View().PlayBtn->isChecked(), "Stop did not end the run");

        const int64_t expectedDelay = int64_t(bufferFrames) + options.LatencyFrames;
        std::printf("soak: start %s\n", DescribeProcessFigures(atStart).c_str());
        std::printf("soak: after warm-up %s\n", DescribeProcessFigures(warm).c_str());
        std::printf("soak: end   %s\n", DescribeProcessFigures(atEnd).c_str());
        std::printf("soak: wall %.1f s, CPU %.1f s, %.0f times real time\n", wall,
                    atEnd.CpuSeconds - atStart.CpuSeconds, options.Seconds / wall);
        std::printf("soak: %d buffers played, delay %lld frames (buffer %d + latency %lld), "
                    "%llu frames checked, %llu bad, first fault: %s\n",
                    buffersPlayed, (long long)checker.Delay(), bufferFrames,
                    (long long)(checker.Delay() - bufferFrames),
                    (unsigned long long)checker.FramesChecked(),
                    (unsigned long long)checker.BadFrames(),
                    DescribeSoakFault(checker.FirstFault()).c_str());
        verdict.Expect(checker.Locked(), "the signal never came out");
        verdict.Expect(checker.Delay() == expectedDelay, "the delay is not one buffer");
        verdict.Expect(checker.BadFrames() == 0, "frames were lost, repeated or changed");
        verdict.Expect(int64_t(checker.FramesChecked()) == totalFrames - expectedDelay,
                       "not every frame after the delay came out");
        verdict.Expect(buffersPlayed == totalFrames / bufferFrames,
                       "the run did not hand every captured buffer to playback");
        verdict.Expect(atEnd.RssKib - warm.RssKib <= FlatGrowthKib,
                       "resident memory grew over the run");
    }
    for (const QString& message : messages)
        std::printf("soak: message shown: %s\n", message.toUtf8().constData());
    verdict.Expect(messages.isEmpty(), "the run showed messages");
    SetWaveDeviceFactory(nullptr);
    return verdict.Finish();
}
