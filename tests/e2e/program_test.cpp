// The real program on a real JACK server: started with saved defaults that pick stereo 16-bit at
// the server's rate, a 2 s delay and Play On Start, it must pass a known signal from its input
// ports to its output ports delayed by exactly 2 s plus the graph's one cycle. It does so as the
// window (offscreen) and as a service: headless with no display and no Qt platform, under a
// station's name and settings file, speaking the service manager's protocol to the test,
// logging for its journal, dumping when asked over HTTP, and stopping cleanly on SIGTERM.

#include "tests/e2e/jacktestclient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <jack/jack.h>

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Channels = 2;
constexpr int DelaySeconds = 2;
constexpr double RunSeconds = 6.0;
// In the list of a JACK input only the four formats at its rate appear; stereo 16-bit is last.
constexpr const char* Defaults = "[Actions]\nPlayOnStart=1\n\n"
                                 "[Settings]\nAudioFormat=3\nDelayTime=2\n";
// What the service finds in the default file, which it must not read.
constexpr const char* OtherDefaults = "[Actions]\nPlayOnStart=0\n";
constexpr const char* StationName = "lagvane-station";
// The service manager's watchdog wants a beat every 0.4 s, so one at least every 0.2 s.
constexpr const char* WatchdogMicroseconds = "400000";
constexpr int StopLimitMs = 2000;

