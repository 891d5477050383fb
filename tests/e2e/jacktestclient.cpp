#include "tests/e2e/jacktestclient.h"

#include "audio/devices/systemdevice.h"

#include <jack/jack.h>

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QThread>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

const char* TestJackServerName(int sampleRate) {
    switch (sampleRate) {
    case 11025:
        return LAGVANE_JACK_SERVER_11025;
    case 48000:
        return LAGVANE_JACK_SERVER_48000;
    default:
        return LAGVANE_JACK_SERVER_44100;
    }
}

namespace {

void UseServerNamed(const char* name) {
    // The real devices, as the program names them at start.
    UseSystemDevices();
    qputenv("JACK_DEFAULT_SERVER", name);
    qputenv("JACK_NO_START_SERVER", "1");
}

int RunScript(const char* action, const QByteArray& serverAndRate) {
    const QByteArray command = QByteArray("sh '") + LAGVANE_JACK_SCRIPT + "' " + action + " '" +
                               LAGVANE_JACK_STATE + "' " + serverAndRate;
    return std::system(command.constData());
}

} // namespace

void UseJackServer(int sampleRate) {
    UseServerNamed(TestJackServerName(sampleRate));
}

bool HandleEventsUntil(const std::function<bool()>& done, qint64 limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    return done();
}

TPrivateJackServer::TPrivateJackServer(int sampleRate, bool realtime)
    : ServerAndRate(QByteArray(LAGVANE_JACK_SERVER_PRIVATE) + ":" + QByteArray::number(sampleRate) +
                    (realtime ? ":rt" : "")) {
    Start();
}

