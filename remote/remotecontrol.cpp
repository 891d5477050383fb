#include "remote/remotecontrol.h"

#include "remote/remotehttp.h"
#include "station/inifile.h"
#include "support/handlers.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRegularExpression>
#include <algorithm>
#include <exception>
#include <utility>

namespace {

const QString Remote = QStringLiteral("Remote");

// What a 404 repeats of the path asked for: enough to see a typo, never the client's megabytes.
constexpr qsizetype PathShown = 100;

// 12.5 a second: a panel's bars move smoothly, and a late timer still makes 10.
constexpr int EventIntervalMs = 80;

using TAction = TPressResult (TConsole::*)();

struct TRoute {
    const char* Path;
    const char* Method;
    // What a press does; none for a route that only reports.
    TAction Action = nullptr;
    // The status as server-sent events, kept coming.
    bool Events = false;
    // A file of the web panel, from the program's resources, and its type. A browser cannot
    // send the token with a page it navigates to, and they hold nothing secret: no token.
    const char* File = nullptr;
    const char* Type = nullptr;
};

const TRoute Routes[] = {
    {.Path = "/api/status", .Method = "GET"},
    {.Path = "/api/events", .Method = "GET", .Events = true},
    {.Path = "/api/dump", .Method = "POST", .Action = &TConsole::Dump},
    {.Path = "/api/play", .Method = "POST", .Action = &TConsole::Play},
    {.Path = "/api/stop", .Method = "POST", .Action = &TConsole::Stop},
    {.Path = "/api/exit", .Method = "POST", .Action = &TConsole::Exit},
    {.Path = "/api/build", .Method = "POST", .Action = &TConsole::Build},
    {.Path = "/api/cough/start", .Method = "POST", .Action = &TConsole::CoughStart},
    {.Path = "/api/cough/stop", .Method = "POST", .Action = &TConsole::CoughStop},
    {.Path = "/",
     .Method = "GET",
     .File = ":/panel/panel.html",
     .Type = "text/html; charset=utf-8"},
    {.Path = "/panel.css",
     .Method = "GET",
     .File = ":/panel/panel.css",
     .Type = "text/css; charset=utf-8"},
    {.Path = "/panel.js",
     .Method = "GET",
     .File = ":/panel/panel.js",
     .Type = "text/javascript; charset=utf-8"},
};

// The browser itself holds the panel to its own server: no script, style or connection from
// anywhere else, and no other site may frame it to steer a click onto Dump.
constexpr const char* PanelPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

THttpReply JsonReply(int status, const QJsonObject& body) {
    return {status, QJsonDocument(body).toJson(QJsonDocument::Compact) + '\n', {}};
}

THttpReply FileReply(const TRoute& route) {
    QFile file(QString::fromLatin1(route.File));
    if (!file.open(QIODevice::ReadOnly))
        return HttpError(500, QStringLiteral("The panel's %1 is missing from the program")
                                  .arg(QString::fromLatin1(route.Path)));
    return {200,
            file.readAll(),
            {{"Content-Security-Policy", PanelPolicy},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "no-referrer"}},
            route.Type};
}

QJsonObject ChannelLevel(int32_t progress, bool ok) {
    // The bar as a share of the meter's height, where the window's gauge stops too.
    return {{QStringLiteral("bar"), std::clamp(progress / 1000.0, 0.0, 1.0)},
            {QStringLiteral("peak"), ok ? QStringLiteral("ok") : QStringLiteral("hi")}};
}

