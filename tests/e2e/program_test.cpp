// The real program on a real JACK server: started offscreen with saved defaults that pick
// stereo 16-bit at the server's rate, a 2 s delay and Play On Start, it must pass a known signal
// from its input ports to its output ports delayed by exactly 2 s plus the graph's one cycle.

#include "tests/e2e/jacktestclient.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <jack/jack.h>

#include <vector>

namespace {

constexpr int Channels = 2;
constexpr int DelaySeconds = 2;
constexpr double RunSeconds = 6.0;
// In the list of a JACK input only the four formats at its rate appear; stereo 16-bit is last.
constexpr const char* Defaults = "[Actions]\nPlayOnStart=1\n\n"
                                 "[Settings]\nAudioFormat=3\nDelayTime=2\n";
constexpr const char* ProgramClient = "Lagvane";

// Waits until the program's client has both its input and output ports.
bool WaitForPorts(int timeoutMs) {
    jack_client_t* watcher = jack_client_open("lagvane-watch", JackNoStartServer, nullptr);
    if (!watcher)
        return false;
    const QByteArray in = QByteArray(ProgramClient) + ":in_" + QByteArray::number(Channels - 1);
    const QByteArray out = QByteArray(ProgramClient) + ":out_" + QByteArray::number(Channels - 1);
    QElapsedTimer clock;
    clock.start();
    bool found = false;
    while (!found && clock.elapsed() < timeoutMs) {
        found = jack_port_by_name(watcher, in.constData()) &&
                jack_port_by_name(watcher, out.constData());
        if (!found)
            QThread::msleep(50);
    }
    jack_client_close(watcher);
    return found;
}

class ProgramTest : public testing::TestWithParam<int> {};

TEST_P(ProgramTest, PlayOnStartDelaysJackInputByTwoSecondsBitExact) {
    const int SampleRate = GetParam();
    const int64_t DelayFrames = int64_t(DelaySeconds) * SampleRate;
    UseJackServer(SampleRate);
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    ASSERT_TRUE(WriteSettingsFile(config.path(), Defaults));

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(QStringLiteral(LAGVANE_PROGRAM), {});
    ASSERT_TRUE(program.waitForStarted(10000));
    const bool ready = WaitForPorts(20000);
    ASSERT_TRUE(ready) << "the program's JACK ports did not appear";

    TJackTestClient probe("lagvane-program-probe", Channels);
    ASSERT_TRUE(probe.IsOpen()) << probe.Error().toStdString();
    ASSERT_EQ(probe.SampleRate(), SampleRate);
    const size_t runFrames = size_t(RunSeconds * SampleRate);
    const std::vector<float> signal = GridSignal(runFrames, Channels, 2);
    ASSERT_TRUE(probe.Run(signal, QString::fromUtf8(ProgramClient))) << probe.Error().toStdString();
    QElapsedTimer clock;
    clock.start();
    while (!probe.Finished() && clock.elapsed() < RunSeconds * 1000 + 20000)
        QThread::msleep(20);
    const int periodFrames = probe.PeriodFrames();
    probe.Close();
    program.terminate();
    if (!program.waitForFinished(10000))
        program.kill();
    ASSERT_TRUE(probe.Finished()) << "the run did not finish in time";

    // Bit for bit from the first frame where every channel has sound to the end, at the delay
    // plus the one cycle with which JACK breaks the loop through the probe.
    const TDelayedSignal found = FindDelayedSignal(signal, probe.Recorded(), Channels);
    ASSERT_TRUE(found.Found) << "the signal did not come back";
    const int64_t delay = found.Delay;
    EXPECT_EQ(delay, DelayFrames + periodFrames);
    ASSERT_LT(found.FirstSound + SampleRate, runFrames) << "too little sound came back";
    EXPECT_EQ(found.FirstSound + found.ExactFrames, runFrames) << "first frame off the signal";
    EXPECT_EQ(found.EndDelay, delay);
    std::printf("program: delay %lld frames (2 s + %lld frames device latency), period %d, "
                "%zu frames bit-exact\n",
                (long long)delay, (long long)(delay - DelayFrames), periodFrames,
                found.ExactFrames);
}

INSTANTIATE_TEST_SUITE_P(Rates, ProgramTest, testing::Values(44100, 48000));

} // namespace
