#include "remote/remotecontrol.h"
#include "remote/triggers.h"
#include "station/inifile.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

class TFakeTarget : public TConsole {
public:
    TRunReport Report() const override { return Status; }
    TPressResult Dump() override {
        TPressResult result = Called("Dump");
        if (!Unanswered)
            result.DumpedSeconds = DumpedSeconds;
        return result;
    }
    TPressResult Play() override { return Called("Play"); }
    TPressResult Stop() override { return Called("Stop"); }
    TPressResult Exit() override { return Called("Exit"); }
    TPressResult Build() override { return Called("Build"); }
    TPressResult CoughStart() override { return Called("CoughStart"); }
    TPressResult CoughStop() override { return Called("CoughStop"); }
    TPressResult Called(const QString& name) {
        Calls << name;
        return {Error, {}};
    }
    TRunReport Status{true,
                      "16 bit stereo",
                      2.5,
                      2.51,
                      0.01,
                      true,
                      true,
                      0.25,
                      30.0,
                      {7, 1, 2},
                      false,
                      0.0,
                      0,
                      TRunState::BuildingUp,
                      {QDateTime(QDate(2024, 3, 1), QTime(14, 5, 9), QTimeZone(3600)),
                       "The input device stopped: it is no longer available."},
                      2,
                      12.5,
                      TResumedDelay{2.5, 1.25},
                      false,
                      TLastDump{QDateTime(QDate(2024, 3, 1), QTime(14, 5, 2, 517), QTimeZone(3600)),
                                2.917,
                                {"/srv/evidence/2024-03-01T14-05-02.517-dumped.flac",
                                 "/srv/evidence/2024-03-01T14-05-02.517-aired.flac"}},
                      // The right bar past the top of the meter, its peak box lit.
                      {250, 1200, true, false},
                      {187500, 3, 410, 120, 5333}};
    QString Error;
    bool Unanswered = false;
    double DumpedSeconds = 1.25;
    QStringList Calls;
};

// One request on its own connection; the reply is whole once its Content-Length is in.
QByteArray Exchange(quint16 port, const QByteArray& request) {
    QTcpSocket socket;
    QByteArray reply;
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::connected, [&] { socket.write(request); });
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    // Tied to the loop, so that what the stream sends after this returns reads into nothing.
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
        reply += socket.readAll();
        const qsizetype end = reply.indexOf("\r\n\r\n"), at = reply.indexOf("Content-Length: ");
        if (end > at && at > 0 &&
            reply.size() - end - 4 >= reply.mid(at + 16, reply.indexOf('\r', at) - at - 16).toInt())
            loop.quit();
    });
    socket.connectToHost(QHostAddress::LocalHost, port);
    loop.exec();
    return reply;
}

