#include "app/inifile.h"
#include "app/remotecontrol.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimeZone>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class TFakeTarget : public TRemoteTarget {
public:
    TRunReport Report() const override { return Status; }
    QString Dump() override { return Called("Dump"); }
    QString Play() override { return Called("Play"); }
    QString Stop() override { return Called("Stop"); }
    QString Called(const QString& name) {
        Calls << name;
        return Error;
    }
    TRunReport Status{true, "16 bit stereo", 2.5, 2.51, 0.01, true, true, 0.25, 30.0, {7, 1, 2},
                      false, 0.0, 0, TRunState::BuildingUp,
                      {QDateTime(QDate(2024, 3, 1), QTime(14, 5, 9), QTimeZone(3600)),
                       "The input device stopped: it is no longer available."},
                      2, 12.5};
    QString Error;
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
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] {
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
    } cases[] = {
        {"status", "", "GET /api/status", "", "", "200", ""},
        {"dump", "", "POST /api/dump", "", "", "200", "Dump"},
        {"play", "", "POST /api/play", "", "", "200", "Play"},
        {"stop", "", "POST /api/stop", "", "", "200", "Stop"},
        {"target refuses", "", "POST /api/play", "", "Can't play format", "409", "Play"},
        {"unknown path", "", "GET /api/volume", "", "", "404", ""},
        {"wrong method", "", "GET /api/dump", "", "", "405", ""},
        {"body on GET", "", "GET /api/status", "Content-Length: 2\r\n\r\n{}", "", "400", ""},
        {"query", "", "POST /api/dump?seconds=2", "", "", "400", ""},
        {"from a web page", "", "POST /api/dump", "Origin: http://ads.example\r\n", "", "403", ""},
        {"no token", "k1", "POST /api/dump", "", "", "401", ""},
        {"wrong token", "k1", "POST /api/dump", "Authorization: Bearer k2\r\n", "", "401", ""},
        {"right token", "k1", "POST /api/dump", "Authorization: bearer k1\r\n", "", "200", "Dump"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TFakeTarget target;
        target.Error = c.targetError;
        TRemoteControl remote(target, {true, "127.0.0.1", 0, c.token});
        ASSERT_EQ(remote.Listen(), QString());
        // A header list that carries a body ends the head itself.
        const QByteArray headers = c.headers;
        const QByteArray reply =
            Exchange(remote.Port(), c.request + QByteArray(" HTTP/1.1\r\nHost: localhost\r\n") +
                                        headers + (headers.contains("\r\n\r\n") ? "" : "\r\n"));
        const qsizetype bodyStart = reply.indexOf("\r\n\r\n") + 4;
        const QByteArray body = reply.mid(bodyStart);
        EXPECT_TRUE(reply.startsWith("HTTP/1.1 " + QByteArray(c.status) + ' ')) << reply.data();
        EXPECT_TRUE(reply.left(bodyStart).contains("\r\nContent-Type: application/json\r\n"));
        EXPECT_EQ(body.indexOf('\n'), body.size() - 1);
        EXPECT_EQ(target.Calls, *c.call ? QStringList{c.call} : QStringList{});
        const QJsonObject json = QJsonDocument::fromJson(body).object();
        const QString error = json[QStringLiteral("error")].toString();
        if (QByteArray(c.status) != "200") {
            EXPECT_FALSE(error.isEmpty());
            if (*c.targetError) {
                EXPECT_EQ(error, target.Error);
            }
            continue;
        }
        EXPECT_EQ(json.keys(),
                  QStringList({"buildUp", "canDump", "deviceLatency", "dropouts", "format",
                               "lastMessage", "offAirSeconds", "onAirDelay", "restarts", "running",
                               "setDelay", "state"}));
        EXPECT_EQ(json[QStringLiteral("state")].toString(), QStringLiteral("building up"));
        EXPECT_EQ(json[QStringLiteral("lastMessage")][QStringLiteral("time")].toString(),
                  QStringLiteral("2024-03-01T14:05:09.000+01:00"));
        EXPECT_EQ(json[QStringLiteral("lastMessage")][QStringLiteral("text")].toString(),
                  target.Status.LastMessage.Text);
        EXPECT_EQ(json[QStringLiteral("restarts")].toInteger(), 2);
        EXPECT_EQ(json[QStringLiteral("offAirSeconds")].toDouble(), 12.5);
        EXPECT_EQ(json[QStringLiteral("format")].toString(), target.Status.Format);
        EXPECT_EQ(json[QStringLiteral("buildUp")][QStringLiteral("secondsLeft")].toDouble(),
                  target.Status.BuildUpSecondsLeft);
        EXPECT_EQ(json[QStringLiteral("dropouts")][QStringLiteral("framesLost")].toInteger(),
                  target.Status.Dropouts.LostFrames);
    }
}

TEST(RemoteControlTest, ListenRefusesWhatItCannotServeSafely) {
    QTemporaryDir folder;
    TIniFile ini(folder.filePath(QStringLiteral("Lagvane.ini")));
    ini.WriteString(QStringLiteral("Remote"), QStringLiteral("Address"), QStringLiteral("0.0.0.0"));
    ini.WriteInteger(QStringLiteral("Remote"), QStringLiteral("Port"), 70000);
    const TRemoteSettings settings = ReadRemoteSettings(ini);
    EXPECT_EQ(settings.Port, TRemoteSettings().Port);
    TFakeTarget target;
    TRemoteControl open(target, settings);
    EXPECT_EQ(open.Listen(),
              QStringLiteral("Remote control on 0.0.0.0 needs a Token in Lagvane.ini"));
    EXPECT_EQ(open.Port(), 0);

    TRemoteControl first(target, {true, "127.0.0.1", 0, ""});
    ASSERT_EQ(first.Listen(), QString());
    TRemoteControl second(target, {true, "127.0.0.1", first.Port(), ""});
    EXPECT_TRUE(second.Listen().startsWith(
        QStringLiteral("Remote control: cannot listen on 127.0.0.1:%1: ").arg(first.Port())));
}

} // namespace
