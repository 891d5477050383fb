#pragma once

// Remote control over HTTP: a studio's automation reads the run's state and presses Dump, Play
// and Stop as the operator would. Requests are served on the main thread's event loop, one at a
// time, so the window is only ever touched from its own thread.

#include "app/runreport.h"

#include <QString>
#include <QtGlobal>
#include <memory>

class TIniFile;

struct TRemoteSettings {
    bool Enabled = true;
    QString Address = "127.0.0.1";
    quint16 Port = 7470;
    QString Token;
};

// Section [Remote] of the settings file; what is missing or unreadable keeps its default.
TRemoteSettings ReadRemoteSettings(TIniFile& ini);

// What the remote control acts on: the main window, or a test's stand-in.
class TRemoteTarget {
public:
    virtual TRunReport Report() const = 0;
    // Each does what the window's button does; returns the operator's error text, empty when
    // done.
    virtual QString Dump() = 0;
    virtual QString Play() = 0;
    virtual QString Stop() = 0;

protected:
    ~TRemoteTarget() = default;
};

class TRemoteServer;

class TRemoteControl {
public:
    TRemoteControl(TRemoteTarget& target, TRemoteSettings settings);
    ~TRemoteControl();
    TRemoteControl(const TRemoteControl&) = delete;
    TRemoteControl& operator=(const TRemoteControl&) = delete;

    // Starts serving; returns the operator's error text, empty when listening or when the
    // settings disable the remote control.
    QString Listen();
    // The port bound, 0 while not listening; settings with port 0 take any free one.
    quint16 Port() const;

private:
    TRemoteSettings Settings;
    std::unique_ptr<TRemoteServer> Server;
};