TEST(RemoteControlTest, AnswersEachRequestWithJsonAndActsOnlyWhenAllowed) {
    const struct {
        const char* name;
        const char* token;
        const char* request;
        const char* headers;
        const char* targetError;
        const char* status;
        const char* call;
        // The audio side has not answered the dump yet.
        bool unanswered = false;
    } cases[] = {
        {"status", "", "GET /api/status", "", "", "200", ""},
        {"dump", "", "POST /api/dump", "", "", "200", "Dump"},
        {"dump not taken yet", "", "POST /api/dump", "", "", "202", "Dump", true},
        {"play", "", "POST /api/play", "", "", "200", "Play"},
        {"stop", "", "POST /api/stop", "", "", "200", "Stop"},
        {"target refuses", "", "POST /api/play", "", "Can't play format", "409", "Play"},
        {"exit", "", "POST /api/exit", "", "", "200", "Exit"},
        {"build", "", "POST /api/build", "", "", "200", "Build"},
        {"cough start", "", "POST /api/cough/start", "", "", "200", "CoughStart"},
        {"cough stop", "", "POST /api/cough/stop", "", "", "200", "CoughStop"},
        {"unknown path", "", "GET /api/volume", "", "", "404", ""},
        {"wrong method", "", "GET /api/dump", "", "", "405", ""},
        {"HEAD is GET without the body", "", "HEAD /api/status", "Connection: close\r\n", "", "200",
         ""},
        {"body on GET", "", "GET /api/status", "Content-Length: 2\r\n\r\n{}", "", "413", ""},
        {"empty body", "", "POST /api/play", "Content-Length: 0\r\n", "", "200", "Play"},
        {"chunked", "", "POST /api/play", "Transfer-Encoding: chunked\r\n\r\nzz\r\n", "", "400",
         ""},
        {"length twice", "", "POST /api/play", "Content-Length: 0\r\nContent-Length: 0\r\n", "",
         "400", ""},
        {"space before colon", "", "POST /api/play", "Content-Length : 5\r\n", "", "400", ""},
        {"query", "", "POST /api/dump?seconds=2", "", "", "400", ""},
        {"foreign host", "", "POST /api/dump", "Host: evil.example:%1\r\n", "", "421", ""},
        {"loopback name on another port", "", "POST /api/dump", "Host: localhost:1\r\n", "", "421",
         ""},
        {"host the station named", "", "POST /api/play", "Host: Studio.example\r\n", "", "200",
         "Play"},
        {"IPv6 loopback", "", "POST /api/play", "Host: [::1]:%1\r\n", "", "200", "Play"},
        {"from a web page", "", "POST /api/dump", "Origin: http://ads.example\r\n", "", "403", ""},
        {"from the panel", "", "POST /api/dump", "Origin: http://127.0.0.1:%1\r\n", "", "200",
         "Dump"},
        {"from a page on another port", "", "POST /api/dump", "Origin: http://127.0.0.1:1\r\n", "",
         "403", ""},
        {"no token", "k1", "POST /api/dump", "", "", "401", ""},
        {"wrong token", "k1", "POST /api/dump", "Authorization: Bearer k2\r\n", "", "401", ""},
        {"right token", "k1", "POST /api/dump", "Authorization: bearer k1\r\n", "", "200", "Dump"},
        {"events for an image", "k1", "GET /api/events",
         "Authorization: Bearer k1\r\nSec-Fetch-Site: same-origin\r\nSec-Fetch-Dest: image\r\n", "",
         "403", ""},
        {"events for another site", "k1", "GET /api/events",
         "Authorization: Bearer k1\r\nSec-Fetch-Site: cross-site\r\nSec-Fetch-Dest: empty\r\n", "",
         "403", ""},
        {"events for a sibling site", "k1", "GET /api/events",
         "Authorization: Bearer k1\r\nSec-Fetch-Site: same-site\r\nSec-Fetch-Dest: empty\r\n", "",
         "403", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TFakeTarget target;
        target.Error = c.targetError;
        target.Unanswered = c.unanswered;
        TRemoteControl remote(target, {true, "127.0.0.1", 0, c.token, {"studio.example"}});
        ASSERT_EQ(remote.Listen(), QString());
        // A header list that carries a body ends the head itself.
        const QByteArray headers =
            QByteArray(c.headers).replace("%1", QByteArray::number(remote.Port()));
        const QByteArray host =
            headers.contains("Host:")
                ? ""
                : "Host: 127.0.0.1:" + QByteArray::number(remote.Port()) + "\r\n";
        const QByteArray reply =
            Exchange(remote.Port(), c.request + (" HTTP/1.1\r\n" + host) + headers +
                                        (headers.contains("\r\n\r\n") ? "" : "\r\n"));
        const qsizetype bodyStart = reply.indexOf("\r\n\r\n") + 4;
        const QByteArray body = reply.mid(bodyStart);
        EXPECT_TRUE(reply.startsWith("HTTP/1.1 " + QByteArray(c.status) + ' ')) << reply.data();
        EXPECT_TRUE(reply.left(bodyStart).contains("\r\nContent-Type: application/json\r\n"));
        EXPECT_EQ(target.Calls, *c.call ? QStringList{c.call} : QStringList{});
        if (QByteArray(c.request).startsWith("HEAD")) {
            EXPECT_TRUE(reply.contains("\r\nContent-Length: ")) << reply.data();
            EXPECT_TRUE(body.isEmpty()) << body.data();
            continue;
        }
        EXPECT_EQ(body.indexOf('\n'), body.size() - 1);
        const QJsonObject json = QJsonDocument::fromJson(body).object();
        const QString error = json[QStringLiteral("error")].toString();
        if (QByteArray(c.status) >= "300") {
            EXPECT_FALSE(error.isEmpty());
            if (*c.targetError) {
                EXPECT_EQ(error, target.Error);
            }
            continue;
        }
        QStringList keys{"buildUp",       "canDump",    "cough",    "cycles",      "deviceLatency",
                         "dropouts",      "format",     "lastDump", "lastMessage", "levels",
                         "offAirSeconds", "onAirDelay", "restarts", "resumed",     "running",
                         "setDelay",      "state"};
        if (QByteArray(c.status) == "200" && QByteArray(c.call) == "Dump") {
            keys.insert(6, "dumped");
            EXPECT_EQ(json[QStringLiteral("dumped")].toDouble(), target.DumpedSeconds);
        }
        EXPECT_EQ(json.keys(), keys);
        EXPECT_EQ(json[QStringLiteral("state")].toString(), QStringLiteral("building up"));
        EXPECT_EQ(json[QStringLiteral("lastMessage")][QStringLiteral("time")].toString(),
                  QStringLiteral("2024-03-01T14:05:09.000+01:00"));
        EXPECT_EQ(json[QStringLiteral("lastMessage")][QStringLiteral("text")].toString(),
                  target.Status.LastMessage.Text);
        EXPECT_EQ(json[QStringLiteral("restarts")].toInteger(), 2);
        EXPECT_EQ(json[QStringLiteral("offAirSeconds")].toDouble(), 12.5);
        EXPECT_EQ(json[QStringLiteral("resumed")][QStringLiteral("heldSeconds")].toDouble(), 2.5);
        EXPECT_EQ(json[QStringLiteral("resumed")][QStringLiteral("lostSeconds")].toDouble(), 1.25);
        const QJsonObject lastDump = json[QStringLiteral("lastDump")].toObject();
        EXPECT_EQ(lastDump[QStringLiteral("time")].toString(),
                  QStringLiteral("2024-03-01T14:05:02.517+01:00"));
        EXPECT_EQ(lastDump[QStringLiteral("seconds")].toDouble(), 2.917);
        EXPECT_EQ(lastDump[QStringLiteral("files")].toVariant().toStringList(),
                  target.Status.LastDump->Files);
        EXPECT_EQ(json[QStringLiteral("levels")].toObject(),
                  QJsonDocument::fromJson(R"({"left": {"bar": 0.25, "peak": "ok"},
                                              "right": {"bar": 1, "peak": "hi"}})")
                      .object());
        EXPECT_EQ(json[QStringLiteral("cycles")].toObject(),
                  QJsonDocument::fromJson(R"({"count": 187500, "late": 3, "worstMicros": 410,
                                              "p999Micros": 120, "periodMicros": 5333})")
                      .object());
        EXPECT_EQ(json[QStringLiteral("format")].toString(), target.Status.Format);
        EXPECT_EQ(json[QStringLiteral("buildUp")][QStringLiteral("secondsLeft")].toDouble(),
                  target.Status.BuildUpSecondsLeft);
        EXPECT_EQ(json[QStringLiteral("dropouts")][QStringLiteral("framesLost")].toInteger(),
                  target.Status.Dropouts.LostFrames);
    }
}

