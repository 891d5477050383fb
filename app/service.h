#pragma once

// Lagvane as a service: the command line that runs it without a window, under another name or
// settings file, and its side of the service manager's protocol (ready, watchdog, signals).

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <variant>

struct TProgramOptions {
    // No window, and no display needed.
    bool Headless = false;
    // The settings file; empty for the user's Lagvane.ini.
    QString ConfigFile;
    // The JACK client's name and the log's tag, so that two stations run side by side.
    QString Name = QStringLiteral("Lagvane");
};

// Whether name may name a station: what a JACK client name, a file name and a service instance
// all take.
bool IsStationName(const QString& name);

// The options of the command line; or, for --help, --version or a mistake, the exit code once
// what was asked is printed.
std::variant<TProgramOptions, int> ReadProgramOptions(int& argc, char** argv);

// Catches SIGTERM and SIGINT (stop) and SIGHUP (reload) for the event loop, and tells the
// service manager when the program is ready, beating its watchdog from the event loop.
class QSocketNotifier;

class TServiceLink : public QObject {
public:
    TServiceLink(std::function<void()> stop, std::function<void()> reload);
    ~TServiceLink() override;
    TServiceLink(const TServiceLink&) = delete;
    TServiceLink& operator=(const TServiceLink&) = delete;

    // The remote control listens and the run's state is decided: signals are taken from here on.
    void Ready();

private:
    void TakeSignal();
    void Reload();

    std::function<void()> OnStop;
    std::function<void()> OnReload;
    bool Stopping = false;
    // A SIGHUP that came while an action waited for its devices, tried again until it is done.
    static constexpr int ReloadRetryMs = 20;
    bool ReloadWaiting = false;
    QTimer ReloadRetry;
    QSocketNotifier* Notifier;
    QTimer Watchdog;
};