// With its offset from UTC, so that a panel in another time zone reads the same moment.
QString OffsetTimeText(const QDateTime& time) {
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QJsonValue LastDumpValue(const std::optional<TLastDump>& dump) {
    if (!dump)
        return {};
    return QJsonObject{{QStringLiteral("time"), OffsetTimeText(dump->Time)},
                       {QStringLiteral("seconds"), dump->Seconds},
                       {QStringLiteral("files"), QJsonArray::fromStringList(dump->Files)}};
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
        {QStringLiteral("cycles"),
         QJsonObject{{QStringLiteral("count"), qint64(report.Cycles.Cycles)},
                     {QStringLiteral("late"), qint64(report.Cycles.Late)},
                     {QStringLiteral("worstMicros"), qint64(report.Cycles.WorstMicros)},
                     {QStringLiteral("p999Micros"), qint64(report.Cycles.P999Micros)},
                     {QStringLiteral("periodMicros"), qint64(report.Cycles.PeriodMicros)}}},
        {QStringLiteral("state"), RunStateName(report.State)},
        {QStringLiteral("cough"), report.Coughing},
        {QStringLiteral("lastMessage"),
         report.LastMessage.Text.isEmpty()
             ? QJsonValue()
             : QJsonObject{{QStringLiteral("time"), OffsetTimeText(report.LastMessage.Time)},
                           {QStringLiteral("text"), report.LastMessage.Text}}},
        {QStringLiteral("restarts"), qint64(report.Restarts)},
        {QStringLiteral("offAirSeconds"), report.OffAirSeconds},
        {QStringLiteral("resumed"),
         report.Resumed ? QJsonObject{{QStringLiteral("heldSeconds"), report.Resumed->HeldSeconds},
                                      {QStringLiteral("lostSeconds"), report.Resumed->LostSeconds}}
                        : QJsonValue()},
        {QStringLiteral("lastDump"), LastDumpValue(report.LastDump)},
        {QStringLiteral("levels"),
         QJsonObject{{QStringLiteral("left"),
                      ChannelLevel(report.Levels.LeftProgress, report.Levels.LeftOk)},
                     {QStringLiteral("right"),
                      ChannelLevel(report.Levels.RightProgress, report.Levels.RightOk)}}},
    };
}

