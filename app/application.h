#pragma once

// The program's start-up: the station, the faces the command line asks for, the event loop.

#include "remote/remotefaces.h"
#include "station/station.h"
#include "support/handlers.h"
#include "window/mainwindow.h"

#include <QApplication>
#include <functional>
#include <memory>

// Catches what escapes an event handler (painting, mouse, timers) the same way: with a window,
// and without one.
template <typename TBase> class TCatchingApplication : public TBase {
public:
    TCatchingApplication(int& argc, char** argv) : TBase(argc, argv) {}
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return TBase::notify(receiver, event);
        } catch (...) {
            ShowCurrentException();
            return false;
        }
    }
};
using TApplication = TCatchingApplication<QApplication>;

// A station with its faces, made in the order that lets each face hear what the station says
// from the start: the remote control listens before the devices are first asked, the window
// (when there is one) shows the start-up, the triggers come once the devices are known.
class TProgramParts {
public:
    TProgramParts(bool withWindow, TMemoryProbe probe = AvailableMemoryBytes);
    ~TProgramParts();

    // What a service's reload does: the settings file's dump settings, remote control and
    // triggers read again, the run going on.
    void Reload();

    TStation Station;
    TRemoteFaces Faces;
    std::unique_ptr<TMainWindow> Window;
};

// The program's start-up and message loop; prepare, when given, acts on the window before it
// is shown (a harness ticks displays there). Without a window (--headless) the program runs on
// Qt Core alone: no platform plugin, no display. Returns the exit code.
int RunProgram(int argc, char** argv, const std::function<void(TMainWindow& window)>& prepare = {});
