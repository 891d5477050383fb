#include "app/remotecontrol.h"

#include "app/application.h"
#include "app/inifile.h"

#include <QAbstractHttpServer>
#include <QCryptographicHash>
#include <QHostAddress>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QTcpServer>
#include <exception>
#include <utility>
#include <vector>

namespace {

const QString Remote = QStringLiteral("Remote");

using TStatus = QHttpServerResponder::StatusCode;
using TMethod = QHttpServerRequest::Method;
using TAction = QString (TRemoteTarget::*)();

struct TRoute {
    const char* Path;
    TMethod Method;
    const char* MethodName;
    // None for a route that only reports.
    TAction Action;
};

const TRoute Routes[] = {
    {"/api/status", TMethod::Get, "GET", nullptr},
    {"/api/dump", TMethod::Post, "POST", &TRemoteTarget::Dump},
    {"/api/play", TMethod::Post, "POST", &TRemoteTarget::Play},
    {"/api/stop", TMethod::Post, "POST", &TRemoteTarget::Stop},
};

struct TReply {
    TStatus Status = TStatus::Ok;
    QJsonObject Body;
    std::vector<std::pair<QByteArray, QByteArray>> Headers;
};

TReply ErrorReply(TStatus status, const QString& text) {
    return {status, QJsonObject{{QStringLiteral("error"), text}}, {}};
}

// With its offset from UTC, so that a panel in another time zone reads the same moment.
QString OffsetTimeText(const QDateTime& time) {
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QJsonObject StatusObject(const TRunReport& report) {
    return {
        {QStringLiteral("running"), report.Running},
        {QStringLiteral("format"), report.Format},
        {QStringLiteral("setDelay"), report.SetDelaySeconds},
        {QStringLiteral("onAirDelay"), report.OnAirSeconds},
        {QStringLiteral("deviceLatency"), report.DeviceLatencySeconds},
        {QStringLiteral("canDump"), report.CanDump},
        {QStringLiteral("buildUp"),
         QJsonObject{{QStringLiteral("active"), report.BuildingUp},
                     {QStringLiteral("done"), report.BuildUpDone},
                     {QStringLiteral("secondsLeft"), report.BuildUpSecondsLeft}}},
        {QStringLiteral("dropouts"),
         QJsonObject{{QStringLiteral("framesLost"), qint64(report.Dropouts.LostFrames)},
                     {QStringLiteral("dry"), qint64(report.Dropouts.DryOutputs)},
                     {QStringLiteral("xruns"), qint64(report.Dropouts.Xruns)}}},
        {QStringLiteral("state"), RunStateName(report.State)},
        {QStringLiteral("lastMessage"),
         report.LastMessage.Text.isEmpty()
             ? QJsonValue()
             : QJsonObject{{QStringLiteral("time"), OffsetTimeText(report.LastMessage.Time)},
                           {QStringLiteral("text"), report.LastMessage.Text}}},
        {QStringLiteral("restarts"), qint64(report.Restarts)},
        {QStringLiteral("offAirSeconds"), report.OffAirSeconds},
    };
}

QByteArray TokenDigest(const QByteArray& token) {
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256);
}

// Digests of equal length compared without an early exit, so the time taken tells a caller
// neither how much of a guess was right nor how long the token is.
bool SameDigest(const QByteArray& a, const QByteArray& b) {
    char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= a[i] ^ b[i];
    return difference == 0;
}

// Header names match without regard to case.
QList<QByteArray> HeaderValues(const QHttpServerRequest& request, const QByteArray& name) {
    QList<QByteArray> values;
    for (const auto& [key, value] : request.headers())
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            values << value;
    return values;
}

} // namespace

TRemoteSettings ReadRemoteSettings(TIniFile& ini) {
    TRemoteSettings settings;
    settings.Enabled = ini.ReadBool(Remote, QStringLiteral("Enabled"), settings.Enabled);
    const QString address =
        ini.ReadString(Remote, QStringLiteral("Address"), settings.Address).trimmed();
    if (!address.isEmpty())
        settings.Address = address;
    const int32_t port = ini.ReadInteger(Remote, QStringLiteral("Port"), settings.Port);
    if (port >= 0 && port <= 65535)
        settings.Port = quint16(port);
    // Spaces around a token are invisible in the file, and a bearer token holds none.
    settings.Token = ini.ReadString(Remote, QStringLiteral("Token"), settings.Token).trimmed();
    return settings;
}

class TRemoteServer : public QAbstractHttpServer {
public:
    TRemoteServer(TRemoteTarget& target, const QString& token)
        : Target(target), Token(token.toUtf8()), Digest(TokenDigest(Token)) {}

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        Respond(Answer(request), request, socket);
        return true;
    }

    // Unreached: every request is answered above.
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override {
        Respond(ErrorReply(TStatus::NotFound, QStringLiteral("Not found")), request, socket);
    }