// One server-sent event; compact JSON holds no line break that would end it early.
QByteArray StatusEvent(const TRunReport& report) {
    return "data: " + QJsonDocument(StatusObject(report)).toJson(QJsonDocument::Compact) + "\n\n";
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

// A Host value's name and port ("[::1]:7470" gives "[::1]" and "7470"); an empty name when
// the value is neither.
std::pair<QByteArray, QByteArray> SplitHost(const QByteArray& host) {
    const bool bracketed = host.startsWith('[');
    qsizetype nameEnd = bracketed ? host.indexOf(']') + 1 : host.indexOf(':');
    if (!bracketed && nameEnd < 0)
        nameEnd = host.size();
    const QByteArray name = host.left(nameEnd), rest = host.mid(nameEnd);
    if (rest.isEmpty())
        return {name, {}};
    const QByteArray port = rest.mid(1);
    if (rest[0] != ':' || port.isEmpty() ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return {};
    return {name, port};
}

// The panel's own page, as the browser names it: this server under the very Host the request
// came to. Behind a TLS proxy that forwards the Host, the page is https on the same name.
bool SameOrigin(const QByteArray& origin, const QByteArray& host) {
    return origin.compare("http://" + host, Qt::CaseInsensitive) == 0 ||
           origin.compare("https://" + host, Qt::CaseInsensitive) == 0;
}

// What a browser says of a request for an event stream, in headers no page can set: the panel's
// script fetches it from its own page. A stream opened by an <img> or by another site holds a
// place no panel can have, and its page cannot read it anyway. Clients other than browsers send
// neither header.
bool FromPanelScript(const THttpRequest& request) {
    const QList<QByteArray> site = request.Values("Sec-Fetch-Site");
    const QList<QByteArray> destination = request.Values("Sec-Fetch-Dest");
    return (site.isEmpty() || site == QList<QByteArray>{"same-origin"}) &&
           (destination.isEmpty() || destination == QList<QByteArray>{"empty"});
}

} // namespace

QHostAddress ListenAddress(const QString& text) {
    // The one host name worth accepting, and the one people write.
    if (text.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return QHostAddress(QHostAddress::LocalHost);
    return QHostAddress(text);
}

QString ListenPlace(const QString& text, quint16 port) {
    return (ListenAddress(text).protocol() == QAbstractSocket::IPv6Protocol
                ? QStringLiteral("[%1]:%2")
                : QStringLiteral("%1:%2"))
        .arg(text)
        .arg(port);
}

void ReadListenPlace(TIniFile& ini, const QString& section, QString& address, quint16& port) {
    const QString text = ini.ReadString(section, QStringLiteral("Address"), address).trimmed();
    if (!text.isEmpty())
        address = text;
    const int32_t number = ini.ReadInteger(section, QStringLiteral("Port"), port);
    if (number >= 0 && number <= 65535)
        port = quint16(number);
}

// The panel's files are in this static library, where the linker keeps only what is named.
static void LoadPanelFiles() {
    Q_INIT_RESOURCE(panel);
}

TRemoteSettings ReadRemoteSettings(TIniFile& ini) {
    TRemoteSettings settings;
    settings.Enabled = ini.ReadBool(Remote, QStringLiteral("Enabled"), settings.Enabled);
    ReadListenPlace(ini, Remote, settings.Address, settings.Port);
    // Spaces around a token are invisible in the file, and a bearer token holds none.
    settings.Token = ini.ReadString(Remote, QStringLiteral("Token"), settings.Token).trimmed();
    settings.Hosts = ini.ReadString(Remote, QStringLiteral("Hosts"), {})
                         .split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
    return settings;
}

class TRemoteControl::TRouter {
public:
    TRouter(TConsole& target, const QString& token)
        : Target(target), Token(token.toUtf8()), Digest(TokenDigest(Token)) {}

    // Set once listening: on a loopback address only these host names are answered, the
    // loopback's own with the port bound.
    void AnswerHosts(quint16 port, const QStringList& extra) {
        CheckHosts = true;
        Port = QByteArray::number(port);
        for (const QString& name : extra)
            ExtraHosts << name.toUtf8().toLower();
    }

    THttpReply Answer(const THttpRequest& request) {
        // A web page can point a name of its own at 127.0.0.1 and reach us through the
        // browser with a Host of that name: refused before anything runs. A client without
        // a Host (HTTP/1.0) is no browser.
        const QList<QByteArray> host = request.Values("Host");
        if (!host.isEmpty() && !HostAnswered(host.front()))
            return HttpError(421, QStringLiteral("This server does not answer to that Host"));
        // A browser names the page behind every POST; any web page the studio PC shows could
        // otherwise press Dump on a loopback server that needs no token. Only the panel's own
        // is let through. Off loopback no Host is checked, so a name pointed at us could pass
        // as the panel, but there the token, which such a page never has, still guards.
        const QList<QByteArray> origin = request.Values("Origin");
        if (!origin.isEmpty() &&
            (origin.size() > 1 || host.isEmpty() || !SameOrigin(origin.front(), host.front())))
            return HttpError(403, QStringLiteral("Requests from other web pages are refused"));
        const QByteArray path = request.Path();
        const TRoute* route = nullptr;
        for (const TRoute& candidate : Routes)
            if (path == candidate.Path)
                route = &candidate;
        if (!(route && route->File) && !Authorized(request)) {
            THttpReply reply = HttpError(401, QStringLiteral("Missing or wrong bearer token"));
            reply.Headers.emplace_back("WWW-Authenticate", "Bearer");
            return reply;
        }
        if (!route)
            return HttpError(404,
                             QStringLiteral("No such resource: %1")
                                 .arg(QString::fromUtf8(path.left(PathShown * 4)).left(PathShown)));
        // 405 rather than 400: the resource exists, and Allow tells the client the methods
        // that work on it. HEAD is GET without the body.
        const bool get = QByteArray(route->Method) == "GET";
        if (request.Method != route->Method && !(get && request.Method == "HEAD")) {
            const QByteArray allowed = get ? "GET, HEAD" : route->Method;
            THttpReply reply = HttpError(
                405, QStringLiteral("%1 takes only %2")
                         .arg(QString::fromLatin1(path), QString::fromLatin1(route->Method)));
            reply.Headers.emplace_back("Allow", allowed);
            return reply;
        }
        if (route->Events && !FromPanelScript(request))
            return HttpError(403, QStringLiteral("Event streams are served to the panel only"));
        // A parameter would be ignored, and a dump of another length than asked for is worse
        // than no dump.
        if (request.Target.contains('?'))
            return HttpError(400, QStringLiteral("Requests take neither a query nor a body"));
        if (route->File)
            return FileReply(*route);
        try {
            TPressResult pressed;
            if (route->Action) {
                pressed = (Target.*route->Action)();
                if (!pressed.Error.isEmpty())
                    return HttpError(409, pressed.Error);
            }
            if (route->Events)
                return {200, Event(), {}, "text/event-stream", true};
            QJsonObject body = StatusObject(Target.Report());
            if (route->Action != &TConsole::Dump)
                return JsonReply(200, body);
            // A dump the audio side has not answered yet is under way, not done.
            if (!pressed.DumpedSeconds)
                return JsonReply(202, body);
            body.insert(QStringLiteral("dumped"), *pressed.DumpedSeconds);
            return JsonReply(200, body);
        } catch (const std::exception& error) {
            // The station's failure is the client's answer, never the end of the program.
            return HttpError(500, ExceptionMessage(error));
        }
    }

    QByteArray Event() const { return StatusEvent(Target.Report()); }

private:
    bool HostAnswered(const QByteArray& value) const {
        if (!CheckHosts)
            return true;
        const QByteArray host = value.toLower();
        const auto [name, port] = SplitHost(host);
        if (name.isEmpty())
            return false;
        // A browser leaves out port 80 only.
        const bool ourPort = port == Port || (port.isEmpty() && Port == "80");
        if (ourPort && (name == "127.0.0.1" || name == "localhost" || name == "[::1]"))
            return true;
        // The names the station chose stand for it on any port a proxy forwards from.
        return ExtraHosts.contains(name) || ExtraHosts.contains(host);
    }

    bool Authorized(const THttpRequest& request) const {
        if (Token.isEmpty())
            return true;
        const QList<QByteArray> given = request.Values("Authorization");
        const QByteArray scheme = "Bearer ";
        const bool bearer = given.size() == 1 && given[0].size() > scheme.size() &&
                            given[0].first(scheme.size()).compare(scheme, Qt::CaseInsensitive) == 0;
        const QByteArray presented = bearer ? given[0].mid(scheme.size()).trimmed() : QByteArray();
        return SameDigest(TokenDigest(presented), Digest) && bearer;
    }

    TConsole& Target;
    const QByteArray Token;
    const QByteArray Digest;
    bool CheckHosts = false;
    QByteArray Port;
    QList<QByteArray> ExtraHosts;
};

TRemoteControl::TRemoteControl(TConsole& target, TRemoteSettings settings)
    : Settings(std::move(settings)), Router(std::make_unique<TRouter>(target, Settings.Token)),
      Server(std::make_unique<THttpServer>([router = Router.get()](const THttpRequest& request) {
          return router->Answer(request);
      })) {
    LoadPanelFiles();
    QObject::connect(&EventTimer, &QTimer::timeout, [this] {
        if (Server->Streams() > 0)
            Server->Publish(Router->Event());
    });
}

TRemoteControl::~TRemoteControl() = default;

QString TRemoteControl::Listen() {
    if (!Settings.Enabled || Server->Listening())
        return {};
    const QHostAddress address = ListenAddress(Settings.Address);
    const QString where = ListenPlace(Settings.Address, Settings.Port);
    if (address.isNull())
        return QStringLiteral("Remote control: cannot listen on %1: not an IP address").arg(where);
    if (!address.isLoopback() && Settings.Token.isEmpty())
        return QStringLiteral("Remote control on %1 needs a Token in Lagvane.ini")
            .arg(Settings.Address);
    const QString failure = Server->Listen(address, Settings.Port);
    if (!failure.isEmpty())
        return QStringLiteral("Remote control: cannot listen on %1: %2").arg(where, failure);
    // Off loopback the token guards, and the names the station reaches it by are its own.
    if (address.isLoopback())
        Router->AnswerHosts(Server->Port(), Settings.Hosts);
    EventTimer.start(EventIntervalMs);
    return {};
}

quint16 TRemoteControl::Port() const {
    return Server->Port();
}
