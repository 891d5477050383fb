// The real program on a real JACK server, ended while it holds a 2 s delay, after running long
// enough to have filled all four of its buffers, and started again a moment later: what it held
// goes on air exactly where it would have had it never stopped, the time it was down is silence one
// delay later and counted, and from there the run is bit-exact. A delay ended on purpose (Stop),
// one older than the delay, and one of another format are not resumed.

#include "tests/e2e/jacktestclient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <vector>

namespace {

constexpr int Rate = 48000;
constexpr int Channels = 2;
constexpr int DelaySeconds = 2;
constexpr double EndAfterSeconds = 7.0;
// The signal's length, and how much of it is heard live once the restart's first live frame
// is on air: the run ends there.
constexpr double RunSeconds = 16.0;
constexpr double LiveSeconds = 3.0;
// In a JACK input's list: stereo 8-bit, stereo 16-bit.
constexpr int Stereo8Bit = 1;
constexpr int Stereo16Bit = 3;

struct TResumeRow {
    const char* Name;
    // How the first program ends: a signal, or the remote control's Stop and then SIGTERM.
    int Signal;
    bool StopFirst;
    double DownSeconds;
    int RestartFormat;
    bool Resumes;
};

void PrintTo(const TResumeRow& row, std::ostream* out) {
    *out << row.Name;
}

class TStation {
public:
    TStation() : Port(FreePort()) { EXPECT_TRUE(Dir.isValid()); }
    ~TStation() {
        Process.kill();
        Process.waitForFinished(5000);
    }

    bool Start(int format) {
        const QByteArray settings =
            "[Actions]\nPlayOnStart=1\n[Settings]\nAudioFormat=" + QByteArray::number(format) +
            "\nDelayTime=" + QByteArray::number(DelaySeconds) +
            "\n[Remote]\nEnabled=1\nPort=" + QByteArray::number(Port) + "\n";
        if (!WriteSettingsFile(Dir.path(), settings))
            return false;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Dir.path());
        environment.insert(QStringLiteral("RUNTIME_DIRECTORY"), Dir.path());
        Process.setProcessEnvironment(environment);
        Process.setProcessChannelMode(QProcess::ForwardedChannels);
        Process.start(QStringLiteral(LAGVANE_PROGRAM), {QStringLiteral("--headless")});
        if (!Process.waitForStarted(10000) || !WaitForPorts("Lagvane", Channels, 20000))
            return false;
        // The ports come before the run: what plays into them until it starts is no one's.
        return HandleEventsUntil(
            [this] {
                const QString state = Status().value(u"state").toString();
                return !state.isEmpty() && state != u"stopped";
            },
            10000);
    }
    bool End(int signal, bool stopFirst) {
        if (stopFirst) {
            QProcess curl;
            curl.start(QStringLiteral("curl"),
                       {QStringLiteral("-s"), QStringLiteral("-m"), QStringLiteral("5"),
                        QStringLiteral("-X"), QStringLiteral("POST"),
                        QStringLiteral("http://127.0.0.1:%1/api/stop").arg(Port)});
            curl.waitForFinished(10000);
        }
        kill(pid_t(Process.processId()), signal);
        return Process.waitForFinished(5000);
    }
    bool Holds() const {
        return QFile::exists(QDir(Dir.path()).filePath(QStringLiteral("lagvane-Lagvane.delay")));
    }
    QJsonObject Status() const { return RemoteStatus(Port); }

private:
    QTemporaryDir Dir;
    quint16 Port;
    QProcess Process;
};

class ResumeTest : public testing::TestWithParam<TResumeRow> {};

