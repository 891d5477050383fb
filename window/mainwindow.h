#pragma once

// The main window: the station's settings, Play/Stop, the console's buttons, the counters, the
// level meter, the oscilloscope and the status line. It presses the station's actions and shows
// what the station tells.

#include "station/station.h"

#include <QMainWindow>
#include <cstdint>
#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QTimer;
class QToolButton;
class TDumpEvidence;
class TWaveReader;
class THelpBridge;
class TDegreeSpin;
class TGauge;
class TGroupBox;
class TOnOffBox;
class TOscopePanel;
class TPanel;

// What tests and tools drive and read of the main window: the controls the operator uses, the
// displays a run shows and the components behind them. Panels that only lay the window out are
// found by their object names.
struct TMainWindowView {
    QMenu* OptionsMenu;
    QAction* ExitAction;
    QAction* ChooseInputOutputAction;
    QAction* SaveDefaultsAction;
    QAction* LagvaneHelpAction;
    QCheckBox* PlayOnStartChk;
    QComboBox* FormatCombo;
    TDegreeSpin* DelayTimeSpin;
    TPanel* BufferSizeDis;
    TPanel* MemoryDis;
    TPanel* CountDownDis;
    TPanel* PendingDis;
    TPanel* FramesDis;
    QToolButton* PlayBtn;
    QToolButton* DumpBtn;
    QToolButton* ExitBtn;
    QToolButton* CoughBtn;
    QAction* BuildUpAtStartAction;
    QAction* KeepOnAirAction;
    QCheckBox* OscopeChk;
    QCheckBox* VUMeterChk;
    TOnOffBox* LeftPeak;
    TGauge* LeftVU;
    TOnOffBox* RightPeak;
    TGauge* RightVU;
    TOscopePanel* OscopePanel;
    QLabel* DropoutStatus;
    TWaveReader* Capture;
    TDumpEvidence* DumpEvidence;
    QTimer* CountDownTimer;
    QTimer* OffAirRetryTimer;
};

class TMainWindow : public QMainWindow {
public:
    // A face of station, which the caller starts up once its other faces listen.
    explicit TMainWindow(TStation& station, QWidget* parent = nullptr);
    // A window with a station of its own, started up at once: memory measured with probe.
    explicit TMainWindow(TMemoryProbe probe = AvailableMemoryBytes, QWidget* parent = nullptr);
    ~TMainWindow() override;

    TMainWindowView View() const;
    TStation& Station() const { return Station_; }

protected:
    // A run still going when the window closes is stopped first, so the devices and buffers
    // are released in order rather than at process exit.
    void closeEvent(QCloseEvent* event) override;
    // The cough key acts while held.
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    TMainWindow(TStation* station, bool owned, QWidget* parent);

    void BuildMenu();
    void BuildSettings();
    void BuildPlayback();
    void BuildDumpButton();
    void BuildLevelMeter();
    void BuildStatusLine();
    void NameObjects();
    // Binds the controls to the station: presses go to it, its signals come back to them.
    void BindStation();

    void OscopeChkClick();
    void OnPlayBtnClick();
    void OnDelayTimeSpinChange();
    // What the station tells, shown.
    void ShowSettings();
    void ShowRunState();
    void ShowCountDown();
    void ShowRunStatus(const TRunReport& report);
    void ShowOverrunCounts();
    void ShowBuffer(const void* buffer, int32_t sampleCount, const TWaveDataFormat& format);

    std::unique_ptr<TStation> OwnStation;
    TStation& Station_;
    // The station's settings are being shown: the controls' change signals are ours.
    bool ShowingSettings = false;

    // Menu.
    QMenu* FileMenu;
    QAction* ExitAction;
    QMenu* OptionsMenu;
    QAction* ChooseInputOutputAction;
    QAction* BuildUpAtStartAction;
    QAction* KeepOnAirAction;
    QAction* SaveDefaultsAction;
    QMenu* HelpMenu;
    QAction* LagvaneHelpAction;

    // Upper part.
    TPanel* MainPanel;
    TGroupBox* SettingGroup;
    QCheckBox* PlayOnStartChk;
    QLabel* DataFormatLabel;
    QComboBox* FormatCombo;
    QLabel* DelayTimeLabel;
    TDegreeSpin* DelayTimeSpin;
    QLabel* BufferSizeLabel;
    TPanel* BufferSizeDis;
    QLabel* AvailableMemoryLabel;
    TPanel* MemoryDis;
    TGroupBox* PlaybackGroup;
    TPanel* LiveInStrip;
    TPanel* CountDownDis;
    TPanel* PendingBuffersStrip;
    TPanel* PendingDis;
    TPanel* FramesStrip;
    TPanel* FramesDis;
    QToolButton* PlayBtn;
    QCheckBox* OscopeChk;
    QToolButton* DumpBtn;
    // Exit while delayed, Build while live.
    QToolButton* ExitBtn;
    QToolButton* CoughBtn;

    // Level meter column: the channels above, the VU switch below.
    TPanel* LevelMeterPanel;
    TPanel* VUSwitchPanel;
    QCheckBox* VUMeterChk;
    TPanel* ChannelsPanel;
    TPanel* LeftChannelPanel;
    TOnOffBox* LeftPeak;
    TGauge* LeftVU;
    TPanel* RightChannelPanel;
    TOnOffBox* RightPeak;
    TGauge* RightVU;

    // Lower part: the oscilloscope.
    TOscopePanel* OscopePanel;

    // Status line.
    QLabel* OnAirStatus;
    QLabel* DropoutStatus;

    THelpBridge* HelpBridge;
};
