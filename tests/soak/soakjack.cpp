// Minutes of a delay run on a JACK server of our own (dummy backend, 44.1 kHz): the window
// starts from saved defaults (44.1 kHz stereo 16-bit, a short delay, Play On Start) with the
// level meter ticked and the oscilloscope shown, and our client plays the soak signal into its
// inputs and checks its outputs in the same process cycles, frame by frame, bit for bit. Also
// counts the server's xruns and reads the program's processor time and memory.
//   soak_jack [--minutes M] [--delay S] [--program PATH]
// PATH is the window harness by default; the real lagvane binary runs with neither display.

#include "tests/e2e/jacktestclient.h"
#include "tests/soak/soakreport.h"
#include "tests/soak/soaksignal.h"

#include <jack/jack.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

constexpr int SampleRate = 44100;
constexpr int Channels = 2;
constexpr const char* ProgramClient = "Lagvane";
// The test servers stop by themselves after 900 s; leave room for starting and stopping.
constexpr double LongestMinutes = 14.0;
constexpr int PortWaitMs = 20000;
constexpr int ReportSeconds = 60;

// Our JACK client: plays the signal once it is wired up and checks what comes back.
class TSoakProbe {
public:
    TSoakProbe() {
        Client = jack_client_open("lagvane-soak-probe", JackNoStartServer, nullptr);
        if (!Client)
            return;
        for (int channel = 0; channel < Channels; ++channel) {
            const QByteArray out = "out_" + QByteArray::number(channel);
            const QByteArray in = "in_" + QByteArray::number(channel);
            Outputs[channel] = jack_port_register(Client, out.constData(), JACK_DEFAULT_AUDIO_TYPE,
                                                  JackPortIsOutput, 0);
            Inputs[channel] = jack_port_register(Client, in.constData(), JACK_DEFAULT_AUDIO_TYPE,
                                                 JackPortIsInput, 0);
        }
        jack_set_process_callback(Client, &Process, this);
        jack_set_xrun_callback(Client, &Xrun, this);
    }
    ~TSoakProbe() { Close(); }

    bool IsOpen() const { return Client && Outputs[0] && Outputs[1] && Inputs[0] && Inputs[1]; }
    int PeriodFrames() const { return int(jack_get_buffer_size(Client)); }
    // Whether the client has registered every port we wire to.
    bool HasPorts(const char* client) const {
        for (int channel = 0; channel < Channels; ++channel)
            for (const char* direction : {"in", "out"}) {
                const QByteArray port =
                    QStringLiteral("%1:%2_%3")
                        .arg(QString::fromUtf8(client), QString::fromUtf8(direction))
                        .arg(channel)
                        .toUtf8();
                if (!jack_port_by_name(Client, port.constData()))
                    return false;
            }
        return true;
    }
    int Rate() const { return int(jack_get_sample_rate(Client)); }

    // Activates, then wires our outputs alone to the program's inputs and its outputs to ours.
    bool Run(QString& error) {
        if (jack_activate(Client) != 0) {
            error = QStringLiteral("cannot activate the probe");
            return false;
        }
        const QString self = QString::fromUtf8(jack_get_client_name(Client));
        for (int channel = 0; channel < Channels; ++channel) {
            const QByteArray programIn = QStringLiteral("%1:in_%2")
                                             .arg(QString::fromUtf8(ProgramClient))
                                             .arg(channel)
                                             .toUtf8();
            jack_port_t* port = jack_port_by_name(Client, programIn.constData());
            if (const char** sources =
                    port ? jack_port_get_all_connections(Client, port) : nullptr) {
                for (const char** source = sources; *source; ++source)
                    jack_disconnect(Client, *source, programIn.constData());
                jack_free(sources);
            }
            const QByteArray ourOut = QStringLiteral("%1:out_%2").arg(self).arg(channel).toUtf8();
            const QByteArray ourIn = QStringLiteral("%1:in_%2").arg(self).arg(channel).toUtf8();
            const QByteArray programOut = QStringLiteral("%1:out_%2")
                                              .arg(QString::fromUtf8(ProgramClient))
                                              .arg(channel)
                                              .toUtf8();
            if (jack_connect(Client, ourOut.constData(), programIn.constData()) != 0 ||
                jack_connect(Client, programOut.constData(), ourIn.constData()) != 0) {
                error = QStringLiteral("cannot connect to the program's ports");
                return false;
            }
        }
        // Channels wired one after the other would first carry half frames.
        Playing.store(true, std::memory_order_release);
        return true;
    }