TEST_P(ResumeTest, AirsWhatWasHeldWhereItWouldHaveBeen) {
    const TResumeRow& row = GetParam();
    UseJackServer(Rate);
    TStation station;
    ASSERT_TRUE(station.Start(Stereo16Bit))
        << "the program's JACK ports or its run did not come up";
    TJackTestClient probe("lagvane-resume-probe", Channels);
    ASSERT_TRUE(probe.IsOpen()) << probe.Error().toStdString();
    const size_t runFrames = size_t(RunSeconds * Rate);
    const std::vector<float> signal = GridSignal(runFrames, Channels, 2);
    ASSERT_TRUE(probe.Run(signal, QStringLiteral("Lagvane"))) << probe.Error().toStdString();
    while (probe.Frames() < size_t(EndAfterSeconds * Rate))
        QThread::msleep(5);
    const size_t endedAt = probe.Frames();
    const auto xrunsOf = [](const QJsonObject& status) {
        return uint64_t(status.value(u"dropouts").toObject().value(u"xruns").toInteger());
    };
    const uint64_t xrunsBefore = xrunsOf(station.Status());
    const uint64_t serverXrunsBefore = probe.ServerXruns();
    ASSERT_TRUE(station.End(row.Signal, row.StopFirst));
    EXPECT_EQ(station.Holds(), !row.StopFirst) << "only Stop ends the held delay";
    QThread::msleep(int(row.DownSeconds * 1000));
    ASSERT_TRUE(station.Start(row.RestartFormat)) << "the program did not come back";
    const size_t restartedAt = probe.Frames();
    // An xrun the server told of from the first run's last count until the second run is up is
    // the first's, killed mid-cycle (its ports carried its last cycle once more), or the
    // second's first cycles: either may cost what an xrun may.
    const uint64_t endXruns = probe.ServerXruns() - serverXrunsBefore;
    ASSERT_TRUE(probe.ConnectTo(QStringLiteral("Lagvane"))) << probe.Error().toStdString();
    const size_t connectedAt = probe.Frames();
    const int periodFrames = probe.PeriodFrames();
    const size_t lag = size_t(DelaySeconds * Rate + periodFrames);
    const size_t heardTo = std::min(connectedAt + lag + size_t(LiveSeconds * Rate), runFrames);
    QElapsedTimer clock;
    clock.start();
    while (probe.Frames() < heardTo && clock.elapsed() < RunSeconds * 1000 + 20000)
        QThread::msleep(20);
    const QJsonObject status = station.Status();
    const QJsonValue resumed = status.value(u"resumed");
    EXPECT_EQ(resumed.isObject(), row.Resumes);
    const int64_t lost = status.value(u"dropouts").toObject().value(u"framesLost").toInteger();
    const uint64_t xruns = xrunsBefore + xrunsOf(status);
    const size_t margin = 4 * size_t(probe.PeriodFrames());
    if (row.Resumes) {
        // Down for at least the pause, and no longer than until the probe reached it again;
        // the program heard the probe's frames a cycle late, and on a busy machine may not
        // have taken its last few cycles before it was killed.
        EXPECT_GE(lost, int64_t(row.DownSeconds * Rate));
        EXPECT_LE(lost, int64_t(connectedAt - endedAt + margin));
    }
    probe.Close();
    ASSERT_GE(probe.Frames(), heardTo);

    // Every frame with sound is the signal frame one delay (and the probe's cycle) before it,
    // bit for bit. Held: every frame captured before the end and due after the new program was
    // back is heard, and so is every frame after the probe reached it. Not held: what was
    // waiting is never heard.
    const std::vector<float>& recorded = probe.Recorded();
    // Another format cannot be compared bit for bit once it is on air.
    const size_t compared = row.RestartFormat == Stereo16Bit ? heardTo : connectedAt + lag;
    const auto sound = [&](size_t frame) {
        for (int channel = 0; channel < Channels; ++channel)
            if (recorded[frame * Channels + size_t(channel)] == 0.0f)
                return false;
        return true;
    };
    // The probe connects only once it plays: the signal is heard from its first sound on.
    size_t first = lag;
    while (first < heardTo && !sound(first))
        ++first;
    ASSERT_LT(first, endedAt) << "nothing came back before the program ended";
    size_t missing = 0;
    size_t stale = 0;
    // Where the server skipped cycles (an xrun of the dummy driver), no frame went out; the
    // probe records nothing in the skip itself.
    const std::vector<TJackTestClient::TSkip> skips = probe.Skips();
    size_t skippedFrames = 0;
    for (const TJackTestClient::TSkip& skip : skips)
        skippedFrames += skip.Frames;
    const auto skipped = [&](size_t frame) {
        return std::any_of(skips.begin(), skips.end(), [frame](const TJackTestClient::TSkip& skip) {
            return skip.At <= frame && frame < skip.At + skip.Frames;
        });
    };
    for (size_t frame = first; frame < std::min(compared, heardTo); ++frame) {
        const size_t source = frame - lag;
        // Held, and due once the program was back (what fell due while it was down is lost).
        const bool held = source + margin < endedAt && source + lag > connectedAt + margin;
        const bool live = source > connectedAt + margin;
        if (!sound(frame) && !skipped(frame) && ((row.Resumes && held) || live))
            ++missing;
        if (sound(frame) && !row.Resumes && source < restartedAt && frame > endedAt + margin)
            ++stale;
    }
    // Every frame with sound at the delay, or late where an xrun of either run accounts for it.
    const std::vector<float> comparedPart(
        recorded.begin(), recorded.begin() + ptrdiff_t(std::min(compared, heardTo) * Channels));
    EXPECT_EQ(DelayKeptThroughXruns(signal, comparedPart, Channels, int64_t(lag), periodFrames,
                                    xruns + endXruns, skippedFrames),
              "");
    // An xrun's cycle never captured is a period of silence a delay later.
    EXPECT_LE(missing, xruns * uint64_t(periodFrames));
    EXPECT_EQ(stale, 0u);
    std::printf("%s: ended at frame %zu, back at %zu, %lld frames counted lost, %zu skips, "
                "%llu xruns, %llu at the end\n",
                row.Name, endedAt, connectedAt, (long long)lost, skips.size(),
                (unsigned long long)xruns, (unsigned long long)endXruns);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ResumeTest,
    testing::Values(TResumeRow{"Killed", SIGKILL, false, 1.0, Stereo16Bit, true},
                    TResumeRow{"Terminated", SIGTERM, false, 1.0, Stereo16Bit, true},
                    TResumeRow{"Stopped", SIGTERM, true, 1.0, Stereo16Bit, false},
                    TResumeRow{"DownLongerThanTheDelay", SIGKILL, false, DelaySeconds + 1.0,
                               Stereo16Bit, false},
                    TResumeRow{"AnotherFormat", SIGKILL, false, 1.0, Stereo8Bit, false}),
    [](const testing::TestParamInfo<TResumeRow>& info) { return std::string(info.param.Name); });

} // namespace