// The service manager's end of the notify protocol: a datagram socket the program writes to.
class TNotifySocket {
public:
    explicit TNotifySocket(const QString& path) : Path(path.toLocal8Bit()) {
        Socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (Socket < 0 || size_t(Path.size()) >= sizeof address.sun_path)
            return;
        std::memcpy(address.sun_path, Path.constData(), size_t(Path.size()));
        Bound = bind(Socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~TNotifySocket() {
        if (Socket >= 0)
            close(Socket);
    }
    bool IsBound() const { return Bound; }
    // Every message sent so far, oldest first.
    const QStringList& Received() {
        char message[4096];
        ssize_t length = 0;
        while ((length = recv(Socket, message, sizeof message, 0)) > 0)
            Messages << QString::fromUtf8(message, length);
        return Messages;
    }

private:
    QByteArray Path;
    int Socket = -1;
    bool Bound = false;
    QStringList Messages;
};

QByteArray RemoteOn(quint16 port) {
    return "\n[Remote]\nEnabled=1\nPort=" + QByteArray::number(port) + "\n";
}

// What the remote control on port says the run's state is; empty when nothing answers.
QString StateOnPort(quint16 port) {
    return RemoteStatus(port).value(u"state").toString();
}

struct TProgramRow {
    int SampleRate;
    bool Service;
};

class ProgramTest : public testing::TestWithParam<TProgramRow> {};

TEST_P(ProgramTest, PlayOnStartDelaysJackInputByTwoSecondsBitExact) {
    const int SampleRate = GetParam().SampleRate;
    const bool service = GetParam().Service;
    const int64_t DelayFrames = int64_t(DelaySeconds) * SampleRate;
    UseJackServer(SampleRate);
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    // Its delay held apart from every other run's.
    environment.insert(QStringLiteral("RUNTIME_DIRECTORY"), config.path());
    QStringList arguments;
    const QByteArray client = service ? StationName : "Lagvane";
    const QString stationFile = config.filePath(QStringLiteral("station.ini"));
    // The service's remote control moves to the second port when SIGHUP has it reread.
    const quint16 firstPort = FreePort();
    const quint16 secondPort = FreePort();
    bool reloaded = false;
    const QString journalFile = config.filePath(QStringLiteral("journal"));
    TNotifySocket notify(config.filePath(QStringLiteral("notify")));
    if (service) {
        ASSERT_TRUE(WriteSettingsFile(config.path(), OtherDefaults));
        ASSERT_TRUE(WriteSettingsFile(config.path(), Defaults + RemoteOn(firstPort),
                                      QStringLiteral("station.ini")));
        arguments << QStringLiteral("--headless") << QStringLiteral("--name")
                  << QString::fromUtf8(StationName) << QStringLiteral("--config") << stationFile;
        for (const char* display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            environment.remove(QString::fromUtf8(display));
        ASSERT_TRUE(notify.IsBound());
        environment.insert(QStringLiteral("NOTIFY_SOCKET"),
                           config.filePath(QStringLiteral("notify")));
        environment.insert(QStringLiteral("WATCHDOG_USEC"),
                           QString::fromUtf8(WatchdogMicroseconds));
        // The journal is known by the device and inode of the stream stderr is.
        QFile journal(journalFile);
        ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
        journal.close();
        struct stat status {};
        ASSERT_EQ(stat(journalFile.toLocal8Bit().constData(), &status), 0);
        environment.insert(QStringLiteral("JOURNAL_STREAM"),
                           QStringLiteral("%1:%2").arg(status.st_dev).arg(status.st_ino));
        program.setStandardErrorFile(journalFile, QIODevice::Append);
    } else {
        ASSERT_TRUE(WriteSettingsFile(config.path(), Defaults));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        program.setStandardErrorFile(journalFile);
    }
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(LAGVANE_PROGRAM), arguments);
    ASSERT_TRUE(program.waitForStarted(10000));
    if (service) {
        // Ready only once the run is decided: its ports are there by then.
        QElapsedTimer clock;
        clock.start();
        while (!notify.Received().contains(QStringLiteral("READY=1")) && clock.elapsed() < 20000)
            QThread::msleep(20);
        ASSERT_TRUE(notify.Received().contains(QStringLiteral("READY=1")))
            << "the service never said it was ready";
        ASSERT_TRUE(WaitForPorts(client, Channels, 0)) << "ready before the run had its ports";
    }
    const bool ready = WaitForPorts(client, Channels, 20000);
    ASSERT_TRUE(ready) << "the program's JACK ports did not appear";
    TJackTestClient probe("lagvane-program-probe", Channels);
    ASSERT_TRUE(probe.IsOpen()) << probe.Error().toStdString();
    ASSERT_EQ(probe.SampleRate(), SampleRate);
    const size_t runFrames = size_t(RunSeconds * SampleRate);
    const std::vector<float> signal = GridSignal(runFrames, Channels, 2);
    ASSERT_TRUE(probe.Run(signal, QString::fromUtf8(client))) << probe.Error().toStdString();
    QElapsedTimer clock;
    clock.start();
    while (!probe.Finished() && clock.elapsed() < RunSeconds * 1000 + 20000) {
        // A datagram socket holds few messages: read them as a service manager does.
        notify.Received();
        QThread::msleep(20);
        if (service && !reloaded && clock.elapsed() > DelaySeconds * 1000 + 500) {
            EXPECT_EQ(StateOnPort(firstPort), QStringLiteral("on air"));
            ASSERT_TRUE(WriteSettingsFile(config.path(), Defaults + RemoteOn(secondPort),
                                          QStringLiteral("station.ini")));
            kill(pid_t(program.processId()), SIGHUP);
            reloaded = true;
        }
    }
    if (service) {
        EXPECT_EQ(StateOnPort(secondPort), QStringLiteral("on air")) << "SIGHUP did not move it";
        EXPECT_EQ(StateOnPort(firstPort), QString());
        // The station without a window still takes the console's presses, after what was
        // checked bit for bit has played.
        EXPECT_GT(RemoteRequest(secondPort, "POST", "/api/dump").value(u"dumped").toDouble(), 1.0);
        // Qt Core alone: no platform plugin in the process. A widget made without a
        // QApplication would have ended it.
        QFile maps(QStringLiteral("/proc/%1/maps").arg(program.processId()));
        ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        EXPECT_TRUE(mapped.contains("libQt6Core")) << "read no maps of the program";
        EXPECT_FALSE(mapped.contains("/platforms/")) << "a Qt platform plugin was loaded";
    }
    const int periodFrames = probe.PeriodFrames();
    probe.Close();
    QElapsedTimer stopClock;
    stopClock.start();
    notify.Received();
    program.terminate();
    const bool stopped = program.waitForFinished(service ? StopLimitMs : 10000);
    const qint64 stopMs = stopClock.elapsed();
    if (!stopped)
        program.kill();
    ASSERT_TRUE(probe.Finished()) << "the run did not finish in time";
    QFile journal(journalFile);
    ASSERT_TRUE(journal.open(QIODevice::ReadOnly));
    const QString lines = QLatin1Char('\n') + QString::fromUtf8(journal.readAll());
    const QRegularExpressionMatch stoppedLine =
        QRegularExpression(QStringLiteral("Run 1 stopped\\. Dropouts: \\d+ frames lost, \\d+ dry, "
                                          "(\\d+) xruns"))
            .match(lines);
    ASSERT_TRUE(stoppedLine.hasMatch()) << lines.toStdString();
    const uint64_t xruns = stoppedLine.captured(1).toULongLong();
    if (service) {
        EXPECT_TRUE(stopped) << "SIGTERM did not end the service within 2 s";
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        QStringList told = notify.Received();
        // Committing the delay before READY=1 asks for start time, and only that comes first.
        told.removeIf([](const QString& line) { return line.startsWith(u"EXTEND_TIMEOUT_USEC="); });
        EXPECT_EQ(told.value(0), QStringLiteral("READY=1"));
        // The manager matches a reload to its own request by when it began.
        const qsizetype reloading =
            told.indexOf(QRegularExpression(QStringLiteral("^RELOADING=1\nMONOTONIC_USEC=\\d+$")));
        EXPECT_EQ(told.value(reloading + 1), QStringLiteral("READY=1")) << "no reload was told";
        EXPECT_GE(told.count(QStringLiteral("WATCHDOG=1")), int(RunSeconds / 0.2) / 2)
            << told.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(told.value(told.size() - 1), QStringLiteral("STOPPING=1"));
        const QString tag = QStringLiteral("\n<6>%1: ").arg(QString::fromUtf8(StationName));
        EXPECT_TRUE(lines.contains(tag + QStringLiteral("Run 1 started: ")) &&
                    lines.contains(tag + QStringLiteral("SIGTERM: stopping")) &&
                    lines.contains(tag + QStringLiteral("Run 1 stopped. Dropouts: 0 frames lost")))
            << lines.toStdString();
        std::printf("service: stopped %lld ms after SIGTERM, %lld watchdog beats\n",
                    (long long)stopMs, (long long)told.count(QStringLiteral("WATCHDOG=1")));
    }

    // Bit for bit from the first frame where every channel has sound to the end, at the delay
    // plus the one cycle with which JACK breaks the loop through the probe; only what the
    // program's xruns account for may air late.
    const int64_t delay = DelayFrames + periodFrames;
    const TDelayedSignal found = FindDelayedSignal(signal, probe.Recorded(), Channels);
    ASSERT_TRUE(found.Found) << "the signal did not come back";
    ASSERT_LT(found.FirstSound + SampleRate, runFrames) << "too little sound came back";
    EXPECT_EQ(DelayKeptThroughXruns(signal, probe.Recorded(), Channels, delay, periodFrames, xruns),
              "")
        << lines.toStdString();
    if (xruns == 0) {
        EXPECT_EQ(found.Delay, delay);
        EXPECT_EQ(found.FirstSound + found.ExactFrames, runFrames) << "first frame off the signal";
        EXPECT_EQ(found.EndDelay, delay);
    }
    std::printf("program: delay %lld frames (2 s + %lld frames device latency), period %d, "
                "%zu frames bit-exact, %llu xruns\n",
                (long long)found.Delay, (long long)(found.Delay - DelayFrames), periodFrames,
                found.ExactFrames, (unsigned long long)xruns);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProgramTest,
                         testing::Values(TProgramRow{44100, false}, TProgramRow{48000, false},
                                         TProgramRow{48000, true}),
                         [](const testing::TestParamInfo<TProgramRow>& row) {
                             return std::string(row.param.Service ? "Service" : "Window") +
                                    std::to_string(row.param.SampleRate);
                         });

} // namespace
