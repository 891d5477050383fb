// The real program on a real JACK server, driven over HTTP with curl as a playout system would:
// status, Play, Dump and Stop; then, listening beyond loopback, only with its token; then from a
// desk's MIDI and OSC; then over raw sockets as a careless client, a flood and a browser would;
// then its web panel in headless Chromium, as a producer would press Dump on it.

#include "tests/e2e/jacktestclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUdpSocket>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <memory>
#include <vector>

namespace {

constexpr int SampleRate = 48000;
constexpr const char* Token = "s3cret";

struct TAnswer {
    int Code = 0;
    QJsonObject Body;
};

class TProgram {
public:
    TProgram(const QString& remote) {
        EXPECT_TRUE(Config.isValid());
        Port = FreePort();
        WriteSettings(remote);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Config.path());
        // Its delay held apart from every other run's.
        environment.insert(QStringLiteral("RUNTIME_DIRECTORY"), Config.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        Process.setProcessEnvironment(environment);
        Process.setProcessChannelMode(QProcess::ForwardedChannels);
        Process.start(QStringLiteral(LAGVANE_PROGRAM), {});
    }

    quint16 RemotePort() const { return Port; }

    // The settings file rewritten and read again, as the service's reload does.
    void Reload(const QString& remote) {
        WriteSettings(remote);
        ::kill(pid_t(Process.processId()), SIGHUP);
    }

