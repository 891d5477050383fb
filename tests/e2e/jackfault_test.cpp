// The window on a real JACK server that goes away in the middle of a run: the run stops by
// itself within moments, with one message, and leaves nothing waiting; once the server is
// back, Play works again without restarting the program.

#include "app/application.h"
#include "audio/devices/systemdevice.h"
#include "audio/wavelib.h"
#include "audio/wavemessage.h"
#include "audio/waveread.h"
#include "support/deadlinecall.h"
#include "tests/e2e/jacktestclient.h"
#include "tests/e2e/processstall.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QElapsedTimer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

constexpr int SampleRate = 44100;
// A lost server is noticed within a few health checks; far less than this.
constexpr qint64 StopLimitMs = 5000;
// Far more than the probe's two seconds of signal take.
constexpr qint64 RunLimitMs = 20000;

// Each test plays on a JACK server of its own, with the error messages collected.
class JackFaultTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Server.Running());
        Server.Use();
        qputenv("XDG_CONFIG_HOME", Config.path().toUtf8());
        SetExceptionMessageFunction([this](const QString& text) { Errors.append(text); });
    }
    void TearDown() override { SetExceptionMessageFunction({}); }

    void Play(TMainWindow& window) {
        window.View().PlayBtn->click();
        ASSERT_TRUE(window.View().PlayBtn->isChecked()) << Errors.join(u'|').toStdString();
        ASSERT_TRUE(
            HandleEventsUntil([&] { return window.Station().FrameCounter >= 2; }, StopLimitMs));
    }

    // A probe's signal through the window's run comes back bit for bit at one delay. With our
    // process thread held up for stallMs halfway, the cycle it misses airs late, never early.
    void ExpectSignalPasses(TMainWindow& window, unsigned stallMs = 0) {
        TWaveDataFormat format;
        window.View().Capture->GetFormat(format);
        TJackTestClient probe("lagvane-probe", format.Channels);
        ASSERT_TRUE(probe.IsOpen()) << probe.Error().toStdString();
        const size_t runFrames = 2 * SampleRate;
        const std::vector<float> signal =
            GridSignal(runFrames, format.Channels, format.BytesPerSample);
        ASSERT_TRUE(
            probe.Run(signal, QString::fromStdString(SystemDeviceFactory().Jack().ClientName())))
            << probe.Error().toStdString();
        if (stallMs > 0) {
            ASSERT_TRUE(
                HandleEventsUntil([&] { return probe.Frames() > runFrames / 2; }, RunLimitMs));
            StallLagvaneProcessThread(stallMs);
        }
        EXPECT_TRUE(HandleEventsUntil([&] { return probe.Finished(); }, RunLimitMs));
        const int periodFrames = probe.PeriodFrames();
        const uint64_t xruns = window.View().Capture->Xruns();
        probe.Close();
        const TDelayedSignal found = FindDelayedSignal(signal, probe.Recorded(), format.Channels);
        ASSERT_TRUE(found.Found) << "the signal did not come back";
        // What the loop through the probe adds: one cycle.
        const int64_t delay = window.View().Capture->SampleCount + periodFrames;
        EXPECT_EQ(DelayKeptThroughXruns(signal, probe.Recorded(), format.Channels, delay,
                                        periodFrames, xruns),
                  "");
        if (stallMs > 0) {
            const TSignalLags lags = MatchSignal(signal, probe.Recorded(), format.Channels, delay);
            EXPECT_GT(lags.Stretches, 0u) << "the stall cost nothing: it missed no cycle";
            EXPECT_EQ(found.EndDelay, delay) << "not back on the delay after the stall";
        } else if (xruns == 0) {
            EXPECT_EQ(found.FirstSound + found.ExactFrames, runFrames)
                << "first frame off the signal";
            EXPECT_EQ(found.Delay, delay);
            EXPECT_EQ(found.EndDelay, delay);
        }
    }

    TPrivateJackServer Server{SampleRate};
    QTemporaryDir Config;
    QStringList Errors;
};

TEST_F(JackFaultTest, RunStopsWithOneMessageWhenTheServerGoesAwayAndPlaysOnceItIsBack) {
    QStringList messages;
    SetWaveMessageFunction([&](const QString& text) { messages.append(text); });
    {
        TMainWindow window;
        Play(window);

        Server.Stop();
        QElapsedTimer clock;
        clock.start();
        EXPECT_TRUE(
            HandleEventsUntil([&] { return !window.View().PlayBtn->isChecked(); }, StopLimitMs));
        EXPECT_LT(clock.elapsed(), StopLimitMs);
        // Let a second device's fault come, if it would be told.
        HandleEventsUntil([] { return false; }, 500);
        ASSERT_EQ(Errors.size(), 1) << Errors.join(u'|').toStdString();
        EXPECT_TRUE(Errors[0].endsWith(QStringLiteral("device stopped: it is no longer available. "
                                                      "The run has been stopped.")))
            << Errors[0].toStdString();
        EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Play"));
        EXPECT_EQ(PlaybackPending(), 0);
        EXPECT_EQ(window.View().Capture->PendingCount(), 0);
        EXPECT_FALSE(window.View().Capture->Running());

        // Without a server, Play fails at once with its own message.
        window.View().PlayBtn->click();
        EXPECT_FALSE(window.View().PlayBtn->isChecked());
        EXPECT_EQ(Errors.size(), 2);

        // Once the server is back, Play works again in the same process, bit for bit.
        ASSERT_TRUE(Server.Start());
        window.View().PlayBtn->click();
        ASSERT_TRUE(window.View().PlayBtn->isChecked()) << Errors.join(u'|').toStdString();
        ExpectSignalPasses(window);
        window.View().PlayBtn->click();
        EXPECT_TRUE(HandleEventsUntil(
            [&] {
                return window.View().PlayBtn->isEnabled() && !window.View().PlayBtn->isChecked();
            },
            StopLimitMs));
        EXPECT_EQ(Errors.size(), 2) << Errors.join(u'|').toStdString();
    }
    SetWaveMessageFunction({});
}