    // After it returns nothing plays or is checked any more.
    void Close() {
        if (!Client)
            return;
        jack_deactivate(Client);
        jack_client_close(Client);
        Client = nullptr;
    }

    // Safe to read while running.
    uint64_t FramesPlayed() const { return Played.load(std::memory_order_acquire); }
    uint64_t FramesChecked() const { return Checked.load(std::memory_order_acquire); }
    uint64_t BadFrames() const { return Bad.load(std::memory_order_acquire); }
    int Xruns() const { return XrunCount.load(std::memory_order_acquire); }
    // Only once closed.
    const TDelayChecker& Checker() const { return DelayChecker; }
    // Frames from a bad run's start to the nearest xrun the server reported; -1 when the run
    // was not kept or no xrun was.
    int64_t FramesToXrun(size_t incident) const {
        if (incident >= TDelayChecker::KeptIncidents)
            return -1;
        const jack_nframes_t at = IncidentTimes[incident];
        int64_t nearest = -1;
        const int count = std::min<int>(Xruns(), int(KeptXruns));
        for (int xrun = 0; xrun < count; ++xrun) {
            const int64_t distance = std::abs(int64_t(int32_t(at - XrunTimes[xrun])));
            if (nearest < 0 || distance < nearest)
                nearest = distance;
        }
        return nearest;
    }

private:
    static int Process(jack_nframes_t frames, void* argument) {
        auto* self = static_cast<TSoakProbe*>(argument);
        float* out[Channels];
        const float* in[Channels];
        for (int channel = 0; channel < Channels; ++channel) {
            out[channel] =
                static_cast<float*>(jack_port_get_buffer(self->Outputs[channel], frames));
            in[channel] =
                static_cast<const float*>(jack_port_get_buffer(self->Inputs[channel], frames));
        }
        const uint64_t played = self->Played.load(std::memory_order_relaxed);
        if (!self->Playing.load(std::memory_order_acquire)) {
            std::fill_n(out[0], frames, 0.0f);
            std::fill_n(out[1], frames, 0.0f);
            return 0;
        }
        FillSoakSignal(out[0], out[1], played, frames);
        const uint64_t incidents = self->DelayChecker.Incidents();
        self->DelayChecker.Check(in[0], in[1], frames);
        // The server's frame time is the clock its xruns are reported on.
        for (uint64_t incident = incidents;
             incident < self->DelayChecker.Incidents() && incident < TDelayChecker::KeptIncidents;
             ++incident)
            self->IncidentTimes[incident] = jack_last_frame_time(self->Client);
        self->Checked.store(self->DelayChecker.FramesChecked(), std::memory_order_release);
        self->Bad.store(self->DelayChecker.BadFrames(), std::memory_order_release);
        self->Played.store(played + frames, std::memory_order_release);
        return 0;
    }

    static int Xrun(void* argument) {
        auto* self = static_cast<TSoakProbe*>(argument);
        const int count = self->XrunCount.load(std::memory_order_relaxed);
        self->XrunTimes[size_t(count) % KeptXruns] = jack_frame_time(self->Client);
        self->XrunCount.store(count + 1, std::memory_order_release);
        return 0;
    }

