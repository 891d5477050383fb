#include "remote/remotehttp.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <sys/socket.h>
#include <tuple>

namespace {

// A failed accept (out of file descriptors) leaves the listener paused; it tries again after
// this long rather than spinning on a socket it cannot take.
constexpr int AcceptRetryMs = 1000;
constexpr int ListenQueuePerConnection = 8;

const char* ReasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 202:
        return "Accepted";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 421:
        return "Misdirected Request";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 505:
        return "HTTP Version Not Supported";
    }
    return "Unknown";
}

bool IsTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool IsToken(const QByteArray& text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

// Tabs are white space in a header value; other control bytes smuggle line breaks.
bool HasControl(const QByteArray& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return (uchar(c) < 0x20 && c != '\t') || c == 0x7f; });
}

bool ListHas(const QList<QByteArray>& values, const QByteArray& token) {
    for (const QByteArray& value : values)
        for (const QByteArray& item : value.split(','))
            if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
                return true;
    return false;
}

// Where the empty line that ends a head starts, and how long the break before it and the line
// are; -1 while the head is not all in. Bare line feeds are taken, as RFC 9112 lets servers do.
std::pair<qsizetype, qsizetype> HeadEnd(const QByteArray& data) {
    const qsizetype crlf = data.indexOf("\n\r\n"), lf = data.indexOf("\n\n");
    if (crlf >= 0 && (lf < 0 || crlf < lf))
        return {crlf, 3};
    return {lf, 2};
}

// The client a connection counts against: its IPv4 address, or its IPv6 /64, any address of
// which one host may take.
QByteArray ClientOf(const QHostAddress& address) {
    bool ipv4 = false;
    const quint32 v4 = address.toIPv4Address(&ipv4);
    if (ipv4)
        return QByteArray::number(v4);
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char*>(v6.c), 8);
}

} // namespace

QList<QByteArray> THttpRequest::Values(const QByteArray& name) const {
    QList<QByteArray> values;
    for (const auto& [key, value] : Headers)
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            values << value;
    return values;
}

THttpReply HttpError(int status, const QString& text) {
    return {
        status,
        QJsonDocument(QJsonObject{{QStringLiteral("error"), text}}).toJson(QJsonDocument::Compact) +
            '\n',
        {}};
}

THeadParse ParseRequestHead(const QByteArray& head) {
    THeadParse parse;
    const auto refuse = [&parse](int status, const QString& text) {
        parse.Refused = true;
        parse.Refusal = HttpError(status, text);
        parse.Close = true;
        return parse;
    };
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    const QList<QByteArray> parts = lines.front().split(' ');
    if (parts.size() != 3 || !IsToken(parts[0]))
        return refuse(400, QStringLiteral("Malformed request line"));
    const QByteArray& version = parts[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        const bool http = version.size() == 8 && version.startsWith("HTTP/") &&
                          std::isdigit(uchar(version[5])) && version[6] == '.' &&
                          std::isdigit(uchar(version[7]));
        return http ? refuse(505, QStringLiteral("Only HTTP/1.1 and HTTP/1.0 are served"))
                    : refuse(400, QStringLiteral("Malformed request line"));
    }
    // Only paths: an absolute URL would carry a host of its own past the Host check.
    const QByteArray& target = parts[1];
    if (!target.startsWith('/') || HasControl(target) ||
        std::any_of(target.begin(), target.end(), [](char c) { return uchar(c) > 0x7e; }))
        return refuse(400, QStringLiteral("The request names no plain path"));
    parse.Request.Method = parts[0];
    parse.Request.Target = target;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const qsizetype colon = line.indexOf(':');
        // A name with white space before its colon, or a line folded onto the one before, is
        // read differently by different servers: the way requests get smuggled past checks.
        if (colon <= 0 || !IsToken(line.left(colon)))
            return refuse(400, QStringLiteral("Malformed header line"));
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (HasControl(value))
            return refuse(400, QStringLiteral("Malformed header line"));
        parse.Request.Headers.emplace_back(line.left(colon), value);
    }
    const THttpRequest& request = parse.Request;
    const bool http10 = version == "HTTP/1.0";
    const qsizetype hosts = request.Values("Host").size();
    if (hosts > 1 || (!http10 && hosts == 0))
        return refuse(400, QStringLiteral("A request names exactly one Host"));
    // No request takes a body, so anything that frames one ends the connection: what follows
    // it can no longer be told apart from the next request.
    if (!request.Values("Transfer-Encoding").isEmpty())
        return refuse(400, QStringLiteral("Requests take no body: Transfer-Encoding is refused"));
    const QList<QByteArray> lengths = request.Values("Content-Length");
    if (lengths.size() > 1)
        return refuse(400, QStringLiteral("Content-Length is given more than once"));
    if (lengths.size() == 1) {
        const QByteArray& length = lengths.front();
        if (length.isEmpty() ||
            !std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return refuse(400, QStringLiteral("Content-Length is not a number"));
        // Refused unread, however large it says it is.
        if (length.count('0') != length.size())
            return refuse(413, QStringLiteral("Requests take no body"));
    }
    parse.Close = http10 || ListHas(request.Values("Connection"), "close");
    return parse;
}

