// The program's JACK process callback on a realtime server (jackd -R, dummy driver, 48 kHz,
// 256 frames): its own time per cycle, worst and 99.9th percentile, as the program reports it,
// and the whole program's processor time over a plain 10 s run, unpatched (the program's ports
// on the driver's) and patched (a tone client of the benchmark's own feeding its inputs).
// Needs jackd and the program built beside the benchmark; run as a user allowed realtime.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <benchmark/benchmark.h>
#include <cmath>
#include <jack/jack.h>
#include <unistd.h>

namespace {

constexpr const char* ServerName = "lagvane-bench";
constexpr int RunSeconds = 10;
constexpr quint16 RemotePort = 7489;

QCoreApplication& Application() {
    static int argc = 1;
    static char name[] = "bench_audio_jackcycle";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    return application;
}

// A 1 kHz tone on two ports, as a studio's source.
class TTone {
public:
    TTone() {
        Client = jack_client_open("lagvane-bench-tone", JackNoStartServer, nullptr);
        if (!Client)
            return;
        for (jack_port_t*& port : Ports)
            port = jack_port_register(Client, (&port == Ports ? "out_0" : "out_1"),
                                      JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(Client, &Process, this);
        jack_activate(Client);
    }
    ~TTone() {
        if (Client)
            jack_client_close(Client);
    }
    // Connects its ports to the program's inputs once they are there.
    bool Patch() {
        for (int waited = 0; waited < 200; ++waited) {
            if (jack_port_by_name(Client, "Lagvane:in_1"))
                return jack_connect(Client, "lagvane-bench-tone:out_0", "Lagvane:in_0") == 0 &&
                       jack_connect(Client, "lagvane-bench-tone:out_1", "Lagvane:in_1") == 0;
            QThread::msleep(10);
        }
        return false;
    }

private:
    static int Process(jack_nframes_t frames, void* argument) {
        auto* self = static_cast<TTone*>(argument);
        for (jack_port_t* port : self->Ports) {
            auto* samples = static_cast<float*>(jack_port_get_buffer(port, frames));
            for (jack_nframes_t frame = 0; frame < frames; ++frame)
                samples[frame] = 0.5f * std::sin(2.0f * float(M_PI) * 1000.0f *
                                                 float(self->Phase + frame) / 48000.0f);
        }
        self->Phase = (self->Phase + frames) % 48000;
        return 0;
    }

    jack_client_t* Client = nullptr;
    jack_port_t* Ports[2] = {};
    uint32_t Phase = 0;
};

double ProcessorSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0.0;
    const QList<QByteArray> fields = stat.readAll().split(' ');
    // utime and stime, after the name in parentheses (ours has no space in it).
    return fields.size() > 15
               ? double(fields[13].toLongLong() + fields[14].toLongLong()) / sysconf(_SC_CLK_TCK)
               : 0.0;
}

QJsonObject Status() {
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-s"), QStringLiteral("-m"), QStringLiteral("5"),
                QStringLiteral("http://127.0.0.1:%1/api/status").arg(RemotePort)});
    curl.waitForFinished(10000);
    return QJsonDocument::fromJson(curl.readAllStandardOutput()).object();
}

void RunOnRealtimeServer(benchmark::State& state, bool patched) {
    Application();
    qputenv("JACK_DEFAULT_SERVER", ServerName);
    qputenv("JACK_NO_START_SERVER", "1");
    QProcess server;
    server.start(QStringLiteral("jackd"),
                 {QStringLiteral("-n"), QString::fromUtf8(ServerName), QStringLiteral("-R"),
                  QStringLiteral("-d"), QStringLiteral("dummy"), QStringLiteral("-r"),
                  QStringLiteral("48000"), QStringLiteral("-p"), QStringLiteral("256")});
    QTemporaryDir config;
    QFile settings(QDir(config.path()).filePath(QStringLiteral("Lagvane.ini")));
    if (!server.waitForStarted() || !config.isValid() || !settings.open(QIODevice::WriteOnly)) {
        state.SkipWithError("no JACK server or no settings folder");
        return;
    }
    settings.write("[Actions]\nPlayOnStart=1\n\n[Settings]\nAudioFormat=3\nDelayTime=3\n\n"
                   "[Remote]\nEnabled=1\nPort=" +
                   QByteArray::number(RemotePort) + "\n");
    settings.close();
    QThread::msleep(1000);
    for (auto _ : state) {
        TTone tone;
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        environment.insert(QStringLiteral("RUNTIME_DIRECTORY"), config.path());
        program.setProcessEnvironment(environment);
        program.start(QCoreApplication::applicationDirPath() + QStringLiteral("/../app/lagvane"),
                      {QStringLiteral("--headless")});
        if (!program.waitForStarted() || (patched && !tone.Patch())) {
            state.SkipWithError("the program did not start, or its ports did not appear");
            break;
        }
        QThread::msleep(1000);
        const double before = ProcessorSeconds(program.processId());
        QThread::msleep(RunSeconds * 1000);
        const double used = ProcessorSeconds(program.processId()) - before;
        const QJsonObject cycles = Status().value(u"cycles").toObject();
        program.terminate();
        program.waitForFinished();
        const double period = cycles.value(u"periodMicros").toDouble();
        state.counters["WorstMicros"] = cycles.value(u"worstMicros").toDouble();
        state.counters["P999Micros"] = cycles.value(u"p999Micros").toDouble();
        state.counters["WorstShareOfPeriod"] =
            period > 0 ? cycles.value(u"worstMicros").toDouble() / period : 0.0;
        state.counters["P999ShareOfPeriod"] =
            period > 0 ? cycles.value(u"p999Micros").toDouble() / period : 0.0;
        state.counters["LateCycles"] = cycles.value(u"late").toDouble();
        state.counters["ProcessorSecondsPer10s"] = used;
    }
    server.terminate();
    server.waitForFinished();
}

void BM_RealtimeUnpatched(benchmark::State& state) {
    RunOnRealtimeServer(state, false);
}

void BM_RealtimePatched(benchmark::State& state) {
    RunOnRealtimeServer(state, true);
}

} // namespace

BENCHMARK(BM_RealtimeUnpatched)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_RealtimePatched)->Iterations(1)->Unit(benchmark::kSecond);
