#pragma once

// Remote control over HTTP: a studio's automation reads the run's state and presses Dump, Exit,
// Build, Cough, Play and Stop as the operator would, and a browser gets a panel that does the
// same, kept live by server-sent events. Requests are served on the main thread's event
// loop, one at a time, so the station is only ever pressed from its own thread; the HTTP side, with
// its limits, is remotehttp.h.

#include "station/console.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QtGlobal>
#include <memory>
#include <optional>

class TIniFile;

struct TRemoteSettings {
    bool Enabled = true;
    QString Address = "127.0.0.1";
    quint16 Port = 7470;
    QString Token;
    // On a loopback address, the host names answered besides the loopback's own (a reverse
    // proxy's, the station's DNS name); any other Host is refused, so that no web page can
    // reach the server through a name it points at 127.0.0.1.
    QStringList Hosts;
    bool operator==(const TRemoteSettings&) const = default;
};

// An address to listen on as the settings file writes it: an IP address, or "localhost"; a null
// address for anything else.
QHostAddress ListenAddress(const QString& text);
// Where a server listens, as the operator reads it: "address:port", an IPv6 address in brackets.
QString ListenPlace(const QString& text, quint16 port);
// A server's Address and Port in section of the settings file, into address and port; what is
// missing or unreadable leaves them as they are.
void ReadListenPlace(TIniFile& ini, const QString& section, QString& address, quint16& port);

// Section [Remote] of the settings file; what is missing or unreadable keeps its default.
TRemoteSettings ReadRemoteSettings(TIniFile& ini);

class THttpServer;

class TRemoteControl {
public:
    TRemoteControl(TConsole& target, TRemoteSettings settings);
    ~TRemoteControl();
    TRemoteControl(const TRemoteControl&) = delete;
    TRemoteControl& operator=(const TRemoteControl&) = delete;

    // Starts serving; returns the operator's error text, empty when listening or when the
    // settings disable the remote control.
    QString Listen();
    // The port bound, 0 while not listening; settings with port 0 take any free one.
    quint16 Port() const;
    // Whether it runs on these settings, so that a reload can keep it and its connections.
    bool Serves(const TRemoteSettings& settings) const { return Settings == settings; }

private:
    class TRouter;

    TRemoteSettings Settings;
    std::unique_ptr<TRouter> Router;
    std::unique_ptr<THttpServer> Server;
    // Sends the open event streams the status; stops before the server goes.
    QTimer EventTimer;
};