QString TPrivateJackServer::Log() const {
    QFile log(QStringLiteral("%1/%2.log").arg(LAGVANE_JACK_STATE, LAGVANE_JACK_SERVER_PRIVATE));
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

bool TPrivateJackServer::Start() {
    IsRunning = RunScript("start", ServerAndRate) == 0;
    return IsRunning;
}

TPrivateJackServer::~TPrivateJackServer() {
    Stop();
}

void TPrivateJackServer::Use() const {
    UseServerNamed(LAGVANE_JACK_SERVER_PRIVATE);
}

void TPrivateJackServer::Stop() {
    if (IsRunning)
        RunScript("stop", ServerAndRate);
    IsRunning = false;
}

void TPrivateJackServer::Suspend() {
    RunScript("suspend", ServerAndRate);
}

void TPrivateJackServer::Resume() {
    RunScript("resume", ServerAndRate);
}

TJackTestClient::TJackTestClient(const char* name, int channels, TClock clock)
    : Channels(channels), Clock(clock) {
    jack_status_t status;
    Client = jack_client_open(name, JackNoStartServer, &status);
    if (!Client) {
        ErrorText = QStringLiteral("cannot open JACK client (status 0x%1)").arg(int(status), 0, 16);
        return;
    }
    for (int channel = 0; channel < channels; ++channel) {
        const QByteArray outName = "out_" + QByteArray::number(channel);
        const QByteArray inName = "in_" + QByteArray::number(channel);
        Outputs.push_back(jack_port_register(Client, outName.constData(), JACK_DEFAULT_AUDIO_TYPE,
                                             JackPortIsOutput, 0));
        Inputs.push_back(jack_port_register(Client, inName.constData(), JACK_DEFAULT_AUDIO_TYPE,
                                            JackPortIsInput, 0));
        if (!Outputs.back() || !Inputs.back())
            ErrorText = QStringLiteral("cannot register ports");
    }
    jack_set_process_callback(Client, &Process, this);
    jack_set_xrun_callback(Client, &CountXrun, this);
}

int TJackTestClient::CountXrun(void* client) {
    static_cast<TJackTestClient*>(client)->XrunCount.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

TJackTestClient::~TJackTestClient() {
    Close();
}

void TJackTestClient::Close() {
    if (!Client)
        return;
    jack_deactivate(Client);
    jack_client_close(Client);
    Client = nullptr;
}

int TJackTestClient::SampleRate() const {
    return Client ? int(jack_get_sample_rate(Client)) : 0;
}

int TJackTestClient::PeriodFrames() const {
    return Client ? int(jack_get_buffer_size(Client)) : 0;
}

uint32_t TJackTestClient::FrameTime() const {
    return Client ? jack_frame_time(Client) : 0;
}

bool TJackTestClient::Connect(const QString& source, const QString& destination) {
    if (jack_connect(Client, source.toUtf8().constData(), destination.toUtf8().constData()) == 0)
        return true;
    ErrorText = QStringLiteral("cannot connect %1 to %2").arg(source, destination);
    return false;
}

bool TJackTestClient::Run(const std::vector<float>& signal, const QString& target) {
    return Run(signal, TargetPorts(target, "in"), TargetPorts(target, "out"));
}

QStringList TJackTestClient::TargetPorts(const QString& target, const char* direction) const {
    QStringList ports;
    for (int channel = 0; channel < Channels; ++channel)
        ports << QStringLiteral("%1:%2_%3")
                     .arg(target)
                     .arg(QString::fromUtf8(direction))
                     .arg(channel);
    return ports;
}

std::vector<TJackTestClient::TSkip> TJackTestClient::Skips() const {
    return {SkipLog.begin(), SkipLog.begin() + SkipCount.load(std::memory_order_acquire)};
}

bool TJackTestClient::ConnectTo(const QString& target) {
    return ConnectTo(TargetPorts(target, "in"), TargetPorts(target, "out"));
}

bool TJackTestClient::AlsoRecord(const QStringList& sources) {
    for (int index = 0; index < sources.size(); ++index) {
        const QByteArray name = "also_" + QByteArray::number(index);
        AlsoInputs.push_back(jack_port_register(Client, name.constData(), JACK_DEFAULT_AUDIO_TYPE,
                                                JackPortIsInput, 0));
        if (!AlsoInputs.back()) {
            ErrorText = QStringLiteral("cannot register ports");
            return false;
        }
    }
    AlsoSources = sources;
    return true;
}

bool TJackTestClient::Run(const std::vector<float>& signal, const QStringList& targetInputs,
                          const QStringList& targetOutputs) {
    if (!Client || !ErrorText.isEmpty())
        return false;
    Signal = signal;
    Recording.assign(signal.size(), 0.0f);
    AlsoRecording.assign(signal.size() / size_t(Channels) * size_t(AlsoSources.size()), 0.0f);
    Position.store(0, std::memory_order_release);
    SkipCount.store(0, std::memory_order_release);
    Clocked = false;
    if (jack_activate(Client) != 0) {
        ErrorText = QStringLiteral("cannot activate");
        return false;
    }
    const QString self = QString::fromUtf8(jack_get_client_name(Client));
    for (int index = 0; index < AlsoSources.size(); ++index)
        if (!Connect(AlsoSources[index], QStringLiteral("%1:also_%2").arg(self).arg(index)))
            return false;
    return ConnectTo(targetInputs, targetOutputs);
}

bool TJackTestClient::ConnectTo(const QStringList& targetInputs, const QStringList& targetOutputs) {
    const QString self = QString::fromUtf8(jack_get_client_name(Client));
    for (int channel = 0; channel < Channels; ++channel) {
        const QString targetIn = targetInputs.value(channel);
        jack_port_t* port = jack_port_by_name(Client, targetIn.toUtf8().constData());
        if (!port) {
            ErrorText = QStringLiteral("no port %1").arg(targetIn);
            return false;
        }
        if (const char** sources = jack_port_get_all_connections(Client, port)) {
            for (const char** source = sources; *source; ++source)
                jack_disconnect(Client, *source, targetIn.toUtf8().constData());
            jack_free(sources);
        }
        if (!Connect(QStringLiteral("%1:out_%2").arg(self).arg(channel), targetIn) ||
            !Connect(targetOutputs.value(channel),
                     QStringLiteral("%1:in_%2").arg(self).arg(channel)))
            return false;
    }
    return true;
}

namespace {

// Frames of one skip by the server that the test client follows: a few periods of an xrun.
constexpr jack_nframes_t MostSkippedFrames = 8192;

} // namespace

int TJackTestClient::Process(unsigned frames, void* argument) {
    auto* self = static_cast<TJackTestClient*>(argument);
    const size_t channels = size_t(self->Channels);
    const size_t total = self->Recording.size() / channels;
    // Signal and recording frames go by the server's clock, as the program places its frames:
    // cycles the server skips (an xrun of the dummy driver) are skipped here too, so that a
    // lag measured is the one the program keeps. A clock that steps back or leaps (PipeWire
    // moving the client to another driver) is no skip: the count goes on from where it was.
    const jack_nframes_t now = jack_last_frame_time(self->Client);
    const size_t next = self->Position.load(std::memory_order_relaxed);
    const jack_nframes_t step = now - self->Origin - jack_nframes_t(next);
    if (!self->Clocked || step > MostSkippedFrames || self->Clock == TClock::OwnCycles) {
        self->Origin = now - jack_nframes_t(next);
    } else if (step > 0 && next < total) {
        const size_t skips = self->SkipCount.load(std::memory_order_relaxed);
        if (skips < MostSkips) {
            self->SkipLog[skips] = {next, step};
            self->SkipCount.store(skips + 1, std::memory_order_release);
        }
    }
    self->Clocked = true;
    const size_t start = std::min(size_t(now - self->Origin), total);
    for (size_t channel = 0; channel < channels; ++channel) {
        auto* out = static_cast<float*>(jack_port_get_buffer(self->Outputs[channel], frames));
        auto* in = static_cast<const float*>(jack_port_get_buffer(self->Inputs[channel], frames));
        for (size_t frame = 0; frame < frames; ++frame) {
            const size_t at = start + frame;
            out[frame] = at < total ? self->Signal[at * channels + channel] : 0.0f;
            if (at < total)
                self->Recording[at * channels + channel] = in[frame];
        }
    }
    const size_t also = self->AlsoInputs.size();
    for (size_t source = 0; source < also; ++source) {
        auto* in =
            static_cast<const float*>(jack_port_get_buffer(self->AlsoInputs[source], frames));
        for (size_t frame = 0; frame < frames && start + frame < total; ++frame)
            self->AlsoRecording[(start + frame) * also + source] = in[frame];
    }
    self->Position.store(std::min(start + frames, total), std::memory_order_release);
    return 0;
}

namespace {

// Frames of a recording matched against the signal to locate it.
constexpr size_t MatchFrames = 32;

bool FramesEqual(const float* a, const float* b, size_t frames, int channels) {
    return std::memcmp(a, b, sizeof(float) * frames * size_t(channels)) == 0;
}

// The signal frame the recording's window at frame `at` holds, or -1.
int64_t FindInSignal(const std::vector<float>& signal, const std::vector<float>& recorded,
                     size_t at, int channels) {
    const size_t frames = signal.size() / size_t(channels);
    for (size_t start = 0; start + MatchFrames <= frames; ++start)
        if (FramesEqual(&signal[start * channels], &recorded[at * channels], MatchFrames, channels))
            return int64_t(start);
    return -1;
}

} // namespace

bool WriteSettingsFile(const QString& folder, const QByteArray& text, const QString& fileName) {
    QFile ini(QDir(folder).filePath(fileName));
    return ini.open(QIODevice::WriteOnly) && ini.write(text) == text.size();
}

bool WaitForPorts(const QByteArray& client, int channels, int timeoutMs) {
    jack_client_t* watcher = jack_client_open("lagvane-watch", JackNoStartServer, nullptr);
    if (!watcher)
        return false;
    const QByteArray in = client + ":in_" + QByteArray::number(channels - 1);
    const QByteArray out = client + ":out_" + QByteArray::number(channels - 1);
    QElapsedTimer clock;
    clock.start();
    bool found = false;
    while (!found) {
        found = jack_port_by_name(watcher, in.constData()) &&
                jack_port_by_name(watcher, out.constData());
        if (found || clock.elapsed() >= timeoutMs)
            break;
        QThread::msleep(50);
    }
    jack_client_close(watcher);
    return found;
}

QJsonObject RemoteRequest(quint16 port, const char* method, const char* path) {
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-s"), QStringLiteral("-m"), QStringLiteral("5"),
                QStringLiteral("-X"), QString::fromUtf8(method),
                QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(QString::fromUtf8(path))});
    if (!curl.waitForFinished(10000))
        return {};
    return QJsonDocument::fromJson(curl.readAllStandardOutput()).object();
}

