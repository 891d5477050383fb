// The delay console beside Dump: Exit to live and Build back, and the cough held off the delay.

#include "app/application.h"
#include "app/mainwindow.h"
#include "audio/wavelib.h"
#include "support/errors.h"
#include "support/log.h"

#include <QKeyEvent>
#include <QTimer>
#include <cmath>

void TMainWindow::ExitToLive() {
    TWaveOutDevice* output = Capture->Running() ? PlaybackDevice() : nullptr;
    if (!output)
        throw Exception(QStringLiteral("Nothing to exit: no run is on air"));
    const TRunState state = RunReport().State;
    if (state == TRunState::Live || state == TRunState::Exiting)
        return;
    output->Exit();
    Log(QStringLiteral("Run %1: exiting to live").arg(RunNumber).toStdString());
    ShowRunStatus();
}

void TMainWindow::BuildFromLive() {
    TWaveOutDevice* output = Capture->Running() ? PlaybackDevice() : nullptr;
    const TRunState state = RunReport().State;
    if (!output || (state != TRunState::Live && state != TRunState::Exiting))
        throw Exception(QStringLiteral("Nothing to build: the delay is on air"));
    output->Build();
    Log(QStringLiteral("Run %1: building the delay up from live").arg(RunNumber).toStdString());
    ShowRunStatus();
}

void TMainWindow::HoldCough(bool held) {
    TWaveOutDevice* output = Capture->Running() ? PlaybackDevice() : nullptr;
    if (held == CoughHeld)
        return;
    if (held && !output)
        throw Exception(QStringLiteral("Nothing to hold off: no run is on air"));
    CoughHeld = held;
    if (output)
        output->Cough(held);
    if (held) {
        CoughClock.start();
        CoughTimer->start(int(std::lround(CoughMaxSeconds * 1000.0)));
        Log(QStringLiteral("Run %1: cough held").arg(RunNumber).toStdString());
    } else {
        CoughTimer->stop();
        Log(QStringLiteral("Run %1: cough let go of after %2 s, building the delay up again")
                .arg(RunNumber)
                .arg(CoughClock.elapsed() / 1000.0, 0, 'f', 1)
                .toStdString());
    }
    ShowRunStatus();
}

void TMainWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_K && event->modifiers() == Qt::ControlModifier) {
        if (!event->isAutoRepeat())
            RunHandler([this] { HoldCough(true); });
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void TMainWindow::keyReleaseEvent(QKeyEvent* event) {
    // Whichever key is let go of first ends it.
    if (CoughHeld && !event->isAutoRepeat() &&
        (event->key() == Qt::Key_K || event->key() == Qt::Key_Control)) {
        RunHandler([this] { HoldCough(false); });
        return;
    }
    QMainWindow::keyReleaseEvent(event);
}