// Our process thread stalls for good, while the server runs on: Keep On Air closes the client
// and is back on air on a new one under the same name, bit for bit.
TEST_F(JackFaultTest, KeepOnAirIsBackOnAFreshClientWhenOurThreadStaysStalled) {
    TMainWindow window;
    window.View().KeepOnAirAction->setChecked(true);
    Play(window);

    StallLagvaneProcessThread(600000);
    ASSERT_TRUE(HandleEventsUntil([&] { return !Errors.isEmpty(); }, StopLimitMs));
    EXPECT_TRUE(Errors[0].contains(QStringLiteral("own audio thread stalled")))
        << Errors[0].toStdString();
    ASSERT_TRUE(HandleEventsUntil(
        [&] { return !window.Station().WaitingForDevices() && window.View().Capture->Running(); },
        StopLimitMs))
        << Errors.join(u'|').toStdString();
    EXPECT_EQ(SystemDeviceFactory().Jack().ClientName(), "Lagvane");
    ExpectSignalPasses(window);
    EXPECT_EQ(Errors.size(), 1) << Errors.join(u'|').toStdString();
    window.View().PlayBtn->click();
}

// Our process thread misses one cycle, which the server then runs again: what it captured and
// played is not taken twice, and the delay is exact again within one delay.
TEST_F(JackFaultTest, OneLateCycleOfOursAirsNothingEarlyAndKeepsTheDelay) {
    TMainWindow window;
    Play(window);
    // Longer than one of the server's periods (jackd's 1024 frames), shorter than two.
    ExpectSignalPasses(window, 30);
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(u'|').toStdString();
    window.View().PlayBtn->click();
}

struct TSilenceCase {
    const char* Name;
    // Who goes quiet: our own process thread, or the whole server.
    bool OwnThread;
    const char* Reason;
};

void PrintTo(const TSilenceCase& row, std::ostream* stream) {
    *stream << row.Name;
}

const TSilenceCase SilenceCases[] = {
    {"OwnThreadStalled", true, "Lagvane's own audio thread stalled while the sound server ran on"},
    {"ServerFrozen", false, "its sound server no longer answers"},
};

class JackSilenceTest : public JackFaultTest, public testing::WithParamInterface<TSilenceCase> {};

// Our callback goes quiet mid-run: the message says whether the server stopped calling us or
// ran on while our own thread stalled, which JACK's frame clock tells apart.
TEST_P(JackSilenceTest, MessageTellsOurStallFromTheServers) {
    const TSilenceCase& row = GetParam();
    TMainWindow window;
    Play(window);

    // Far longer than the watchdog waits, so that it finds the callback silent.
    constexpr unsigned SilenceMs = 2000;
    if (row.OwnThread)
        StallLagvaneProcessThread(SilenceMs);
    else
        Server.Suspend();
    EXPECT_TRUE(HandleEventsUntil([&] { return !Errors.isEmpty(); }, SilenceMs));
    if (!row.OwnThread)
        Server.Resume();
    HandleEventsUntil([&] { return !window.View().PlayBtn->isChecked(); }, StopLimitMs);
    ASSERT_EQ(Errors.size(), 1) << Errors.join(u'|').toStdString();
    EXPECT_TRUE(Errors[0].endsWith(QStringLiteral(" device stopped: %1. The run has been stopped.")
                                       .arg(QString::fromUtf8(row.Reason))))
        << Errors[0].toStdString();
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
}

INSTANTIATE_TEST_SUITE_P(Silences, JackSilenceTest, testing::ValuesIn(SilenceCases),
                         [](const auto& info) { return std::string(info.param.Name); });

// Play on a server that still does not answer makes several calls into it (closing the old
// client, opening a new one, starting PortAudio): together they hold the window for one
// deadline, not one each. Once the server answers again, so does Play.
TEST_F(JackFaultTest, PlayOnAFrozenServerCostsOneDeadline) {
    TMainWindow window;
    Play(window);
    Server.Suspend();
    ASSERT_TRUE(
        HandleEventsUntil([&] { return !window.View().PlayBtn->isChecked(); }, StopLimitMs));
    QElapsedTimer clock;
    clock.start();
    window.View().PlayBtn->click();
    const qint64 heldMs = clock.elapsed();
    Server.Resume();
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
    EXPECT_GE(heldMs, DefaultDeadline.count()) << "Play gave up before the server could answer";
    EXPECT_LT(heldMs, 2 * DefaultDeadline.count());
    EXPECT_TRUE(HandleEventsUntil(
        [&] {
            if (!window.View().PlayBtn->isChecked())
                window.View().PlayBtn->click();
            return window.View().PlayBtn->isChecked();
        },
        StopLimitMs))
        << Errors.join(u'|').toStdString();
    ExpectSignalPasses(window);
    window.View().PlayBtn->click();
}

} // namespace