    // What the program holds now: resident memory in KiB, open descriptors.
    qint64 ResidentKiB() const {
        QFile status(QStringLiteral("/proc/%1/status").arg(Process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').front().toLongLong();
        return -1;
    }
    qsizetype OpenFiles() const {
        return QDir(QStringLiteral("/proc/%1/fd").arg(Process.processId()))
            .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
            .size();
    }

    ~TProgram() {
        Process.terminate();
        if (!Process.waitForFinished(10000))
            Process.kill();
    }

    // Asks until the answer satisfies done, for at most limitMs.
    TAnswer Ask(const char* method, const char* path, const QString& token = {},
                const std::function<bool(const TAnswer&)>& done = {}, int limitMs = 0) const {
        QElapsedTimer clock;
        clock.start();
        TAnswer answer = AskOnce(method, path, token);
        while (done && !done(answer) && clock.elapsed() < limitMs) {
            QThread::msleep(100);
            answer = AskOnce(method, path, token);
        }
        return answer;
    }

private:
    void WriteSettings(const QString& remote) {
        EXPECT_TRUE(WriteSettingsFile(
            Config.path(),
            QStringLiteral("[Settings]\nAudioFormat=3\nDelayTime=3\n\n[Dump]\n"
                           "BuildUpPercent=10\nExitPercent=10\n\n[Remote]\nPort=%1\n%2")
                .arg(Port)
                .arg(remote)
                .toUtf8()));
    }

    TAnswer AskOnce(const char* method, const char* path, const QString& token) const {
        QStringList arguments = QStringLiteral("-s -m 5 -X").split(u' ');
        arguments << QString::fromUtf8(method) << QStringLiteral("-w")
                  << QStringLiteral("\n%{http_code}");
        if (!token.isEmpty())
            arguments << QStringLiteral("-H") << QStringLiteral("Authorization: Bearer ") + token;
        arguments << QStringLiteral("http://127.0.0.1:%1%2").arg(Port).arg(path);
        QProcess curl;
        curl.start(QStringLiteral("curl"), arguments);
        if (!curl.waitForFinished(10000))
            return {};
        const QByteArray output = curl.readAllStandardOutput();
        const qsizetype split = output.lastIndexOf('\n');
        return {output.mid(split + 1).toInt(),
                QJsonDocument::fromJson(output.left(split)).object()};
    }

    QTemporaryDir Config;
    QProcess Process;
    quint16 Port = 0;
};

// What came back on one raw connection: the answers' codes in order, all the bytes, when the
// first answer's head was in, and whether the program closed the connection.
struct TRawAnswer {
    QList<int> Codes;
    QByteArray Text;
    qint64 FirstAnswerMs = -1;
    bool Closed = false;
};

// Reads what the program sends until it closes the connection or limitMs pass since clock
// started; while waiting, sends up to bodyBytes of zeros as fast as the program takes them.
void ReadRaw(QTcpSocket& socket, const QElapsedTimer& clock, int limitMs, TRawAnswer& answer,
             qint64 bodyBytes = 0) {
    const QByteArray chunk(64 * 1024, '\0');
    qint64 sent = 0;
    while (clock.elapsed() < limitMs && socket.state() == QAbstractSocket::ConnectedState) {
        if (sent < bodyBytes && socket.bytesToWrite() < chunk.size()) {
            socket.write(chunk);
            sent += chunk.size();
        }
        socket.waitForReadyRead(10);
        answer.Text += socket.readAll();
        if (answer.FirstAnswerMs < 0 && answer.Text.contains("\r\n\r\n"))
            answer.FirstAnswerMs = clock.elapsed();
    }
    answer.Text += socket.readAll();
    answer.Closed = socket.state() != QAbstractSocket::ConnectedState;
    for (qsizetype at = 0; (at = answer.Text.indexOf("HTTP/1.1 ", at)) >= 0; at += 9)
        if (at == 0 || answer.Text[at - 1] == '\n')
            answer.Codes << answer.Text.mid(at + 9, 3).toInt();
}

TRawAnswer SendRaw(quint16 port, const QByteArray& request, qint64 bodyBytes = 0) {
    TRawAnswer answer;
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(1000))
        return answer;
    QElapsedTimer clock;
    clock.start();
    socket.write(request);
    ReadRaw(socket, clock, 3000, answer, bodyBytes);
    return answer;
}

bool Answers(const TAnswer& answer) {
    return answer.Code != 0;
}

bool CanDump(const TAnswer& answer) {
    return answer.Body[QStringLiteral("canDump")].toBool();
}

TEST(RemoteControlTest, CurlPlaysDumpsAndStopsTheProgramAndATokenGuardsOtherAddresses) {
    UseJackServer(SampleRate);
    {
        TProgram program({});
        TAnswer status = program.Ask("GET", "/api/status", {}, Answers, 20000);
        ASSERT_EQ(status.Code, 200) << "the program's remote control did not answer";
        EXPECT_FALSE(status.Body[QStringLiteral("running")].toBool());
        EXPECT_EQ(program.Ask("POST", "/api/dump").Code, 409);

        const TAnswer played = program.Ask("POST", "/api/play");
        ASSERT_EQ(played.Code, 200);
        EXPECT_TRUE(played.Body[QStringLiteral("running")].toBool());
        EXPECT_DOUBLE_EQ(played.Body[QStringLiteral("setDelay")].toDouble(), 3.0);
        status = program.Ask("GET", "/api/status", {}, CanDump, 10000);
        ASSERT_TRUE(CanDump(status)) << "Dump never became possible";
        const double before = status.Body[QStringLiteral("onAirDelay")].toDouble();
        EXPECT_GE(before, 3.0);

        // The answer comes once the audio side has skipped, with the state after it.
        const TAnswer dump = program.Ask("POST", "/api/dump");
        ASSERT_EQ(dump.Code, 200);
        EXPECT_GT(dump.Body[QStringLiteral("dumped")].toDouble(), 2.5);
        const auto dumped = [&](const TAnswer& answer) {
            return answer.Body[QStringLiteral("onAirDelay")].toDouble() < before - 2.5;
        };
        EXPECT_TRUE(dumped(dump)) << "on air " << dump.Body["onAirDelay"].toDouble() << " s";
        status = program.Ask("GET", "/api/status");
        const QJsonObject buildUp = status.Body[QStringLiteral("buildUp")].toObject();
        EXPECT_TRUE(buildUp[QStringLiteral("active")].toBool());
        EXPECT_GT(buildUp[QStringLiteral("secondsLeft")].toDouble(), 20.0);
        const QJsonObject dropouts = status.Body[QStringLiteral("dropouts")].toObject();
        EXPECT_EQ(dropouts[QStringLiteral("dry")].toInt(), 0);

        // Exit winds what is left of the delay down to live, where Dump is refused; Build
        // winds it up again. The output never runs dry on the way.
        const auto inState = [](const char* state) {
            return [state](const TAnswer& answer) {
                return answer.Body[QStringLiteral("state")].toString() == QLatin1String(state);
            };
        };
        EXPECT_EQ(program.Ask("POST", "/api/exit").Code, 200);
        EXPECT_EQ(program.Ask("POST", "/api/dump").Code, 409);
        status = program.Ask("GET", "/api/status", {}, inState("live"), 20000);
        ASSERT_TRUE(inState("live")(status)) << "never went live";
        EXPECT_LT(status.Body[QStringLiteral("onAirDelay")].toDouble(), 0.1);
        EXPECT_EQ(program.Ask("POST", "/api/build").Code, 200);
        status = program.Ask("GET", "/api/status", {}, inState("building up"), 2000);
        EXPECT_TRUE(inState("building up")(status));
        EXPECT_EQ(status.Body[QStringLiteral("dropouts")].toObject()[QStringLiteral("dry")].toInt(),
                  0);

        const TAnswer stopped = program.Ask("POST", "/api/stop");
        EXPECT_EQ(stopped.Code, 200);
        EXPECT_FALSE(stopped.Body[QStringLiteral("running")].toBool());
    }
    {
        TProgram program(QStringLiteral("Address=0.0.0.0\nToken=%1\n").arg(Token));
        const TAnswer refused = program.Ask("POST", "/api/play", {}, Answers, 20000);
        EXPECT_EQ(refused.Code, 401);
        EXPECT_EQ(program.Ask("POST", "/api/play", QStringLiteral("wrong")).Code, 401);
        const TAnswer status = program.Ask("GET", "/api/status", QString::fromUtf8(Token));
        EXPECT_EQ(status.Code, 200);
        EXPECT_FALSE(status.Body[QStringLiteral("running")].toBool());
    }
}

// A desk's MIDI output on JACK: a note struck is sent in the next cycle.
class TMidiDesk {
public:
    TMidiDesk() {
        Client = jack_client_open("desk", JackNoStartServer, nullptr);
        if (!Client)
            return;
        Port = jack_port_register(Client, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        jack_set_process_callback(Client, &Process, this);
        jack_activate(Client);
    }
    ~TMidiDesk() {
        if (Client)
            jack_client_close(Client);
    }
    bool ConnectTo(const char* port) const {
        return Port && jack_connect(Client, jack_port_name(Port), port) == 0;
    }
    void Strike(uint8_t note) { Note.store(note); }

private:
    static int Process(jack_nframes_t frames, void* argument) {
        auto* desk = static_cast<TMidiDesk*>(argument);
        void* buffer = jack_port_get_buffer(desk->Port, frames);
        jack_midi_clear_buffer(buffer);
        if (const int note = desk->Note.exchange(-1); note >= 0) {
            const jack_midi_data_t on[] = {0x90, jack_midi_data_t(note), 100};
            jack_midi_event_write(buffer, 0, on, sizeof on);
        }
        return 0;
    }

    jack_client_t* Client = nullptr;
    jack_port_t* Port = nullptr;
    std::atomic<int> Note{-1};
};

TEST(RemoteControlTest, ADeskDumpsOverMidiAndStopsPlaysAndDumpsOverOsc) {
    UseJackServer(SampleRate);
    const quint16 oscPort = FreePort();
    TProgram program(QStringLiteral("\n[Midi]\nDump=note 36\n\n[Osc]\nPort=%1\n").arg(oscPort));
    ASSERT_EQ(program.Ask("GET", "/api/status", {}, Answers, 20000).Code, 200);
    TMidiDesk desk;
    ASSERT_TRUE(desk.ConnectTo("Lagvane:control")) << "no MIDI port to connect to";
    QUdpSocket osc;
    // Each path used is 13 bytes: padded to 16, then the empty type tag of a message without
    // arguments.
    const auto sendOsc = [&](const char* path) {
        const QByteArray message = QByteArray(path) + QByteArray("\0\0\0,\0\0\0", 7);
        ASSERT_GT(osc.writeDatagram(message, QHostAddress::LocalHost, oscPort), 0);
    };
    const auto stopped = [](const TAnswer& answer) {
        return !answer.Body[QStringLiteral("running")].toBool();
    };
    // Each press dumps a fresh run's whole delay, unless told less: a new last dump, the
    // on-air delay fallen.
    QJsonValue lastDump;
    const auto dumpBy = [&](const std::function<void()>& press, double fallen = 2.5) {
        const TAnswer ready = program.Ask("GET", "/api/status", {}, CanDump, 10000);
        ASSERT_TRUE(CanDump(ready)) << "Dump never became possible";
        const double before = ready.Body[QStringLiteral("onAirDelay")].toDouble();
        press();
        const auto taken = [&](const TAnswer& answer) {
            return answer.Body[QStringLiteral("lastDump")] != lastDump &&
                   answer.Body[QStringLiteral("onAirDelay")].toDouble() < before - fallen;
        };
        const TAnswer dumped = program.Ask("GET", "/api/status", {}, taken, 5000);
        EXPECT_TRUE(taken(dumped)) << "on air " << dumped.Body["onAirDelay"].toDouble() << " s";
        EXPECT_EQ(dumped.Body[QStringLiteral("state")].toString(), QStringLiteral("building up"));
        lastDump = dumped.Body[QStringLiteral("lastDump")];
    };
    ASSERT_EQ(program.Ask("POST", "/api/play").Code, 200);
    dumpBy([&] { desk.Strike(36); });

    sendOsc("/lagvane/stop");
    EXPECT_TRUE(stopped(program.Ask("GET", "/api/status", {}, stopped, 10000)));
    // Refused while the stop drains the devices, as the window's button is: pressed till back.
    program.Ask(
        "GET", "/api/status", {},
        [&](const TAnswer& answer) {
            if (stopped(answer))
                sendOsc("/lagvane/play");
            return !stopped(answer);
        },
        10000);
    dumpBy([&] { sendOsc("/lagvane/dump"); });

    // A reload that maps Dump to another note keeps the desk's connection, the OSC port and
    // the remote control with its clients: the panel's live stream opened before runs on.
    QTcpSocket stream;
    stream.connectToHost(QHostAddress::LocalHost, program.RemotePort());
    ASSERT_TRUE(stream.waitForConnected(2000));
    stream.write("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" +
                 QByteArray::number(program.RemotePort()) + "\r\n\r\n");
    ASSERT_TRUE(stream.waitForReadyRead(2000));
    EXPECT_TRUE(stream.readAll().startsWith("HTTP/1.1 200"));
    program.Reload(QStringLiteral("\n[Midi]\nDump=note 37\n\n[Osc]\nPort=%1\n").arg(oscPort));
    // What built up since the last dump.
    dumpBy([&] { desk.Strike(37); }, 0.5);
    stream.readAll();
    EXPECT_TRUE(stream.waitForReadyRead(2000)) << "the reload closed the panel's stream";
}

TEST(RemoteControlTest, HoldsAgainstBadRequestsFloodsAndBrowsers) {
    constexpr int IdleConnections = 200;
    constexpr int SlowClients = 40;
    constexpr int MostConnections = 32;
    constexpr qint64 MostGrowthKiB = 2048;
    UseJackServer(SampleRate);
    TProgram program(QStringLiteral("Token=%1\n").arg(Token));
    const QString token = QString::fromUtf8(Token);
    ASSERT_EQ(program.Ask("GET", "/api/status", token, Answers, 20000).Code, 200);
    const quint16 port = program.RemotePort();
    const qsizetype filesBefore = program.OpenFiles();
    // Every request that names its host carries the token too, as the station's automation's.
    const auto head = [port](QByteArray text) {
        return text.replace("{host}", "127.0.0.1:" + QByteArray::number(port) +
                                          "\r\nAuthorization: Bearer " + Token);
    };

    // A head left half-sent is refused once its 2 s are up, not before.
    QTcpSocket halfSent;
    halfSent.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(halfSent.waitForConnected(1000));
    QElapsedTimer halfSentClock;
    halfSentClock.start();
    halfSent.write(head("POST /api/play HTTP/1.1\r\nHost: {host}\r\n"));
    TRawAnswer timedOut;
    ReadRaw(halfSent, halfSentClock, 4000, timedOut);
    EXPECT_EQ(timedOut.Codes, QList<int>{408});
    EXPECT_TRUE(timedOut.Closed);
    EXPECT_GE(timedOut.FirstAnswerMs, 1500);

    // Each is answered within a second and closed, keeps less than 2 MB, and presses nothing:
    // every request on Play is refused.
    const struct {
        const char* name;
        QByteArray request;
        qint64 bodyBytes;
        QList<int> codes;
    } cases[] = {
        {"head over 16 KiB",
         head("POST /api/play HTTP/1.1\r\nHost: {host}\r\nX-Filler: ") + QByteArray(20000, 'a') +
             "\r\n\r\n",
         0,
         {431}},
        {"1 GB body",
         head("POST /api/play HTTP/1.1\r\nHost: {host}\r\nContent-Length: 1073741824\r\n\r\n"),
         64 << 20,
         {413}},
        {"foreign Host",
         head("POST /api/play HTTP/1.1\r\nHost: evil.example:%1\r\nConnection: close\r\n\r\n")
             .replace("%1", QByteArray::number(port)),
         0,
         {421}},
        {"negative length",
         head("POST /api/play HTTP/1.1\r\nHost: {host}\r\nContent-Length: -5\r\n\r\n"),
         0,
         {400}},
        {"two lengths",
         head("POST /api/play HTTP/1.1\r\nHost: {host}\r\nContent-Length: 0\r\nContent-Length: "
              "5\r\n\r\nhello"),
         0,
         {400}},
        {"bad chunk size",
         head(
             "POST /api/play HTTP/1.1\r\nHost: {host}\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"),
         0,
         {400}},
        {"HEAD, then GET behind it",
         head("HEAD /api/play HTTP/1.1\r\nHost: {host}\r\n\r\nHEAD /api/status "
              "HTTP/1.1\r\nHost: {host}\r\n\r\nGET /api/status HTTP/1.1\r\nHost: "
              "{host}\r\nConnection: close\r\n\r\n"),
         0,
         {405, 200, 200}},
        {"Upgrade",
         head("POST /api/stop HTTP/1.1\r\nHost: {host}\r\nConnection: Upgrade, close\r\nUpgrade: "
              "websocket\r\n\r\n"),
         0,
         {200}},
        {"HTTP/1.0",
         "GET /api/status HTTP/1.0\r\nAuthorization: Bearer " + QByteArray(Token) + "\r\n\r\n",
         0,
         {200}},
        {"long path",
         head("GET /" + QByteArray(10000, 'x') +
              " HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n"),
         0,
         {404}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const qint64 residentBefore = program.ResidentKiB();
        const TRawAnswer answer = SendRaw(port, c.request, c.bodyBytes);
        EXPECT_EQ(answer.Codes, c.codes) << answer.Text.left(2000).data();
        EXPECT_GE(answer.FirstAnswerMs, 0);
        EXPECT_LT(answer.FirstAnswerMs, 1000);
        EXPECT_TRUE(answer.Closed);
        EXPECT_LT(program.ResidentKiB() - residentBefore, MostGrowthKiB);
        // Answers to HEAD carry no body: the next answer follows the blank line at once.
        if (c.codes.size() > 1) {
            EXPECT_EQ(answer.Text.count("\r\n\r\nHTTP/1.1 "), c.codes.size() - 1);
        }
        EXPECT_LT(answer.Text.size(), 1000);
        EXPECT_FALSE(
            program.Ask("GET", "/api/status", token).Body[QStringLiteral("running")].toBool());
    }

    // Idle connections never crowd out a request; the program keeps no more than its limit.
    std::vector<std::unique_ptr<QTcpSocket>> idle;
    for (int i = 0; i < IdleConnections; ++i) {
        idle.push_back(std::make_unique<QTcpSocket>());
        idle.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    QElapsedTimer connecting;
    connecting.start();
    for (const auto& socket : idle)
        socket->waitForConnected(int(std::max<qint64>(1, 5000 - connecting.elapsed())));
    const TRawAnswer status = SendRaw(
        port, head("GET /api/status HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(status.Codes, QList<int>{200});
    EXPECT_GE(status.FirstAnswerMs, 0);
    EXPECT_LT(status.FirstAnswerMs, 1000);
    EXPECT_LE(program.OpenFiles(), filesBefore + MostConnections);
    idle.clear();

    // Nor do more half-sent heads than the program keeps, from the one address every local
    // client shares: the oldest give way to the status and the Dump, answered at once.
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < SlowClients; ++i) {
        slow.push_back(std::make_unique<QTcpSocket>());
        slow.back()->connectToHost(QHostAddress::LocalHost, port);
        ASSERT_TRUE(slow.back()->waitForConnected(1000));
        slow.back()->write("GET /api/status HTTP/1.1\r\nX: ");
        ASSERT_TRUE(slow.back()->waitForBytesWritten(1000));
    }
    for (const auto& [request, code] :
         {std::pair{"GET /api/status", 200}, std::pair{"POST /api/dump", 409}}) {
        const TRawAnswer answer = SendRaw(
            port,
            head(request + QByteArray(" HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n")));
        EXPECT_EQ(answer.Codes, QList<int>{code}) << request;
        EXPECT_GE(answer.FirstAnswerMs, 0);
        EXPECT_LT(answer.FirstAnswerMs, 1000);
    }
    EXPECT_LE(program.OpenFiles(), filesBefore + MostConnections);
}

bool WaitFor(const std::function<bool()>& done, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QThread::msleep(100);
    }
    return true;
}

// Headless Chromium, driven through chromedriver's WebDriver API: JSON over HTTP, sent with curl.
class TBrowser {
public:
    TBrowser() {
        const quint16 port = FreePort();
        Driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        Driver.start(QStringLiteral("chromedriver"), {QStringLiteral("--port=%1").arg(port)});
        if (!Driver.waitForStarted(5000)) {
            Failure = QStringLiteral("chromedriver does not start: ") + Driver.errorString();
            return;
        }
        Base = QStringLiteral("http://127.0.0.1:%1").arg(port);
        WaitFor([this] { return Send("GET", "/status")[QStringLiteral("ready")].toBool(); }, 10000);
        // Root has no sandbox to drop into.
        const QJsonObject options{
            {QStringLiteral("binary"), QStringLiteral("/usr/bin/chromium")},
            {QStringLiteral("args"),
             QJsonArray{"--headless=new", "--no-sandbox", "--disable-gpu",
                        "--disable-dev-shm-usage", "--window-size=1280,900"}}};
        const QJsonValue session =
            Send("POST", "/session",
                 QJsonObject{{QStringLiteral("capabilities"),
                              QJsonObject{{QStringLiteral("alwaysMatch"),
                                           QJsonObject{{"goog:chromeOptions", options}}}}}});
        Session = session[QStringLiteral("sessionId")].toString();
        if (Session.isEmpty())
            Failure = QStringLiteral("Chromium does not start: ") +
                      session[QStringLiteral("message")].toString();
    }
    ~TBrowser() {
        if (!Session.isEmpty())
            Send("DELETE", "/session/" + Session.toUtf8());
        Driver.terminate();
        if (!Driver.waitForFinished(5000))
            Driver.kill();
    }

    // Empty when the browser is there to drive.
    QString Failure;

    void Open(const QString& url) {
        Send("POST", "/url", QJsonObject{{QStringLiteral("url"), url}}, true);
    }
    void Click(const QString& selector) {
        const QJsonObject found = Send("POST", "/element",
                                       QJsonObject{{QStringLiteral("using"), "css selector"},
                                                   {QStringLiteral("value"), selector}},
                                       true)
                                      .toObject();
        const QByteArray element = found.begin()->toString().toUtf8();
        Send("POST", "/element/" + element + "/click", QJsonObject{}, true);
    }
    QJsonValue Run(const QString& script) {
        return Send(
            "POST", "/execute/sync",
            QJsonObject{{QStringLiteral("script"), script}, {QStringLiteral("args"), QJsonArray{}}},
            true);
    }

private:
    // The command's "value"; inSession puts the path under this browser's session.
    QJsonValue Send(const char* method, const QByteArray& path, const QJsonObject& body = {},
                    bool inSession = false) {
        QStringList arguments{QStringLiteral("-s"), QStringLiteral("-m"), QStringLiteral("60"),
                              QStringLiteral("-X"), QString::fromLatin1(method)};
        if (QByteArrayView(method) == "POST")
            arguments << QStringLiteral("-H") << QStringLiteral("Content-Type: application/json")
                      << QStringLiteral("-d")
                      << QString::fromUtf8(QJsonDocument(body).toJson(QJsonDocument::Compact));
        arguments << Base + (inSession ? QStringLiteral("/session/") + Session : QString()) +
                         QString::fromUtf8(path);
        QProcess curl;
        curl.start(QStringLiteral("curl"), arguments);
        curl.waitForFinished(70000);
        return QJsonDocument::fromJson(curl.readAllStandardOutput())[QStringLiteral("value")];
    }

    QProcess Driver;
    QString Base;
    QString Session;
};

// The panel's "h:mm:ss.s" in seconds; -1 for anything else.
double ClockSeconds(const QString& text) {
    const QStringList parts = text.split(u':');
    if (parts.size() != 3)
        return -1.0;
    return parts[0].toInt() * 3600.0 + parts[1].toInt() * 60.0 + parts[2].toDouble();
}

TEST(RemoteControlTest, TheWebPanelInABrowserDumpsAndShowsTheDelayBuildUpAgain) {
    UseJackServer(SampleRate);
    TProgram program({});
    ASSERT_EQ(program.Ask("GET", "/api/status", {}, Answers, 20000).Code, 200);
    ASSERT_EQ(program.Ask("POST", "/api/play").Code, 200);
    TBrowser browser;
    if (!browser.Failure.isEmpty())
        GTEST_SKIP() << browser.Failure.toStdString();
    QElapsedTimer opened;
    opened.start();
    browser.Open(QStringLiteral("http://127.0.0.1:%1/").arg(program.RemotePort()));
    const auto text = [&browser](const char* id) {
        return browser
            .Run(QStringLiteral("return document.getElementById('%1').textContent")
                     .arg(QLatin1String(id)))
            .toString();
    };
    const auto buildUpShown = [&browser] {
        return !browser.Run(QStringLiteral("return document.getElementById('buildup').hidden"))
                    .toBool();
    };
    const auto buildUpPercent = [&text] {
        return text("buildup-text").section(u' ', 0, 0).toInt();
    };

    double before = -1.0;
    ASSERT_TRUE(WaitFor(
        [&] {
            before = ClockSeconds(text("onair"));
            return before >= 3.0 &&
                   !browser.Run(QStringLiteral("return document.getElementById('dump').disabled"))
                        .toBool();
        },
        15000))
        << "the panel never showed the delay on air with Dump to press: " << before << " s";
    EXPECT_FALSE(buildUpShown());
    browser.Click(QStringLiteral("#dump"));
    EXPECT_TRUE(WaitFor([&] { return ClockSeconds(text("onair")) < before - 2.5; }, 5000))
        << "on air " << text("onair").toStdString() << " after Dump, " << before << " s before";
    ASSERT_TRUE(WaitFor(buildUpShown, 2000)) << "no build-up on the panel";
    EXPECT_EQ(text("state"), QStringLiteral("building up"));
    EXPECT_EQ(text("refusal"), QString());
    const int first = buildUpPercent();
    EXPECT_TRUE(WaitFor([&] { return buildUpPercent() >= first + 30; }, 20000))
        << "the build-up stood at " << text("buildup-text").toStdString();

    // Everything the page loaded came from the program, and its one stream never broke off,
    // though it ran past the 10 s any request is given: a stream shows among the resources
    // only once it has ended.
    WaitFor([&] { return opened.elapsed() > 12000; }, 13000);
    const QStringList loaded =
        browser
            .Run(QStringLiteral(
                "return performance.getEntriesByType('resource').map((entry) => entry.name)"))
            .toVariant()
            .toStringList();
    const QString origin = QStringLiteral("http://127.0.0.1:%1/").arg(program.RemotePort());
    EXPECT_FALSE(loaded.isEmpty());
    for (const QString& url : loaded) {
        EXPECT_TRUE(url.startsWith(origin)) << url.toStdString();
        EXPECT_FALSE(url.endsWith(QStringLiteral("/api/events"))) << "the stream broke off";
    }
}

} // namespace
