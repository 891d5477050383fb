// The window on the sound servers Linux desktops run. A known signal passes bit for bit through
// each way to a headless PipeWire: the ALSA `pipewire` and `pulse` plug-ins (through PortAudio)
// and PipeWire's JACK library, and never comes back sooner than it first did, even where the
// server skipped periods, which the run counts; a frozen PipeWire graph's own slip aside. A server
// that dies or stops answering mid-run ends the run in bounded time with the one device message,
// and once it is back Play works again.
//
// The PipeWire rows run with PipeWire's JACK library loaded in place of JACK's, as under pw-jack,
// so that our test client meets the same server; the jackd rows with JACK's own.

#include "app/application.h"
#include "audio/devices/systemdevice.h"
#include "support/deadlinecall.h"
#include "tests/e2e/jacktestclient.h"
#include "tests/e2e/pipewireserver.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QToolButton>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

namespace {

constexpr int SampleRate = 48000;
constexpr int Channels = 2;
constexpr int BytesPerSample = 2;
constexpr double SignalSeconds = 2.0;
// The device's own latency on top of the delay: the plug-ins', PortAudio's and the graph's.
constexpr int LatencyLimitFrames = SampleRate / 2;
constexpr qint64 MessageLimitMs = 1000;
// One call to a server that no longer answers is given up at its deadline; the rest is quick.
constexpr qint64 StopLimitMs = DefaultDeadline.count() + 500;
// Far more than a run of the signal takes.
constexpr qint64 RunLimitMs = 20000;
// Lagvane's own lines and a library's last words fit; a flood is megabytes a second.
constexpr qint64 StderrLimitBytes = 16384;
// Keep On Air: how long the server stays away, and by when the run must be back once it answers.
constexpr qint64 ServerDownMs = 3000;
constexpr qint64 BackLimitMs = 2000;
constexpr const char* NeedsWatchdog = "needs the device-layer watchdog";

enum class TStack { PipeWirePlugin, PulsePlugin, PipeWireJack, Jackd };
// What happens to the server: halfway through the signal, or once it has passed. Kept on air:
// killed under a run with Keep On Air, and started again a few seconds later.
enum class TEvent { None, Paused, Killed, KilledAndBack, KeptOnAir, Frozen };
// Long enough for the server to miss a few periods of every client.
constexpr std::chrono::milliseconds PauseLength{60};
// The test graph's quantum.
constexpr int64_t QuantumFrames = 512;
// PipeWire 0.3.65, frozen and let go, airs some of the cycles it catches up wrong, below anything
// the plug-in or its stamps show: a client's quantum a cycle early, or one that is no programme,
// then a silent one; or the output a quantum sooner than its stamps say for a tenth of a second.
// No more quanta that are no programme than the cycles the freeze took.
constexpr int64_t FrozenCycles =
    (PauseLength.count() * SampleRate / 1000 + QuantumFrames - 1) / QuantumFrames;

// Recording frames within which two streams' departures from their delays are one moment of
// the server's: its quanta, and how far the streams' buffering on the server may differ.
constexpr int64_t SameMomentFrames = 4 * QuantumFrames;

struct TServerCase {
    const char* Name;
    TStack Stack;
    TEvent Event;
    // Why the row cannot pass yet; nullptr once it can.
    const char* Pending;
    // Whether the server itself airs some of the cycles it catches up wrong.
    bool ServerSlips = false;
};

void PrintTo(const TServerCase& row, std::ostream* stream) {
    *stream << row.Name;
}

const TServerCase PipeWireCases[] = {
    {"PipeWirePlugin", TStack::PipeWirePlugin, TEvent::None, nullptr},
    {"PulsePlugin", TStack::PulsePlugin, TEvent::None, nullptr},
    {"JackLibrary", TStack::PipeWireJack, TEvent::None, nullptr},
    {"PipeWirePluginServerPaused", TStack::PipeWirePlugin, TEvent::Paused, nullptr, true},
    {"PulsePluginServerPaused", TStack::PulsePlugin, TEvent::Paused,
     "the pulse plug-in's capture time stamps do not show the frames its server lost"},
    {"PipeWirePluginServerKilled", TStack::PipeWirePlugin, TEvent::Killed, nullptr},
    {"PulsePluginServerKilled", TStack::PulsePlugin, TEvent::Killed, nullptr},
    {"JackLibraryServerKilled", TStack::PipeWireJack, TEvent::Killed, nullptr},
    {"PipeWirePluginServerBack", TStack::PipeWirePlugin, TEvent::KilledAndBack, nullptr},
    {"PulsePluginServerBack", TStack::PulsePlugin, TEvent::KilledAndBack, nullptr},
    {"JackLibraryServerBack", TStack::PipeWireJack, TEvent::KilledAndBack, nullptr},
    {"PipeWirePluginKeptOnAir", TStack::PipeWirePlugin, TEvent::KeptOnAir, nullptr},
    {"JackLibraryKeptOnAir", TStack::PipeWireJack, TEvent::KeptOnAir, nullptr},
};

const TServerCase JackdCases[] = {
    {"ServerFrozen", TStack::Jackd, TEvent::Frozen, nullptr},
};

// Sends this process's stderr to a file while it lives, to weigh what a fault writes there.
class TStderrCapture {
public:
    TStderrCapture() : Saved(dup(STDERR_FILENO)) {
        if (File.open())
            dup2(File.handle(), STDERR_FILENO);
    }
    ~TStderrCapture() {
        dup2(Saved, STDERR_FILENO);
        close(Saved);
    }
    qint64 Bytes() const { return File.size(); }

private:
    QTemporaryFile File;
    int Saved;
};

// A plain pass-through beside the program on the same plug-in and server, played into the
// control sink: what the server does to every stream shows in its recording too.
class TControlPassThrough {
public:
    bool Start() {
        Process.start(QStringLiteral(LAGVANE_PASSTHROUGH),
                      {QStringLiteral("lagvanecontrol"), QString::number(SampleRate),
                       QString::number(Channels)});
        return Process.waitForReadyRead(RunLimitMs) && Process.readLine().trimmed() == "running";
    }
    QString Error() { return QString::fromLocal8Bit(Process.readAllStandardError()); }
    // It ends as its standard input closes.
    void Stop() {
        Process.closeWriteChannel();
        if (!Process.waitForFinished(int(StopLimitMs)))
            Process.kill();
        Process.waitForFinished();
    }
    ~TControlPassThrough() { Stop(); }

private:
    QProcess Process;
};

// The control's departure from its delay at the moment the program's recording departs from
// its own, at frame: one both aired at once, or one whose frames both captured at once.
std::optional<size_t> DepartureBeside(const TSignalLags& control, int64_t controlDelay,
                                      size_t frame, int64_t delay) {
    for (const size_t at : control.Departures) {
        const int64_t aired = int64_t(at) - int64_t(frame);
        const int64_t captured = aired - controlDelay + delay;
        if (std::llabs(aired) <= SameMomentFrames || std::llabs(captured) <= SameMomentFrames)
            return at;
    }
    return std::nullopt;
}

TWaveTypes FindFormat(const TWaveReader& reader) {
    for (const TFormatListEntry& entry : reader.FormatList()) {
        TWaveDataFormat format{};
        WaveTypeToFormat(entry.WaveType, format);
        if (format.SamplesPerSec == SampleRate && format.Channels == Channels &&
            format.BytesPerSample == BytesPerSample)
            return entry.WaveType;
    }
    return wfNone;
}

bool IsDeviceStoppedMessage(const QString& text) {
    return (text.startsWith(QStringLiteral("The input device stopped: ")) ||
            text.startsWith(QStringLiteral("The output device stopped: "))) &&
           text.endsWith(QStringLiteral(". The run has been stopped."));
}

class SoundServerTest : public testing::TestWithParam<TServerCase> {};

TEST_P(SoundServerTest, PassesTheSignalAndEndsTheRunInTimeWhenTheServerFails) {
    const TServerCase& row = GetParam();
    if (row.Pending)
        GTEST_SKIP() << row.Pending;
    const bool plugin = row.Stack == TStack::PipeWirePlugin || row.Stack == TStack::PulsePlugin;
    std::optional<TPrivateJackServer> jackd;
    if (row.Stack == TStack::Jackd) {
        jackd.emplace(SampleRate);
        ASSERT_TRUE(jackd->Running());
        jackd->Use();
    } else {
        if (!StartPipeWire())
            GTEST_SKIP() << "PipeWire does not start on this machine (its log is above)";
        UsePipeWire(row.Stack == TStack::PulsePlugin ? "pulse" : "pipewire");
    }
    TJackTestClient probe("lagvane-probe", Channels,
                          row.Stack == TStack::Jackd ? TJackTestClient::TClock::Server
                                                     : TJackTestClient::TClock::OwnCycles);
    ASSERT_TRUE(probe.IsOpen()) << probe.Error().toStdString() << "; the server's log:\n"
                                << (jackd ? QString() : PipeWireLog()).toStdString();
    // Our client is in; from here on PipeWire's JACK library turns clients away, since through
    // the plug-ins Lagvane must not find it: it would take JACK's way instead.
    std::optional<TControlPassThrough> control;
    if (plugin) {
        qputenv("PIPEWIRE_NOJACK", "1");
        control.emplace();
        ASSERT_TRUE(control->Start()) << control->Error().toStdString();
        ASSERT_TRUE(probe.AlsoRecord(PipeWireControlMonitors())) << probe.Error().toStdString();
    }
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    QStringList errors;
    SetExceptionMessageFunction([&](const QString& text) { errors.append(text); });
    const auto restoreMessages = qScopeGuard([] { SetExceptionMessageFunction({}); });

    TMainWindow window;
    const bool keptOnAir = row.Event == TEvent::KeptOnAir;
    window.View().KeepOnAirAction->setChecked(keptOnAir);
    const TWaveTypes waveType = FindFormat(*window.View().Capture);
    ASSERT_NE(waveType, wfNone) << "the input offers no 48 kHz stereo 16-bit format";
    window.View().Capture->SetWaveType(waveType);
    window.View().PlayBtn->click();
    ASSERT_TRUE(window.View().PlayBtn->isChecked()) << errors.join(u'|').toStdString();

    const size_t signalFrames = size_t(SignalSeconds * SampleRate);
    const std::vector<float> signal = GridSignal(signalFrames, Channels, BytesPerSample);
    const bool started =
        plugin
            ? probe.Run(signal, PipeWireSourceInputs(), PipeWireSinkMonitors())
            : probe.Run(signal, QString::fromStdString(SystemDeviceFactory().Jack().ClientName()));
    ASSERT_TRUE(started) << probe.Error().toStdString();
    if (row.Event == TEvent::Paused) {
        ASSERT_TRUE(
            HandleEventsUntil([&] { return probe.Frames() >= signalFrames / 2; }, RunLimitMs));
        ASSERT_TRUE(PausePipeWire(PauseLength));
    }
    ASSERT_TRUE(HandleEventsUntil([&] { return probe.Finished(); }, RunLimitMs));
    const int periodFrames = probe.PeriodFrames();
    probe.Close();
    const TDelayedSignal found = FindDelayedSignal(signal, probe.Recorded(), Channels);
    ASSERT_TRUE(found.Found) << "the signal did not come back";
    // Where the program's recording departs from the delay at a moment the control's does too,
    // the server did it to both streams: the row says so, and it does not count against us.
    TSignalLags controlLags;
    int64_t controlDelay = 0;
    if (control) {
        control->Stop();
        const TDelayedSignal controlFound =
            FindDelayedSignal(signal, probe.AlsoRecorded(), Channels);
        ASSERT_TRUE(controlFound.Found) << "the signal did not come through the control";
        controlDelay = controlFound.Delay;
        controlLags = MatchSignal(signal, probe.AlsoRecorded(), Channels);
    }
    const auto serversDoing = [&](size_t frame) {
        const std::optional<size_t> beside =
            DepartureBeside(controlLags, controlDelay, frame, found.Delay);
        if (beside)
            std::printf("%s: recording frame %zu departs from the delay, and the control at %zu: "
                        "the server's\n",
                        row.Name, frame, *beside);
        return beside.has_value();
    };
    const TDropouts dropouts = window.Station().Dropouts();
    const uint64_t dropoutCount = dropouts.LostFrames + dropouts.DryOutputs + dropouts.Xruns;
    const bool exact =
        found.FirstSound + found.ExactFrames == signalFrames && found.EndDelay == found.Delay;
    // A server starved of the processor may skip frames on its side of the plug-in; then the
    // delay outside moves, and the run must have said so.
    if (!exact && !serversDoing(found.FirstSound + found.ExactFrames)) {
        EXPECT_GT(dropoutCount, 0u)
            << "the delay moved from " << found.Delay << " to " << found.EndDelay
            << " frames after " << found.FirstSound + found.ExactFrames
            << " frames, with no dropout shown";
    }
    if (row.Event == TEvent::Paused) {
        EXPECT_GT(dropoutCount, 0u) << "the server skipped periods, with no dropout shown";
    }
    // Whatever was skipped, no frame comes back sooner after the input took it than the first
    // did: a hole in the input waits until it is due, and the output never catches up early.
    // Where the server slips as it catches up, the run is back no sooner than at first.
    const TSignalLags lags = MatchSignal(signal, probe.Recorded(), Channels);
    const bool jack = row.Stack == TStack::PipeWireJack || row.Stack == TStack::Jackd;
    if (jack && !row.ServerSlips) {
        // Through JACK the loop through the probe adds its one period and nothing else, so the
        // delay is known: each of the run's xruns may cost what it may on any JACK server.
        EXPECT_EQ(DelayKeptThroughXruns(signal, probe.Recorded(), Channels,
                                        window.Station().BufferFrames() + periodFrames,
                                        periodFrames, dropouts.Xruns),
                  "");
    } else if (row.ServerSlips) {
        EXPECT_GE(found.EndDelay, found.Delay);
        EXPECT_LE(lags.Unmatched, size_t(FrozenCycles * QuantumFrames))
            << "frames with sound that are not the signal";
    } else {
        EXPECT_TRUE(lags.Least >= found.Delay || serversDoing(lags.LeastAt))
            << "recording frame " << lags.LeastAt << " came back " << found.Delay - lags.Least
            << " frames early";
        EXPECT_TRUE(lags.Unmatched == 0 || serversDoing(lags.UnmatchedAt))
            << lags.Unmatched << " frames with sound that are not the signal, the first at "
            << lags.UnmatchedAt;
    }
    const int64_t latency = found.Delay - window.Station().BufferFrames();
    const double shownLatency = window.Station().RunReport().DeviceLatencySeconds * SampleRate;
    EXPECT_GE(latency, 0);
    EXPECT_LE(latency, LatencyLimitFrames);
    std::printf("%s: delay %lld to %lld frames, device latency %lld frames (%.0f shown), %zu "
                "frames bit-exact, %s; the control: delay %lld to %lld frames, %zu departures\n",
                row.Name, (long long)lags.Least, (long long)lags.Most, (long long)latency,
                shownLatency, found.ExactFrames, qPrintable(DropoutText(dropouts)),
                (long long)controlLags.Least, (long long)controlLags.Most,
                controlLags.Departures.size());

    if (row.Event == TEvent::Killed || row.Event == TEvent::KilledAndBack || keptOnAir) {
        {
            const TStderrCapture capture;
            KillPipeWire();
            EXPECT_TRUE(HandleEventsUntil([&] { return !errors.isEmpty(); }, MessageLimitMs))
                << "no message within a second";
            // Room for a flood, or a second message, to show.
            HandleEventsUntil([] { return false; }, 500);
            EXPECT_LE(capture.Bytes(), StderrLimitBytes);
        }
        ASSERT_EQ(errors.size(), 1) << errors.join(u'|').toStdString();
        EXPECT_TRUE(IsDeviceStoppedMessage(errors[0])) << errors[0].toStdString();
        EXPECT_EQ(window.View().PlayBtn->isChecked(), keptOnAir);
        EXPECT_EQ(window.Station().WaitingForDevices(), keptOnAir);
    }
    if (keptOnAir) {
        HandleEventsUntil([] { return false; }, ServerDownMs);
        ASSERT_TRUE(StartPipeWire());
        QElapsedTimer back;
        back.start();
        EXPECT_TRUE(HandleEventsUntil(
            [&] {
                return !window.Station().WaitingForDevices() && window.View().Capture->Running();
            },
            RunLimitMs));
        EXPECT_LT(back.elapsed(), BackLimitMs);
        EXPECT_EQ(window.Station().RunReport().Restarts, 1u);
        EXPECT_TRUE(
            HandleEventsUntil([&] { return window.Station().FrameCounter >= 2; }, RunLimitMs));
        EXPECT_EQ(errors.size(), 1) << errors.join(u'|').toStdString();
    }
    if (row.Event == TEvent::KilledAndBack) {
        ASSERT_TRUE(StartPipeWire());
        window.View().PlayBtn->click();
        ASSERT_TRUE(window.View().PlayBtn->isChecked()) << errors.join(u'|').toStdString();
        EXPECT_TRUE(
            HandleEventsUntil([&] { return window.Station().FrameCounter >= 2; }, RunLimitMs));
    }
    if (row.Event == TEvent::Frozen)
        jackd->Suspend();
    QElapsedTimer clock;
    clock.start();
    if (window.View().PlayBtn->isChecked())
        window.View().PlayBtn->click();
    EXPECT_LT(clock.elapsed(), StopLimitMs);
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
    if (row.Event == TEvent::Frozen) {
        jackd->Resume();
        HandleEventsUntil([] { return false; }, 500);
    }
}

INSTANTIATE_TEST_SUITE_P(PipeWire, SoundServerTest, testing::ValuesIn(PipeWireCases),
                         [](const auto& info) { return std::string(info.param.Name); });
INSTANTIATE_TEST_SUITE_P(Jackd, SoundServerTest, testing::ValuesIn(JackdCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