// One client's connection: reads a head at a time, never more than the head limit, and
// answers it before it reads the next.
class THttpConnection : public QObject {
public:
    THttpConnection(THttpServer::TState& server, QTcpSocket* socket);
    // What a newcomer may close to make room: a connection closing anyway (0), or one waiting
    // for a head, however much of it is in (1); never one being answered or a stream (-1).
    int DropRank() const;
    bool IsStream() const { return Streaming; }
    const QByteArray& Client() const { return ClientKey; }
    // When it began to wait for its head, or its stream began, in the server's order.
    quint64 Since() const { return SinceTurn; }
    void Push(const QByteArray& event);
    void End();

private:
    void Read();
    void Written();
    void Expire();
    void Send(THttpReply reply, bool head, bool close);
    void BeginClosing();
    void ShutDownWriting();
    void Drain();

    THttpServer::TState& Server;
    QTcpSocket* const Socket;
    const QByteArray ClientKey;
    quint64 SinceTurn = 0;
    QTimer Deadline;
    // The head read so far; never more than the head limit.
    QByteArray Pending;
    bool Closing = false;
    // Answered with an event stream: reads nothing more, and lives until either side closes.
    bool Streaming = false;
    bool Ended = false;
};

struct THttpServer::TState {
    THandler Handler;
    THttpLimits Limits;
    QTcpServer Listener;
    QList<THttpConnection*> Connections;
    quint64 Turns = 0;

    int StreamCount() const {
        return int(std::count_if(
            Connections.begin(), Connections.end(),
            [](const THttpConnection* connection) { return connection->IsStream(); }));
    }

    THttpConnection* OldestStream() const {
        THttpConnection* oldest = nullptr;
        for (THttpConnection* connection : Connections)
            if (connection->IsStream() && (!oldest || connection->Since() < oldest->Since()))
                oldest = connection;
        return oldest;
    }

    // Whom a newcomer from client closes when all connections are taken: one closing anyway,
    // then the oldest waiting for its head, from a client over its share before any other. A
    // newcomer whose client holds its share already only takes the place of its own, so that a
    // flood from one client never reaches another's; on loopback, where every local client
    // shares one address, its newest connection is still served.
    THttpConnection* Displaced(const QByteArray& client) const {
        QHash<QByteArray, int> held;
        for (const THttpConnection* connection : Connections)
            ++held[connection->Client()];
        const bool ownOnly = held.value(client) >= Limits.ConnectionsPerClient;
        THttpConnection* displaced = nullptr;
        std::tuple<int, bool, quint64> displacedRank;
        for (THttpConnection* connection : Connections) {
            if (connection->DropRank() < 0 || (ownOnly && connection->Client() != client))
                continue;
            const std::tuple rank(connection->DropRank(),
                                  held.value(connection->Client()) <= Limits.ConnectionsPerClient,
                                  connection->Since());
            if (!displaced || rank < displacedRank) {
                displaced = connection;
                displacedRank = rank;
            }
        }
        return displaced;
    }

