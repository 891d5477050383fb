// The main window's side of the station: the presses that go to it, and what its signals show.

#include "window/mainwindow.h"

#include "audio/wavelib.h"
#include "controls/degspin.h"
#include "controls/gauges.h"
#include "controls/onoffbox.h"
#include "controls/panel.h"
#include "support/conversions.h"
#include "support/handlers.h"
#include "window/oscilloscope.h"
#include "window/vumeter.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QScopeGuard>
#include <QScopedValueRollback>
#include <QStatusBar>
#include <QToolButton>

void TMainWindow::BindStation() {
    connect(&Station_, &TStation::settingsChanged, this, [this] { ShowSettings(); });
    connect(&Station_, &TStation::runStateChanged, this, [this] { ShowRunState(); });
    connect(&Station_, &TStation::countDownChanged, this, [this] { ShowCountDown(); });
    connect(&Station_, &TStation::statusChanged, this,
            [this](const TRunReport& report) { ShowRunStatus(report); });
    connect(&Station_, &TStation::bufferCaptured, this,
            [this](const void* buffer, int32_t sampleCount, const TWaveDataFormat& format) {
                ShowBuffer(buffer, sampleCount, format);
            });
    connect(&Station_, &TStation::notice, this,
            [this](const QString& text, int shownMs) { statusBar()->showMessage(text, shownMs); });
    connect(PlayOnStartChk, &QCheckBox::toggled, this, [this](bool on) {
        if (!ShowingSettings)
            Station_.SetPlayOnStart(on);
    });
    connect(BuildUpAtStartAction, &QAction::toggled, this, [this](bool on) {
        if (!ShowingSettings)
            Station_.SetBuildUpAtStart(on);
    });
    connect(KeepOnAirAction, &QAction::toggled, this, [this](bool on) {
        if (!ShowingSettings)
            RunHandler([this, on] { Station_.SetKeepOnAir(on); });
    });
    ShowSettings();
    ShowRunState();
    ShowCountDown();
}

void TMainWindow::ShowSettings() {
    const QScopedValueRollback<bool> showing(ShowingSettings, true);
    PlayOnStartChk->setChecked(Station_.PlayOnStart());
    BuildUpAtStartAction->setChecked(Station_.BuildUpAtStart());
    KeepOnAirAction->setChecked(Station_.KeepOnAir());
    QStringList texts;
    for (const TFormatListEntry& entry : Station_.Formats())
        texts << entry.Text;
    QStringList shown;
    for (int index = 0; index < FormatCombo->count(); ++index)
        shown << FormatCombo->itemText(index);
    {
        // A selection made by the program is no operator's choice: no change signal.
        const QSignalBlocker blocker(FormatCombo);
        if (texts != shown) {
            FormatCombo->clear();
            for (const TFormatListEntry& entry : Station_.Formats())
                FormatCombo->addItem(entry.Text, int(entry.WaveType));
        }
        FormatCombo->setCurrentIndex(Station_.FormatIndex());
    }
    DelayTimeSpin->SetMaxValue(Station_.MaxDelayHours());
    DelayTimeSpin->SetDegrees(Station_.DelayHours());
    MemoryDis->SetCaption(NumberText(Station_.MemoryBudget));
    BufferSizeDis->SetCaption(NumberText(Station_.BufferFrames()) + QStringLiteral(" / ") +
                              NumberText(Station_.BufferBytes()));
    SetupScopeAxes(Station_.BufferFrames(), Station_.CurrentFormat().BytesPerSample);
}

void TMainWindow::ShowRunState() {
    const bool running = Station_.RunWanted();
    PlayBtn->setChecked(running);
    PlayBtn->setText(running ? QStringLiteral("Stop") : QStringLiteral("Play"));
    PlayBtn->setEnabled(!Station_.Stopping());
    // Neither the delay nor the format may change under a run.
    DelayTimeSpin->setEnabled(!running);
    FormatCombo->setEnabled(!running);
}

void TMainWindow::ShowCountDown() {
    CountDownDis->SetCaption(Station_.CountDownShown()
                                 ? HoursToText(false, false, 0, Station_.CountDownSecs / 3600.0)
                                 : QString());
}

void TMainWindow::ShowRunStatus(const TRunReport& report) {
    if (report.Running)
        OnAirStatus->setText(OnAirText(report, Station_.BuffersLocked()));
    else if (report.State == TRunState::WaitingForServer)
        OnAirStatus->setText(WaitingText(Station_.WaitSeconds()));
    else
        OnAirStatus->setText(QStringLiteral("Not on air"));
    OnAirStatus->setToolTip(report.Running ? ClockText(report) : QString());
    DumpBtn->setEnabled(report.CanDump);
    const bool live = report.State == TRunState::Live || report.State == TRunState::Exiting;
    ExitBtn->setEnabled(report.Running);
    ExitBtn->setText(live ? QStringLiteral("Build") : QStringLiteral("Exit"));
    CoughBtn->setEnabled(report.Running);
    const TDropouts& dropouts = report.Dropouts;
    DropoutStatus->setText(DropoutText(dropouts));
    const bool any = dropouts.LostFrames + dropouts.DryOutputs + dropouts.Xruns > 0;
    // A style sheet set again, even the same, has the whole bar laid out anew.
    const QString style = any ? QStringLiteral("color: red") : QString();
    if (DropoutStatus->styleSheet() != style)
        DropoutStatus->setStyleSheet(style);
    ShowOverrunCounts();
}

void TMainWindow::ShowOverrunCounts() {
    FramesDis->setToolTip(QStringLiteral("Input overruns: %1, output underruns: %2")
                              .arg(Station_.Overruns())
                              .arg(PlaybackUnderruns()));
}

void TMainWindow::ShowBuffer(const void* buffer, int32_t sampleCount,
                             const TWaveDataFormat& format) {
    FramesDis->SetCaption(QString::number(Station_.FrameCounter));
    if (VUMeterChk->isChecked())
        ShowLevels(Station_.Levels(), {LeftVU, RightVU, LeftPeak, RightPeak});
    PendingDis->SetCaption(QString::number(Station_.PendingCount()));
    if (OscopeChk->isChecked())
        PlotBuffer(buffer, sampleCount, format);
}

void TMainWindow::OnPlayBtnClick() {
    // The button shows what the station makes of the press, whether it fails or not.
    const auto shown = qScopeGuard([this] { ShowRunState(); });
    if (PlayBtn->isChecked())
        Station_.PressPlay();
    else
        Station_.PressStop();
}

void TMainWindow::OnDelayTimeSpinChange() {
    if (!ShowingSettings)
        Station_.SetDelayHours(DelayTimeSpin->Degrees());
}

void TMainWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_K && event->modifiers() == Qt::ControlModifier) {
        if (!event->isAutoRepeat())
            RunHandler([this] { Station_.HoldCough(true); });
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void TMainWindow::keyReleaseEvent(QKeyEvent* event) {
    // Whichever key is let go of first ends it.
    if (Station_.CoughHeld() && !event->isAutoRepeat() &&
        (event->key() == Qt::Key_K || event->key() == Qt::Key_Control)) {
        RunHandler([this] { Station_.HoldCough(false); });
        return;
    }
    QMainWindow::keyReleaseEvent(event);
}
