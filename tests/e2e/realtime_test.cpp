// The program on a realtime JACK server, as studios run it (jackd -R, 256 frames), patched the
// moment its ports appear: start after start it must keep time as well as a plain pass-through
// client of the test's own in the same graph, count every cycle the server finds it late, and
// play what it captured bit for bit, never before the delay.

#include "tests/e2e/jacktestclient.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <jack/jack.h>

#include <cstring>
#include <vector>

namespace {

constexpr int SampleRate = 48000;
constexpr int Channels = 2;
constexpr int Starts = 10;
constexpr double PlaySeconds = 5.0;
constexpr int DelaySeconds = 1;
// Late cycles a start may have beyond the pass-through's: 1 % of its cycles (each connection
// the program's start asks for holds the graph up for a cycle or two), and a quarter more than
// the pass-through's on a loaded machine, where two clients' counts in one start vary that much.
// A thread late in every other cycle is far past it.
constexpr int LatePercentAllowed = 1;
// In the list of a JACK input only the four formats at its rate appear; stereo 16-bit is last.
constexpr const char* Defaults = "[Actions]\nPlayOnStart=1\n\n"
                                 "[Settings]\nAudioFormat=3\nDelayTime=1\n";
constexpr const char* PassThroughName = "lagvane-passthrough";

// Copies its inputs to its outputs in the same cycle, and does nothing else.
class TPassThrough {
public:
    TPassThrough() {
        Client = jack_client_open(PassThroughName, JackNoStartServer, nullptr);
        if (!Client)
            return;
        for (int channel = 0; channel < Channels; ++channel) {
            Inputs[channel] = jack_port_register(Client, ("in_" + std::to_string(channel)).c_str(),
                                                 JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
            Outputs[channel] =
                jack_port_register(Client, ("out_" + std::to_string(channel)).c_str(),
                                   JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        }
        jack_set_process_callback(Client, &Process, this);
        Active = jack_activate(Client) == 0;
    }
    ~TPassThrough() {
        if (Client)
            jack_client_close(Client);
    }
    bool IsActive() const { return Active; }

private:
    static int Process(jack_nframes_t frames, void* argument) {
        auto* self = static_cast<TPassThrough*>(argument);
        for (int channel = 0; channel < Channels; ++channel)
            std::memcpy(jack_port_get_buffer(self->Outputs[channel], frames),
                        jack_port_get_buffer(self->Inputs[channel], frames),
                        sizeof(float) * frames);
        return 0;
    }

    jack_client_t* Client = nullptr;
    jack_port_t* Inputs[Channels] = {};
    jack_port_t* Outputs[Channels] = {};
    bool Active = false;
};

// Cycles the server found a client not finished with, in the lines it logged.
qsizetype LateCycles(const QString& log, const char* client) {
    return log.count(QStringLiteral("client = %1 was not finished").arg(QString::fromUtf8(client)));
}

TEST(RealtimeTest, KeepsTimeLikeAPassThroughInEveryStartPatchedAtOnce) {
    TPrivateJackServer server(SampleRate, true);
    ASSERT_TRUE(server.Running());
    server.Use();
    TPassThrough passThrough;
    ASSERT_TRUE(passThrough.IsActive());
    const std::vector<float> signal = GridSignal(size_t(PlaySeconds * SampleRate), Channels, 2);
    const int64_t delayFrames = int64_t(DelaySeconds) * SampleRate;
    int64_t programLate = 0;
    int64_t passThroughLate = 0;
    for (int start = 1; start <= Starts; ++start) {
        SCOPED_TRACE(testing::Message() << "start " << start);
        // A held delay of its own each time: the last start's would go on air first.
        QTemporaryDir config;
        ASSERT_TRUE(config.isValid());
        const quint16 port = FreePort();
        ASSERT_TRUE(WriteSettingsFile(config.path(), Defaults +
                                                         QByteArray("\n[Remote]\nEnabled=1"
                                                                    "\nPort=") +
                                                         QByteArray::number(port) + "\n"));
        const qsizetype logBefore = server.Log().size();
        TJackTestClient probe("lagvane-rt-probe", Channels);
        TJackTestClient control("lagvane-rt-control", Channels);
        ASSERT_TRUE(probe.IsOpen() && control.IsOpen());
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        environment.insert(QStringLiteral("RUNTIME_DIRECTORY"), config.path());
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(LAGVANE_PROGRAM), {QStringLiteral("--headless")});
        ASSERT_TRUE(program.waitForStarted(10000));
        ASSERT_TRUE(WaitForPorts("Lagvane", Channels, 20000)) << "no ports appeared";
        // The program and the pass-through patched in the same moment, playing the same signal.
        ASSERT_TRUE(probe.Run(signal, QStringLiteral("Lagvane"))) << probe.Error().toStdString();
        ASSERT_TRUE(control.Run(signal, QString::fromUtf8(PassThroughName)))
            << control.Error().toStdString();
        QElapsedTimer clock;
        clock.start();
        while (!probe.Finished() && clock.elapsed() < PlaySeconds * 1000 + 10000)
            QThread::msleep(20);
        // The server's log before the program's count: the program counts a late cycle at its
        // next call, so its count read after holds every late cycle the log tells of.
        const QString log = server.Log().mid(logBefore);
        const QJsonObject cycles = RemoteStatus(port).value(u"cycles").toObject();
        const int periodFrames = probe.PeriodFrames();
        probe.Close();
        control.Close();
        program.terminate();
        if (!program.waitForFinished(10000))
            program.kill();
        ASSERT_TRUE(probe.Finished()) << "the run did not finish in time";

        const qsizetype late = LateCycles(log, "Lagvane");
        const qsizetype lateControl = LateCycles(log, PassThroughName);
        programLate += late;
        passThroughLate += lateControl;
        const qsizetype startCycles = qsizetype(PlaySeconds * SampleRate) / periodFrames;
        EXPECT_LE(late, lateControl + lateControl / 4 + startCycles * LatePercentAllowed / 100)
            << log.toStdString();
        // Each counted by the program itself; the last may not have had its next call yet.
        EXPECT_GE(cycles.value(u"late").toInteger() + 1, late);
        // Every frame with sound is a frame of the signal, at the delay plus the graph's cycle
        // or later, never sooner.
        const TSignalLags lags = MatchSignal(signal, probe.Recorded(), Channels);
        EXPECT_EQ(lags.Unmatched, 0u);
        EXPECT_GE(lags.Matched, size_t((PlaySeconds - DelaySeconds - 1) * SampleRate));
        EXPECT_GE(lags.Least, delayFrames + periodFrames) << "early at frame " << lags.LeastAt;
        // A late cycle of any client in the graph, the probe's included, may hold a period of
        // what it hears back by one cycle; nothing else moves the lag.
        const qsizetype lateAny = log.count(QStringLiteral("was not finished"));
        EXPECT_LE(lags.Most, delayFrames + periodFrames * (1 + lateAny));
    }
    std::printf("realtime: %d starts, the program late in %lld cycles, the pass-through in %lld\n",
                Starts, (long long)programLate, (long long)passThroughLate);
}

} // namespace
