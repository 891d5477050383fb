// The real program on a real JACK server, driven over HTTP with curl as a playout system would:
// status, Play, Dump and Stop; then, listening beyond loopback, only with its token.

#include "tests/e2e/jacktestclient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

namespace {

constexpr int SampleRate = 48000;
constexpr const char* Token = "s3cret";

struct TAnswer {
    int Code = 0;
    QJsonObject Body;
};

quint16 FreePort() {
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

class TProgram {
public:
    TProgram(const QString& remote) {
        EXPECT_TRUE(Config.isValid());
        Port = FreePort();
        QFile ini(QDir(Config.path()).filePath(QStringLiteral("Lagvane.ini")));
        EXPECT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QStringLiteral("[Settings]\nAudioFormat=3\nDelayTime=3\n\n[Dump]\n"
                                 "BuildUpPercent=10\n\n[Remote]\nPort=%1\n%2")
                      .arg(Port)
                      .arg(remote)
                      .toUtf8());
        ini.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), Config.path());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        Process.setProcessEnvironment(environment);
        Process.setProcessChannelMode(QProcess::ForwardedChannels);
        Process.start(QStringLiteral(LAGVANE_PROGRAM), {});
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

        ASSERT_EQ(program.Ask("POST", "/api/dump").Code, 200);
        const auto dumped = [&](const TAnswer& answer) {
            return answer.Body[QStringLiteral("onAirDelay")].toDouble() < before - 2.5;
        };
        status = program.Ask("GET", "/api/status", {}, dumped, 5000);
        EXPECT_TRUE(dumped(status)) << "on air " << status.Body["onAirDelay"].toDouble() << " s";
        const QJsonObject buildUp = status.Body[QStringLiteral("buildUp")].toObject();
        EXPECT_TRUE(buildUp[QStringLiteral("active")].toBool());
        EXPECT_GT(buildUp[QStringLiteral("secondsLeft")].toDouble(), 20.0);
        const QJsonObject dropouts = status.Body[QStringLiteral("dropouts")].toObject();
        EXPECT_EQ(dropouts[QStringLiteral("dry")].toInt(), 0);

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

} // namespace
