// The main window as the remote control sees it: each request presses what the operator would.

#include "app/application.h"
#include "app/defaults.h"
#include "app/inifile.h"
#include "app/mainwindow.h"
#include "app/triggers.h"
#include "support/errors.h"
#include "support/log.h"

#include <QStatusBar>
#include <QToolButton>

namespace {

constexpr int RemoteFailureShownMs = 15000;

// A request's failure goes back to whoever sent it; a message box nobody at the window sees
// would only block it.
template <typename TAction> TPressResult FailureOf(TAction&& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return {ExceptionMessage(error), {}};
    }
    return {};
}

// A server that cannot listen is told on the status line and in the log, for whoever looks.
void TellListenFailure(QMainWindow& window, const QString& failure) {
    if (failure.isEmpty())
        return;
    Log(failure.toStdString(), TLogLevel::Error);
    window.statusBar()->showMessage(failure, RemoteFailureShownMs);
}

} // namespace

void TMainWindow::StartRemoteControl() {
    TIniFile ini(DefaultsFileName());
    TRemoteTarget& target = *this;
    const TRemoteSettings settings = ReadRemoteSettings(ini);
    // Unchanged, it keeps its port, its clients and the panel's live stream.
    if (!RemoteControl || !RemoteControl->Serves(settings)) {
        // A server started again lets go of its port before the new one takes it.
        RemoteControl.reset();
        RemoteControl = std::make_unique<TRemoteControl>(target, settings);
    }
    TellListenFailure(*this, RemoteControl->Listen());
}

void TMainWindow::StartTriggers() {
    TIniFile ini(DefaultsFileName());
    TRemoteTarget& target = *this;
    if (!MidiTrigger)
        MidiTrigger = std::make_unique<TMidiTrigger>(target, TMidiSettings{});
    MidiTrigger->Configure(ReadMidiSettings(ini));
    const TOscSettings osc = ReadOscSettings(ini);
    if (!OscTrigger || !OscTrigger->Serves(osc)) {
        OscTrigger.reset();
        OscTrigger = std::make_unique<TOscTrigger>(target, osc);
    }
    TellListenFailure(*this, OscTrigger->Listen());
}

TRunReport TMainWindow::Report() const {
    return RunReport();
}

TPressResult TMainWindow::Dump() {
    std::optional<double> dumped;
    TPressResult result = FailureOf([this, &dumped] { dumped = DumpOnAir(); });
    result.DumpedSeconds = dumped;
    return result;
}

TPressResult TMainWindow::Exit() {
    return FailureOf([this] { ExitToLive(); });
}

TPressResult TMainWindow::Build() {
    return FailureOf([this] { BuildFromLive(); });
}

TPressResult TMainWindow::CoughStart() {
    return FailureOf([this] { HoldCough(true); });
}

TPressResult TMainWindow::CoughStop() {
    return FailureOf([this] { HoldCough(false); });
}

TPressResult TMainWindow::Play() {
    if (PlayBtn->isChecked())
        return {};
    if (!PlayBtn->isEnabled())
        return {QStringLiteral("The last run is still stopping"), {}};
    PlayBtn->setChecked(true);
    return FailureOf([this] { PlayBtnClick(); });
}

TPressResult TMainWindow::Stop() {
    if (!PlayBtn->isChecked())
        return {};
    // A stop already under way ends the run by itself; Keep On Air's, only if asked to.
    if (!PlayBtn->isEnabled()) {
        StopAsked = true;
        return {};
    }
    PlayBtn->setChecked(false);
    return FailureOf([this] {
        PlayBtnClick();
        EndHeldDelay();
    });
}