    void Accept() {
        while (QTcpSocket* socket = Listener.nextPendingConnection()) {
            if (Connections.size() >= Limits.Connections) {
                THttpConnection* displaced = Displaced(ClientOf(socket->peerAddress()));
                if (!displaced) {
                    socket->abort();
                    socket->deleteLater();
                    continue;
                }
                displaced->End();
            }
            Connections << new THttpConnection(*this, socket);
        }
    }
};

THttpConnection::THttpConnection(THttpServer::TState& server, QTcpSocket* socket)
    : Server(server), Socket(socket), ClientKey(ClientOf(socket->peerAddress())),
      SinceTurn(server.Turns++) {
    Socket->setParent(this);
    // Qt stops taking bytes from the system once this much waits unread.
    Socket->setReadBufferSize(Server.Limits.HeadBytes);
    Deadline.setSingleShot(true);
    connect(Socket, &QTcpSocket::readyRead, this, [this] { Read(); });
    // Queued: Send's flush reports its bytes at once, and the next request waits its turn.
    connect(
        Socket, &QTcpSocket::bytesWritten, this, [this] { Written(); }, Qt::QueuedConnection);
    connect(Socket, &QTcpSocket::disconnected, this, [this] { End(); });
    connect(&Deadline, &QTimer::timeout, this, [this] { Expire(); });
    Deadline.start(Server.Limits.IdleMs);
    Read();
}

int THttpConnection::DropRank() const {
    if (Closing)
        return 0;
    // A panel watching is a client in the middle of its request.
    return Streaming || Socket->bytesToWrite() > 0 ? -1 : 1;
}

void THttpConnection::End() {
    if (Ended)
        return;
    Ended = true;
    Deadline.stop();
    disconnect(Socket, nullptr, this, nullptr);
    Socket->abort();
    Server.Connections.removeOne(this);
    // This may run inside one of the socket's own signals.
    deleteLater();
}

void THttpConnection::Push(const QByteArray& event) {
    if (Ended)
        return;
    if (Socket->bytesToWrite() > 0) {
        // Only a client that has stopped reading runs our buffer and the system's full.
        if (!Deadline.isActive())
            Deadline.start(Server.Limits.IdleMs);
        return;
    }
    Socket->write(event);
    Socket->flush();
}

void THttpConnection::Read() {
    if (Closing || Streaming) {
        Drain();
        return;
    }
    // The next pipelined request waits until this answer is out, so a client that never reads
    // cannot make answers pile up here.
    if (Ended || Socket->bytesToWrite() > 0)
        return;
    Pending += Socket->read(Server.Limits.HeadBytes - Pending.size());
    // Line breaks before a request line are allowed, and ignored.
    qsizetype start = 0;
    while (start < Pending.size() && (Pending[start] == '\r' || Pending[start] == '\n'))
        ++start;
    Pending.remove(0, start);
    const auto [end, breakLength] = HeadEnd(Pending);
    if (end < 0) {
        if (Pending.size() >= Server.Limits.HeadBytes)
            Send(HttpError(431, QStringLiteral("The request head is longer than %1 bytes")
                                    .arg(Server.Limits.HeadBytes)),
                 false, true);
        // Begun, a head has a shorter time of its own, and never a longer one than idling.
        else if (!Pending.isEmpty() && Deadline.remainingTime() > Server.Limits.HeadMs)
            Deadline.start(Server.Limits.HeadMs);
        return;
    }
    const THeadParse parse = ParseRequestHead(Pending.left(end));
    Pending.remove(0, end + breakLength);
    const bool head = !parse.Refused && parse.Request.Method == "HEAD";
    Send(parse.Refused ? parse.Refusal : Server.Handler(parse.Request), head, parse.Close);
}

void THttpConnection::Written() {
    if (Ended || Socket->bytesToWrite() > 0)
        return;
    if (Closing) {
        ShutDownWriting();
        return;
    }
    if (Streaming) {
        Deadline.stop();
        return;
    }
    // The client's time for its next request starts when it has this answer.
    Deadline.start(Server.Limits.IdleMs);
    SinceTurn = Server.Turns++;
    Read();
}

