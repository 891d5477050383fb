#pragma once

// The remote control's own small HTTP/1.1 server. Its requests never carry a body, so it reads
// only request heads, and sets every limit before it keeps a byte: the size of a head, the
// number of connections, overall and per client, and of event streams, the time a connection
// may sit idle or half-sent.
// A request that is not plainly one head is refused before anything acts on it. It runs on the
// main thread's event loop and never waits for a client.

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <functional>
#include <memory>
#include <utility>

using THttpHeaders = QList<std::pair<QByteArray, QByteArray>>;

struct THttpRequest {
    QByteArray Method;
    // Origin form, as sent: the path and any query.
    QByteArray Target;
    // Names as sent; values without the white space around them.
    THttpHeaders Headers;

    QByteArray Path() const {
        const qsizetype query = Target.indexOf('?');
        return query < 0 ? Target : Target.left(query);
    }
    // Header names match without regard to case.
    QList<QByteArray> Values(const QByteArray& name) const;
};

struct THttpReply {
    int Status = 200;
    // One line of JSON, unless the type says otherwise.
    QByteArray Body;
    THttpHeaders Headers;
    QByteArray ContentType = "application/json";
    // Server-sent events: the body is the first event, and the connection then carries
    // THttpServer::Publish's until either side closes it, which is where the body ends.
    bool Stream = false;
};

// An answer of {"error": text}.
THttpReply HttpError(int status, const QString& text);

// A head as it came, without the empty line that ends it. A head that is not plainly one
// request without a body gives the error reply that refuses it, and the connection closes.
struct THeadParse {
    THttpRequest Request;
    bool Refused = false;
    THttpReply Refusal;
    // HTTP/1.0, or "Connection: close": the connection ends with this answer.
    bool Close = false;
};
THeadParse ParseRequestHead(const QByteArray& head);

struct THttpLimits {
    // Request line and headers together.
    qsizetype HeadBytes = 16 * 1024;
    int Connections = 32;
    // While all connections are taken, a client's share: a newcomer from a client (an IPv4
    // address, an IPv6 /64) that holds this many only ever takes the place of one of its own.
    int ConnectionsPerClient = 4;
    // Of the connections, the event streams open at once: each holds its connection while a
    // panel is open. A new one closes the oldest.
    int Streams = 5;
    // From the first byte of a head to its end: a client that trickles a head in byte by byte
    // holds its connection no longer.
    int HeadMs = 2000;
    // From the connection's start, or the end of its last answer, to the next head, for a
    // client that keeps its connection open between requests.
    int IdleMs = 10000;
    // After the last answer, what the client still sends is read and dropped for this long, so
    // that closing with unread data does not reset the connection before the answer is read.
    int LingerMs = 2000;
};

class THttpConnection;

class THttpServer {
public:
    // The handler answers each request on the main thread; it sees only heads the server
    // accepted. HEAD is passed on as it came; its answer goes out without the body.
    using THandler = std::function<THttpReply(const THttpRequest&)>;

    explicit THttpServer(THandler handler, THttpLimits limits = {});
    ~THttpServer();
    THttpServer(const THttpServer&) = delete;
    THttpServer& operator=(const THttpServer&) = delete;

    // Returns the operator's error text (the system's reason), empty when listening.
    QString Listen(const QHostAddress& address, quint16 port);
    bool Listening() const;
    // The port bound, 0 while not listening.
    quint16 Port() const;

    int Streams() const;
    // Sends one event, whole, to every open stream. A stream whose client has not taken the
    // last one yet skips this one: it gets the newest state next, never a backlog; one that
    // takes nothing for the idle time is closed.
    void Publish(const QByteArray& event);

private:
    friend class THttpConnection;
    struct TState;
    std::unique_ptr<TState> State;
};