private:
    TReply Answer(const QHttpServerRequest& request) {
        // A browser names the page behind every POST; any web page the studio PC shows could
        // otherwise press Dump on a loopback server that needs no token.
        if (!HeaderValues(request, "Origin").isEmpty())
            return ErrorReply(TStatus::Forbidden,
                              QStringLiteral("Requests from web pages are refused"));
        if (!Authorized(request)) {
            TReply reply =
                ErrorReply(TStatus::Unauthorized, QStringLiteral("Missing or wrong bearer token"));
            reply.Headers.emplace_back("WWW-Authenticate", "Bearer");
            return reply;
        }
        const QString path = request.url().path();
        const TRoute* route = nullptr;
        for (const TRoute& candidate : Routes)
            if (path == QLatin1String(candidate.Path))
                route = &candidate;
        if (!route)
            return ErrorReply(TStatus::NotFound, QStringLiteral("No such resource: %1").arg(path));
        // 405 rather than 400: the resource exists, and Allow tells the client the one method
        // that works on it.
        if (request.method() != route->Method) {
            const QString method = QLatin1String(route->MethodName);
            TReply reply = ErrorReply(TStatus::MethodNotAllowed,
                                      QStringLiteral("%1 takes only %2").arg(path, method));
            reply.Headers.emplace_back("Allow", route->MethodName);
            return reply;
        }
        // A parameter would be ignored, and a dump of another length than asked for is worse
        // than no dump.
        if (request.url().hasQuery() || !request.body().isEmpty())
            return ErrorReply(TStatus::BadRequest,
                              QStringLiteral("Requests take neither a query nor a body"));
        try {
            if (route->Action) {
                const QString error = (Target.*route->Action)();
                if (!error.isEmpty())
                    return ErrorReply(TStatus::Conflict, error);
            }
            return {TStatus::Ok, StatusObject(Target.Report()), {}};
        } catch (const std::exception& error) {
            // Unwinding through Qt's socket handling would end the program.
            return ErrorReply(TStatus::InternalServerError, ExceptionMessage(error));
        }
    }

    bool Authorized(const QHttpServerRequest& request) const {
        if (Token.isEmpty())
            return true;
        const QList<QByteArray> given = HeaderValues(request, "Authorization");
        const QByteArray scheme = "Bearer ";
        const bool bearer = given.size() == 1 && given[0].size() > scheme.size() &&
                            given[0].first(scheme.size()).compare(scheme, Qt::CaseInsensitive) == 0;
        const QByteArray presented = bearer ? given[0].mid(scheme.size()).trimmed() : QByteArray();
        return SameDigest(TokenDigest(presented), Digest) && bearer;
    }

    static void Respond(const TReply& reply, const QHttpServerRequest& request,
                        QTcpSocket* socket) {
        // One line, so a shell script can read it with a single read.
        QHttpServerResponse response(
            QByteArrayLiteral("application/json"),
            QJsonDocument(reply.Body).toJson(QJsonDocument::Compact) + '\n', reply.Status);
        // The state changes from one request to the next.
        response.addHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store"));
        for (const auto& [name, value] : reply.Headers)
            response.addHeader(name, value);
        response.write(makeResponder(request, socket));
    }

    TRemoteTarget& Target;
    const QByteArray Token;
    const QByteArray Digest;
};

TRemoteControl::TRemoteControl(TRemoteTarget& target, TRemoteSettings settings)
    : Settings(std::move(settings)),
      Server(std::make_unique<TRemoteServer>(target, Settings.Token)) {}

TRemoteControl::~TRemoteControl() = default;

QString TRemoteControl::Listen() {
    if (!Settings.Enabled || !Server->servers().isEmpty())
        return {};
    QHostAddress address;
    // The one host name worth accepting, and the one people write.
    if (Settings.Address.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        address = QHostAddress::LocalHost;
    const bool parsed = !address.isNull() || address.setAddress(Settings.Address);
    const QString where =
        (address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]:%2")
                                                             : QStringLiteral("%1:%2"))
            .arg(Settings.Address)
            .arg(Settings.Port);
    if (!parsed)
        return QStringLiteral("Remote control: cannot listen on %1: not an IP address").arg(where);
    if (!address.isLoopback() && Settings.Token.isEmpty())
        return QStringLiteral("Remote control on %1 needs a Token in Lagvane.ini")
            .arg(Settings.Address);
    // Our own socket server rather than QAbstractHttpServer::listen, which only logs why it
    // failed.
    auto tcpServer = std::make_unique<QTcpServer>();
    if (!tcpServer->listen(address, Settings.Port))
        return QStringLiteral("Remote control: cannot listen on %1: %2")
            .arg(where, tcpServer->errorString());
    tcpServer->setParent(Server.get());
    Server->bind(tcpServer.release());
    return {};
}

quint16 TRemoteControl::Port() const {
    const QList<QTcpServer*> servers = Server->servers();
    return servers.isEmpty() ? 0 : servers.front()->serverPort();
}