QJsonObject RemoteStatus(quint16 port) {
    return RemoteRequest(port, "GET", "/api/status");
}

quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

TSignalLags MatchSignal(const std::vector<float>& signal, const std::vector<float>& recorded,
                        int channels, int64_t delay) {
    TSignalLags lags;
    const size_t frames = recorded.size() / size_t(channels);
    const size_t signalFrames = signal.size() / size_t(channels);
    bool aligned = false;
    int64_t lag = 0;
    // The first frame of the stretch off the delay under way, if any.
    constexpr size_t NoStretch = SIZE_MAX;
    size_t stretch = NoStretch;
    size_t lastUnmatched = NoStretch - 1;
    for (size_t frame = 0; frame < frames; ++frame) {
        const float* samples = &recorded[frame * channels];
        // Silence is a hole, and a frame silent on a channel is no signal frame: the signal
        // has no zero sample.
        if (std::any_of(samples, samples + channels, [](float sample) { return sample == 0.0f; }))
            continue;
        const int64_t at = int64_t(frame) - lag;
        if (!aligned || at < 0 || size_t(at) >= signalFrames ||
            !FramesEqual(samples, &signal[size_t(at) * channels], 1, channels)) {
            const int64_t found = frame + MatchFrames <= frames
                                      ? FindInSignal(signal, recorded, frame, channels)
                                      : -1;
            if (found < 0) {
                if (lags.Unmatched++ == 0)
                    lags.UnmatchedAt = frame;
                if (lastUnmatched + 1 != frame)
                    lags.Departures.push_back(frame);
                lastUnmatched = frame;
                continue;
            }
            if (lags.Matched > 0 && int64_t(frame) - found != lag)
                lags.Departures.push_back(frame);
            aligned = true;
            lag = int64_t(frame) - found;
        }
        if (lags.Matched == 0 || lag < lags.Least) {
            lags.Least = lag;
            lags.LeastAt = frame;
        }
        if (lags.Matched == 0 || lag > lags.Most) {
            lags.Most = lag;
            lags.MostAt = frame;
        }
        ++lags.Matched;
        if (delay >= 0 && lag != delay) {
            if (stretch == NoStretch) {
                stretch = frame;
                ++lags.Stretches;
            }
            lags.LongestStretch = std::max(lags.LongestStretch, frame - stretch + 1);
        } else {
            stretch = NoStretch;
        }
    }
    return lags;
}

