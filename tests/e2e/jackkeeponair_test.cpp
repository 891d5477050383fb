// Keep On Air on a real JACK server that goes away in the middle of a run and comes back three
// seconds later: the run is back within two seconds of the server, by itself, and passes the
// programme bit for bit at the set delay.

#include "app/application.h"
#include "audio/devices/systemdevice.h"
#include "audio/wavemessage.h"
#include "audio/waveread.h"
#include "tests/e2e/jacktestclient.h"
#include "window/mainwindow.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QStringList>
#include <QTemporaryDir>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

constexpr int SampleRate = 44100;
constexpr int DelaySeconds = 1;
// Stereo 16-bit, the last of the four formats a JACK input offers at its rate.
constexpr const char* Defaults = "[Actions]\nKeepOnAir=1\n\n"
                                 "[Settings]\nAudioFormat=3\nDelayTime=1\n";
constexpr qint64 ServerDownMs = 3000;
// A try every second, and the start itself.
constexpr qint64 BackLimitMs = 2000;
constexpr qint64 StopLimitMs = 5000;
constexpr double SignalSeconds = 3.0;

void HandleEventsFor(qint64 milliseconds) {
    HandleEventsUntil([] { return false; }, milliseconds);
}

TEST(JackKeepOnAirTest, RunIsBackWithinTwoSecondsOfTheServerAndBitExactAtTheDelay) {
    TPrivateJackServer server(SampleRate);
    ASSERT_TRUE(server.Running());
    server.Use();
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    ASSERT_TRUE(WriteSettingsFile(config.path(), Defaults));
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    QStringList messages;
    QStringList errors;
    SetWaveMessageFunction([&](const QString& text) { messages.append(text); });
    SetExceptionMessageFunction([&](const QString& text) { errors.append(text); });
    {
        TMainWindow window;
        QToolButton* play = window.View().PlayBtn;
        play->click();
        ASSERT_TRUE(play->isChecked()) << errors.join(u'|').toStdString();
        TWaveDataFormat format;
        window.View().Capture->GetFormat(format);
        ASSERT_EQ(format.SamplesPerSec, SampleRate);
        ASSERT_EQ(format.Channels, 2);
        ASSERT_TRUE(
            HandleEventsUntil([&] { return window.Station().FrameCounter >= 1; }, StopLimitMs));

        server.Stop();
        ASSERT_TRUE(
            HandleEventsUntil([&] { return window.Station().WaitingForDevices(); }, StopLimitMs));
        EXPECT_TRUE(play->isChecked());
        HandleEventsFor(ServerDownMs);
        EXPECT_TRUE(window.Station().WaitingForDevices());
        EXPECT_EQ(window.Station().RunReport().State, TRunState::WaitingForServer);

        ASSERT_TRUE(server.Start());
        QElapsedTimer back;
        back.start();
        ASSERT_TRUE(HandleEventsUntil(
            [&] {
                return !window.Station().WaitingForDevices() && window.View().Capture->Running();
            },
            StopLimitMs))
            << errors.join(u'|').toStdString();
        EXPECT_LT(back.elapsed(), BackLimitMs);
        const TRunReport report = window.Station().RunReport();
        EXPECT_EQ(report.Restarts, 1u);
        EXPECT_GE(report.OffAirSeconds, ServerDownMs / 1000.0);
        EXPECT_EQ(window.View().FormatCombo->currentIndex(), 3);

        TJackTestClient probe("lagvane-probe", format.Channels);
        ASSERT_TRUE(probe.IsOpen()) << probe.Error().toStdString();
        const size_t runFrames = size_t(SignalSeconds * SampleRate);
        const std::vector<float> signal =
            GridSignal(runFrames, format.Channels, format.BytesPerSample);
        ASSERT_TRUE(
            probe.Run(signal, QString::fromStdString(SystemDeviceFactory().Jack().ClientName())))
            << probe.Error().toStdString();
        EXPECT_TRUE(HandleEventsUntil([&] { return probe.Finished(); },
                                      qint64(SignalSeconds * 1000) + StopLimitMs));
        const int periodFrames = probe.PeriodFrames();
        const uint64_t xruns = window.View().Capture->Xruns();
        probe.Close();
        play->click();
        EXPECT_TRUE(HandleEventsUntil([&] { return play->isEnabled() && !play->isChecked(); },
                                      StopLimitMs));

        // The loss is told once; the tries while the server was away tell nothing.
        ASSERT_EQ(errors.size(), 1) << errors.join(u'|').toStdString();
        EXPECT_TRUE(errors[0].endsWith(QStringLiteral("device stopped: it is no longer available. "
                                                      "The run has been stopped.")))
            << errors[0].toStdString();
        EXPECT_TRUE(messages.isEmpty()) << messages.join(u'|').toStdString();
        const int64_t delay = int64_t(DelaySeconds) * SampleRate + periodFrames;
        const TDelayedSignal found = FindDelayedSignal(signal, probe.Recorded(), format.Channels);
        ASSERT_TRUE(found.Found) << "the signal did not come back";
        EXPECT_EQ(DelayKeptThroughXruns(signal, probe.Recorded(), format.Channels, delay,
                                        periodFrames, xruns),
                  "");
        if (xruns == 0) {
            EXPECT_EQ(found.Delay, delay);
            EXPECT_EQ(found.FirstSound + found.ExactFrames, runFrames)
                << "first frame off the signal";
            EXPECT_EQ(found.EndDelay, found.Delay);
        }
    }
    SetExceptionMessageFunction({});
    SetWaveMessageFunction({});
}

} // namespace