// Reads what the server sends until enough is in or the server closes the connection.
QByteArray ReadUntil(QTcpSocket& socket, const std::function<bool(const QByteArray&)>& enough) {
    QByteArray text = socket.readAll();
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
    // Tied to the loop, so that what the stream sends after this returns reads into nothing.
    QObject::connect(&socket, &QTcpSocket::readyRead, &loop, [&] {
        text += socket.readAll();
        if (enough(text))
            loop.quit();
    });
    if (!enough(text) && socket.state() != QAbstractSocket::UnconnectedState)
        loop.exec();
    return text;
}

TEST(RemoteControlTest, KeepsFivePanelsStreamsGoingAndTheNewestPushesOutTheOldest) {
    TFakeTarget target;
    TRemoteControl remote(target, {true, "127.0.0.1", 0, "k1", {}});
    ASSERT_EQ(remote.Listen(), QString());
    std::vector<std::unique_ptr<QTcpSocket>> streams;
    const auto open = [&] {
        streams.push_back(std::make_unique<QTcpSocket>());
        streams.back()->connectToHost(QHostAddress::LocalHost, remote.Port());
        streams.back()->write(
            "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(remote.Port()) +
            "\r\nAuthorization: Bearer k1\r\nSec-Fetch-Site: "
            "same-origin\r\nSec-Fetch-Dest: empty\r\n\r\n");
        // The first event comes with the head; a second shows the stream kept going.
        return ReadUntil(*streams.back(),
                         [](const QByteArray& text) { return text.count("\ndata: {") >= 2; });
    };
    for (int i = 0; i < 6; ++i) {
        const QByteArray text = open();
        EXPECT_TRUE(text.startsWith("HTTP/1.1 200 ")) << text.left(200).data();
        EXPECT_TRUE(text.contains("\r\nContent-Type: text/event-stream\r\n"));
        EXPECT_GE(text.count("\ndata: {\"buildUp\""), 2) << text.left(200).data();
    }
    // The sixth took the first one's place; the others keep theirs.
    ReadUntil(*streams.front(), [](const QByteArray&) { return false; });
    EXPECT_EQ(streams.front()->state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(streams[1]->state(), QAbstractSocket::ConnectedState);
}

TEST(TriggersTest, MidiMessagesPressWhatTheyAreMappedTo) {
    const struct {
        const char* text;
        std::optional<TMidiBinding> binding;
    } bindings[] = {
        {"note 36", TMidiBinding{TMidiControl::TKind::Note, 36}},
        {" CC  127 ", TMidiBinding{TMidiControl::TKind::Controller, 127}},
        {"note 128", {}},
        {"pitch 3", {}},
        {"note 36 37", {}},
    };
    for (const auto& c : bindings)
        EXPECT_EQ(ParseMidiBinding(QString::fromLatin1(c.text)), c.binding) << c.text;

    TMidiSettings settings;
    settings.Bindings[size_t(TDeskButton::Dump)] = ParseMidiBinding(QStringLiteral("note 36"));
    settings.Bindings[size_t(TDeskButton::Exit)] = ParseMidiBinding(QStringLiteral("cc 20"));
    settings.Bindings[size_t(TDeskButton::Cough)] = ParseMidiBinding(QStringLiteral("cc 64"));
    settings.Channel = 2;
    TFakeTarget target;
    TMidiTrigger trigger(target, settings);
    // Raw bytes on channel 2 (0x_1) unless said, and the presses each adds.
    const struct {
        std::array<uint8_t, 3> bytes;
        QStringList calls;
    } steps[] = {
        {{0x91, 36, 100}, {"Dump"}}, {{0x91, 36, 90}, {"Dump"}},
        {{0x90, 36, 100}, {}},       {{0x91, 36, 0}, {}},
        {{0x81, 36, 64}, {}},        {{0x91, 37, 100}, {}},
        {{0xE1, 36, 100}, {}},       {{0xB1, 20, 100}, {"Exit"}},
        {{0xB1, 20, 127}, {}},       {{0xB1, 20, 63}, {}},
        {{0xB1, 20, 64}, {"Exit"}},  {{0xB1, 64, 127}, {"CoughStart"}},
        {{0xB1, 64, 100}, {}},       {{0xB1, 64, 0}, {"CoughStop"}},
    };
    QStringList expected;
    for (const auto& step : steps) {
        if (const auto control = ParseMidiControl(step.bytes.data(), step.bytes.size()))
            trigger.Take(*control);
        expected << step.calls;
        EXPECT_EQ(target.Calls, expected) << "step " << &step - steps;
    }
}

TEST(TriggersTest, OscMessagesPressTheirButtonsAndAnythingElseIsIgnored) {
    // The path and the type tags, each padded to four bytes, then the arguments as sent.
    const auto message = [](QByteArray path, QByteArray types = ",", QByteArray arguments = {}) {
        for (QByteArray* text : {&path, &types})
            text->append(4 - text->size() % 4, '\0');
        return path + types + arguments;
    };
    const QByteArray one("\0\0\0\1", 4), zero(4, '\0'), oneFloat("\x3f\x80\0\0", 4);
    const struct {
        QByteArray datagram;
        QStringList calls;
    } cases[] = {
        {message("/lagvane/dump"), {"Dump"}},
        {message("/lagvane/dump", ",f", oneFloat), {"Dump"}},
        {message("/lagvane/dump", ",f", zero), {}},
        {message("/lagvane/dump", ",s", QByteArray("1\0\0\0", 4)), {}},
        {message("/lagvane/dump", ",T"), {"Dump"}},
        {message("/lagvane/dumpx"), {}},
        {message("/lagvane/cough", ",i", one), {"CoughStart"}},
        {message("/lagvane/cough", ",f", zero), {"CoughStop"}},
        {message("/lagvane/cough"), {}},
        {message("/lagvane/play", ",i", one), {"Play"}},
        {message("/lagvane/stop"), {"Stop"}},
        {message("/lagvane/exit"), {"Exit"}},
        {message("/lagvane/build"), {"Build"}},
        {QByteArray("#bundle\0\0\0\0\0\0\0\0\1", 17), {}},
    };
    TFakeTarget target;
    target.Error = QStringLiteral("Refused, and only logged");
    TOscTrigger trigger(target, {});
    for (const auto& c : cases) {
        target.Calls.clear();
        trigger.Take(c.datagram);
        EXPECT_EQ(target.Calls, c.calls) << c.datagram.toHex().data();
    }
}

TEST(RemoteControlTest, ListenRefusesWhatItCannotServeSafely) {
    QTemporaryDir folder;
    TIniFile ini(folder.filePath(QStringLiteral("Lagvane.ini")));
    ini.WriteString(QStringLiteral("Remote"), QStringLiteral("Address"), QStringLiteral("0.0.0.0"));
    ini.WriteInteger(QStringLiteral("Remote"), QStringLiteral("Port"), 70000);
    ini.WriteString(QStringLiteral("Remote"), QStringLiteral("Hosts"),
                    QStringLiteral(" studio.example, proxy.local:8080  radio"));
    const TRemoteSettings settings = ReadRemoteSettings(ini);
    EXPECT_EQ(settings.Port, TRemoteSettings().Port);
    EXPECT_EQ(settings.Hosts, QStringList({"studio.example", "proxy.local:8080", "radio"}));
    TFakeTarget target;
    TRemoteControl open(target, settings);
    EXPECT_EQ(open.Listen(),
              QStringLiteral("Remote control on 0.0.0.0 needs a Token in Lagvane.ini"));
    EXPECT_EQ(open.Port(), 0);

    TRemoteControl first(target, {true, "127.0.0.1", 0, "", {}});
    ASSERT_EQ(first.Listen(), QString());
    TRemoteControl second(target, {true, "127.0.0.1", first.Port(), "", {}});
    EXPECT_TRUE(second.Listen().startsWith(
        QStringLiteral("Remote control: cannot listen on 127.0.0.1:%1: ").arg(first.Port())));
}

} // namespace