void THttpConnection::Expire() {
    const bool silent =
        Pending.isEmpty() && Socket->bytesAvailable() == 0 && Socket->bytesToWrite() == 0;
    if (Closing || Streaming || silent) {
        End();
        return;
    }
    Send(HttpError(408, QStringLiteral("The request did not arrive in time")), false, true);
}

void THttpConnection::Send(THttpReply reply, bool head, bool close) {
    // The newest panel is the one someone looks at; one left open elsewhere, or a page that
    // slipped past the checks, gives its place up.
    if (reply.Stream && !head && Server.StreamCount() >= Server.Limits.Streams)
        Server.OldestStream()->End();
    // A stream's body has no length: it ends with the connection.
    close = close || reply.Stream;
    if (close)
        reply.Headers.emplace_back("Connection", "close");
    QByteArray message = "HTTP/1.1 " + QByteArray::number(reply.Status) + ' ' +
                         ReasonPhrase(reply.Status) + "\r\nContent-Type: " + reply.ContentType;
    if (!reply.Stream)
        message += "\r\nContent-Length: " + QByteArray::number(reply.Body.size());
    // The state changes from one request to the next, and a newer program serves a newer panel.
    message += "\r\nCache-Control: no-store\r\n";
    for (const auto& [name, value] : reply.Headers)
        message += name + ": " + value + "\r\n";
    message += "\r\n";
    if (!head)
        message += reply.Body;
    Socket->write(message);
    // Into the system at once: a client that sent its request and then closed its side is
    // seen as gone by Qt's next read, which drops whatever is still unwritten.
    Socket->flush();
    if (reply.Stream && !head) {
        // A stream is a request that lasts: no idle time, and pipelined requests are dropped.
        Streaming = true;
        SinceTurn = Server.Turns++;
        Pending.clear();
        Deadline.stop();
        Drain();
        return;
    }
    if (close)
        BeginClosing();
}

void THttpConnection::BeginClosing() {
    Closing = true;
    Pending.clear();
    Deadline.start(Server.Limits.LingerMs);
    if (Socket->bytesToWrite() == 0)
        ShutDownWriting();
    Drain();
}

void THttpConnection::ShutDownWriting() {
    // The client reads its answer up to our end of stream, then closes its side, which ends
    // the connection here; Qt's sockets can only close both ways at once.
    if (Socket->socketDescriptor() >= 0)
        ::shutdown(int(Socket->socketDescriptor()), SHUT_WR);
}

void THttpConnection::Drain() {
    char dropped[4096];
    while (Socket->read(dropped, sizeof dropped) > 0) {
    }
}

THttpServer::THttpServer(THandler handler, THttpLimits limits) : State(std::make_unique<TState>()) {
    State->Handler = std::move(handler);
    State->Limits = limits;
    TState& state = *State;
    QObject::connect(&state.Listener, &QTcpServer::newConnection, [&state] { state.Accept(); });
    QObject::connect(&state.Listener, &QTcpServer::acceptError, [&state] {
        state.Listener.pauseAccepting();
        QTimer::singleShot(AcceptRetryMs, &state.Listener,
                           [&state] { state.Listener.resumeAccepting(); });
    });
}

THttpServer::~THttpServer() {
    for (THttpConnection* connection : QList<THttpConnection*>(State->Connections)) {
        connection->End();
        delete connection;
    }
}

QString THttpServer::Listen(const QHostAddress& address, quint16 port) {
    // A burst of connections is met by closing idle ones, not by the system dropping the
    // handshakes of those beyond its queue, which would hold a real client back a second.
    State->Listener.setListenBacklogSize(State->Limits.Connections * ListenQueuePerConnection);
    if (State->Listener.listen(address, port))
        return {};
    return State->Listener.errorString();
}

bool THttpServer::Listening() const {
    return State->Listener.isListening();
}

quint16 THttpServer::Port() const {
    return Listening() ? State->Listener.serverPort() : 0;
}

int THttpServer::Streams() const {
    return State->StreamCount();
}

void THttpServer::Publish(const QByteArray& event) {
    // A write can find the client gone, which ends its connection and takes it off the list.
    for (THttpConnection* connection : QList<THttpConnection*>(State->Connections))
        if (connection->IsStream())
            connection->Push(event);
}