    jack_client_t* Client = nullptr;
    jack_port_t* Outputs[Channels] = {};
    jack_port_t* Inputs[Channels] = {};
    TDelayChecker DelayChecker;
    std::atomic<bool> Playing{false};
    std::atomic<uint64_t> Played{0};
    std::atomic<uint64_t> Checked{0};
    std::atomic<uint64_t> Bad{0};
    std::atomic<int> XrunCount{0};
    // Audio side: the server's frame time of the cycle in which each kept bad run began.
    jack_nframes_t IncidentTimes[TDelayChecker::KeptIncidents] = {};
    // When the server reported its latest xruns; written on its notification thread.
    static constexpr size_t KeptXruns = 256;
    jack_nframes_t XrunTimes[KeptXruns] = {};
};

// Polls until ready says so, the time is up or the program has ended.
bool WaitFor(const QProcess& program, const std::function<bool()>& ready) {
    QElapsedTimer clock;
    clock.start();
    while (program.state() == QProcess::Running && clock.elapsed() < PortWaitMs) {
        if (ready())
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Soaks the delay run on a JACK server."));
    parser.addHelpOption();
    const QCommandLineOption minutesOption(QStringLiteral("minutes"),
                                           QStringLiteral("Minutes to run (default 10)."),
                                           QStringLiteral("M"), QStringLiteral("10"));
    const QCommandLineOption delayOption(QStringLiteral("delay"),
                                         QStringLiteral("Delay in seconds (default 0.1)."),
                                         QStringLiteral("S"), QStringLiteral("0.1"));
    const QCommandLineOption programOption(
        QStringLiteral("program"),
        QStringLiteral("Program to soak (default the window with both displays on)."),
        QStringLiteral("PATH"), QStringLiteral(LAGVANE_SOAK_WINDOW));
    parser.addOptions({minutesOption, delayOption, programOption});
    parser.process(application);
    bool minutesOk = false;
    bool delayOk = false;
    const double minutes = parser.value(minutesOption).toDouble(&minutesOk);
    const double delay = parser.value(delayOption).toDouble(&delayOk);
    if (!minutesOk || !delayOk || minutes <= 0 || minutes > LongestMinutes || delay <= 0) {
        std::fprintf(stderr, "soak: bad option value (up to %.0f minutes)\n", LongestMinutes);
        return 2;
    }

    TPrivateJackServer server(SampleRate);
    if (!server.Running()) {
        std::printf("FAILED: the JACK server did not start\n");
        return 1;
    }
    server.Use();

    // Saved defaults: 44.1 kHz stereo 16-bit (last of the four a 44.1 kHz JACK input offers),
    // the delay, and Play On Start.
    QTemporaryDir config;
    QFile ini(QDir(config.path()).filePath(QStringLiteral("Lagvane.ini")));
    if (!config.isValid() || !ini.open(QIODevice::WriteOnly)) {
        std::printf("FAILED: cannot write the settings file\n");
        return 1;
    }
    ini.write(QStringLiteral("[Actions]\nPlayOnStart=1\n\n[Settings]\nAudioFormat=3\n"
                             "DelayTime=%1\n")
                  .arg(delay)
                  .toUtf8());
    ini.close();

    TSoakProbe probe;
    if (!probe.IsOpen() || probe.Rate() != SampleRate) {
        std::printf("FAILED: cannot open our JACK client at %d Hz\n", SampleRate);
        return 1;
    }
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    // Its delay held apart from every other run's.
    environment.insert(QStringLiteral("RUNTIME_DIRECTORY"), config.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    const QString programPath = parser.value(programOption);
    program.start(programPath, {});
    TSoakVerdict verdict;
    if (!program.waitForStarted(10000) ||
        !WaitFor(program, [&] { return probe.HasPorts(ProgramClient); })) {
        std::printf("FAILED: %s did not come up on JACK\n", programPath.toUtf8().constData());
        return 1;
    }
    const auto pid = pid_t(program.processId());
    QString error;
    if (!probe.Run(error)) {
        std::printf("FAILED: the probe client: %s\n", error.toUtf8().constData());
        return 1;
    }
    const int bufferFrames = int(delay * SampleRate);
    const int periodFrames = probe.PeriodFrames();
    std::printf("soak: %s for %.1f minutes on JACK at %d Hz, period %d, delay %d frames\n",
                programPath.toUtf8().constData(), minutes, SampleRate, periodFrames, bufferFrames);
    std::fflush(stdout);
    const TProcessFigures atStart = ReadProcessFigures(pid);
    const int wiringXruns = probe.Xruns();
    QElapsedTimer clock;
    clock.start();
    const qint64 runMs = qint64(minutes * 60000.0);
    qint64 nextReport = ReportSeconds * 1000;
    while (clock.elapsed() < runMs && program.state() == QProcess::Running) {
        QThread::msleep(200);
        if (clock.elapsed() >= nextReport) {
            nextReport += ReportSeconds * 1000;
            std::printf("soak: %5.1f min, %llu frames checked, %llu bad, %d xruns, program %s\n",
                        double(clock.elapsed()) / 60000.0,
                        (unsigned long long)probe.FramesChecked(),
                        (unsigned long long)probe.BadFrames(), probe.Xruns(),
                        DescribeProcessFigures(ReadProcessFigures(pid)).c_str());
            std::fflush(stdout);
        }
    }
    const double seconds = double(clock.elapsed()) / 1000.0;
    const TProcessFigures atEnd = ReadProcessFigures(pid);
    verdict.Expect(program.state() == QProcess::Running, "the program ended during the run");
    probe.Close();
    program.terminate();
    if (!program.waitForFinished(10000))
        program.kill();

    const TDelayChecker& checker = probe.Checker();
    const double cpu = atEnd.CpuSeconds - atStart.CpuSeconds;
    std::printf("soak: program at start %s\n", DescribeProcessFigures(atStart).c_str());
    std::printf("soak: program at end   %s\n", DescribeProcessFigures(atEnd).c_str());
    std::printf("soak: program CPU %.1f s in %.1f s, %.2f%% of one core\n", cpu, seconds,
                100.0 * cpu / seconds);
    std::printf(
        "soak: delay %lld frames (buffer %d + device latency %lld), %llu frames "
        "checked of %llu played, %llu bad in %llu runs, first fault: %s\n",
        (long long)checker.Delay(), bufferFrames, (long long)(checker.Delay() - bufferFrames),
        (unsigned long long)checker.FramesChecked(), (unsigned long long)probe.FramesPlayed(),
        (unsigned long long)checker.BadFrames(), (unsigned long long)checker.Incidents(),
        DescribeSoakFault(checker.FirstFault()).c_str());
    std::printf("soak: xruns: %d while starting and wiring up, %d during the run\n", wiringXruns,
                probe.Xruns() - wiringXruns);
    verdict.Expect(checker.Locked(), "the signal never came back");
    verdict.Expect(checker.Delay() >= bufferFrames, "the delay is shorter than the buffer");
    // The dummy backend without real-time scheduling skips cycles on a loaded machine, which
    // shifts the stream by a period for as long as the delay: such runs are the server's.
    const int64_t xrunReach = checker.Delay() + 4 * periodFrames;
    uint64_t unexplained = checker.Incidents() > TDelayChecker::KeptIncidents
                               ? checker.Incidents() - TDelayChecker::KeptIncidents
                               : 0;
    for (size_t incident = 0;
         incident < checker.Incidents() && incident < TDelayChecker::KeptIncidents; ++incident) {
        const int64_t distance = probe.FramesToXrun(incident);
        const bool explained = distance >= 0 && distance <= xrunReach;
        unexplained += explained ? 0 : 1;
        std::printf(
            "soak: bad run: %s, %s\n", DescribeSoakFault(checker.Incident(incident)).c_str(),
            explained ? ("within " + std::to_string(distance) + " frames of an xrun").c_str()
                      : "with no xrun near");
    }
    verdict.Expect(unexplained == 0, "frames were lost, repeated or changed with no xrun near");
    // Everything after the delay and the first periods, which play before the wiring is made.
    verdict.Expect(checker.FramesChecked() + uint64_t(checker.Delay()) + SampleRate >=
                       probe.FramesPlayed(),
                   "the signal did not flow for the whole run");
    return verdict.Finish();
}