std::string DelayKeptThroughXruns(const std::vector<float>& signal,
                                  const std::vector<float>& recorded, int channels, int64_t delay,
                                  int periodFrames, uint64_t xruns, size_t skippedFrames) {
    const TSignalLags lags = MatchSignal(signal, recorded, channels, delay);
    const auto late = int64_t(xruns) * periodFrames + int64_t(skippedFrames);
    std::ostringstream why;
    if (lags.Matched == 0)
        why << "no signal frame came back; ";
    if (lags.Least < delay)
        why << "recording frame " << lags.LeastAt << " aired " << delay - lags.Least
            << " frames early; ";
    if (lags.Most > delay + late)
        why << "recording frame " << lags.MostAt << " aired " << lags.Most - delay
            << " frames late with " << xruns << " xruns; ";
    if (lags.Unmatched > 0)
        why << lags.Unmatched << " frames with sound are no signal frame; ";
    if (lags.Stretches > xruns)
        why << lags.Stretches << " stretches off the delay with " << xruns << " xruns; ";
    if (int64_t(lags.LongestStretch) > delay + late)
        why << "off the delay for " << lags.LongestStretch << " frames in a row; ";
    return why.str();
}

std::vector<float> GridSignal(size_t frames, int channels, int bytesPerSample) {
    std::vector<float> signal(frames * size_t(channels));
    uint32_t state = 12345;
    for (float& sample : signal) {
        int step;
        do {
            state = state * 1664525u + 1013904223u;
            step = bytesPerSample == 1 ? int(state >> 24) - 128 : int16_t(state >> 16);
        } while (step == 0);
        sample = float(step) / (bytesPerSample == 1 ? 128.0f : 32768.0f);
    }
    return signal;
}

TDelayedSignal FindDelayedSignal(const std::vector<float>& signal,
                                 const std::vector<float>& recorded, int channels) {
    TDelayedSignal found;
    const size_t frames = recorded.size() / size_t(channels);
    if (frames < MatchFrames)
        return found;
    // The ports are connected one by one, so the channels may start a period apart.
    size_t first = 0;
    while (first < frames &&
           std::any_of(&recorded[first * channels], &recorded[(first + 1) * channels],
                       [](float sample) { return sample == 0.0f; }))
        ++first;
    if (first + MatchFrames > frames)
        return found;
    const int64_t startAt = FindInSignal(signal, recorded, first, channels);
    if (startAt < 0)
        return found;
    found.Found = true;
    found.FirstSound = first;
    found.Delay = int64_t(first) - startAt;
    const size_t signalFrames = signal.size() / size_t(channels);
    while (first + found.ExactFrames < frames &&
           size_t(startAt) + found.ExactFrames < signalFrames &&
           FramesEqual(&recorded[(first + found.ExactFrames) * channels],
                       &signal[(size_t(startAt) + found.ExactFrames) * channels], 1, channels))
        ++found.ExactFrames;
    const size_t endWindow = frames - MatchFrames;
    const int64_t endAt = FindInSignal(signal, recorded, endWindow, channels);
    if (endAt >= 0)
        found.EndDelay = int64_t(endWindow) - endAt;
    return found;
}
