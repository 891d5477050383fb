#pragma once

// The main window and the delay run behind it. Capture keeps four buffers queued, each as long
// as the whole delay, and every buffer that comes back full goes straight to the playback
// queue, so the output runs exactly one buffer, one delay, behind the input.

#include "app/remotecontrol.h"
#include "app/runreport.h"
#include "audio/waveread.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMenu;
class QTimer;
class QToolButton;
class TDumpEvidence;
class THelpBridge;
class TDegreeSpin;
class TGauge;
class TGroupBox;
class TMidiTrigger;
class TOnOffBox;
class TOscTrigger;
class TOscopePanel;
class TPanel;

// Available physical memory in bytes.
using TMemoryProbe = std::function<uint64_t()>;

// What the four buffers of a run may take: half the available memory.
uint64_t MemoryBudgetFor(uint64_t availableBytes);
// The station's held delay (empty when runs keep their buffers in plain memory), and the room
// where it is held for the four buffers (all there is without one).
std::string HeldPath();
uint64_t HeldRoom();
// The longest delay in hours for the format: four buffers within the budget, and one buffer
// within 2^31 - 1 bytes, so that no buffer size overflows 32 bits.
double DelayLimitHours(uint64_t budget, const TWaveDataFormat& format);

// What the process may still take: MemAvailable, within the room its cgroup's memory limits
// (memory.max less memory.current, on its group and every group above) leave.
uint64_t AvailableMemoryBytes();
// The cgroup v2 room under root (normally /sys/fs/cgroup) for the process whose
// /proc/self/cgroup reads procCgroup; UINT64_MAX when no limit is set.
uint64_t CgroupRoomBytes(const QString& cgroupRoot, const QByteArray& procCgroup);

// The shown text of a count in the system locale's number format (digits grouped).
QString NumberText(uint64_t value);

QString DropoutText(const TDropouts& dropouts);
// The status line's delay on air (what waits to go on air plus the devices' latency) and the
// build-up under way.
QString OnAirText(const TRunReport& report, bool locked);
// The status line's tool tip: the clocks the run's input and output keep.
QString ClockText(const TRunReport& report);

// Why Play finds no format: the device offers none of the list's, or (deviceRate, from a JACK
// server) runs at a rate none of them has.
QString NoFormatMessage(uint32_t deviceRate);

// Which device of a run failed.
enum class TRunDevice { Input, Output };
// Why a device stopped, from its result code ("it is no longer available" for a lost one).
QString DeviceFaultReason(TWaveResult code);
// The operator's one message for a device that failed during a run: which, why, and that the
// run has been stopped.
QString DeviceFaultMessage(TRunDevice device, const QString& reason);

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

// The status line while Keep On Air waits for the devices: how long the run has been off air.
QString WaitingText(double offAirSeconds);

// The remote control presses the window's own buttons, so that both ways behave alike.
class TMainWindow : public QMainWindow, private TRemoteTarget {
public:
    // Builds every control and component, then starts up: measures memory with probe, sizes
    // the delay, loads the saved defaults (which may start a run) and sizes the window.
    explicit TMainWindow(TMemoryProbe probe = AvailableMemoryBytes, QWidget* parent = nullptr);
    ~TMainWindow() override;

    TMainWindowView View() const;

    // The count-down timer's tick: one second less until the delayed sound is on air.
    void OnCountDownTick();

    // The delay run.
    void UpdateDelayLimit();
    int32_t BufferFrames() const;
    int32_t BufferBytes() const;
    void UpdateBufferSize();
    void ResetRunCounters();
    void StartDelay();
    void StopDelay();
    void ShowCountDown();
    // A device failed during the run: the run stops as soon as the event loop is back, and
    // the operator is told once. Faults after the first, or during a stop, change nothing.
    void DeviceFault(TRunDevice device, const QString& reason);
    // The hint of FramesDis: the run's input overruns and output underruns.
    void ShowOverrunCounts();
    // The status line: the delay on air and the run's dropouts (red once there is one).
    void ShowRunStatus();
    TDropouts Dropouts() const;
    // Keep On Air: the run is wanted (the button reads Stop) but off air, and the devices are
    // tried again every second.
    bool WaitingForDevices() const;
    // Whether the current format list entry is a real format (not "No Wave Mapper").
    bool HasFormat() const;
    // What the run shows now, on the status line and to the remote control.
    TRunReport RunReport() const;
    // What Dump does: skips up to the dump length of what waits to go on air, and returns the
    // seconds skipped once the audio side has taken it (none if it has not answered in time;
    // the log tells when it does). Raises Exception when there is nothing it may skip.
    std::optional<double> DumpOnAir();
    // What Exit and Build do: wind the delay down to none and play live, and wind it up again
    // from live. Raise Exception when there is nothing to do it to.
    void ExitToLive();
    void BuildFromLive();
    // What the cough button does while held: the input stays off the delay, for CoughMaxSeconds
    // at most, so that a release nobody sent cannot eat the delay.
    void HoldCough(bool held);

    // What a service's stop does: the run stopped as Exit stops it, then the program ends with
    // status 0, once a stop under way is over.
    void Quit();
    // What a service's reload does: the settings file's remote control and dump settings read
    // again, the run going on.
    void ReloadSettings();

    uint64_t MemoryBudget = 0;
    int32_t FrameCounter = 0;
    bool DropBuffers = false;
    double CountDownSecs = 0.0;
    TWaveFormat OutputFormat{};
    // The dump length (0: the whole delay) and how much slower the build-up after it plays,
    // from the settings file.
    double DumpSeconds = 0.0;
    double BuildUpPercent = 3.0;
    // How much faster Exit plays, and the longest a cough holds.
    double ExitPercent = 3.0;
    double CoughMaxSeconds = 10.0;

protected:
    // A run still going when the window closes is stopped first, so the devices and buffers
    // are released in order rather than at process exit.
    void closeEvent(QCloseEvent* event) override;
    // The cough key acts while held.
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    // The saved defaults are the settings' controls written out and read back.
    friend void SaveDefaults(TMainWindow& window);
    friend void LoadDefaults(TMainWindow& window);
    friend void LoadDumpSettings(TMainWindow& window);

    void BuildMenu();
    void BuildSettings();
    void BuildPlayback();
    void BuildDumpButton();
    void BuildLevelMeter();
    void BuildStatusLine();
    void NameObjects();
    void StartUp();
    // Play on start: with Keep On Air a start that fails keeps trying.
    void PlayAtStart();

    // Handlers.
    void PlayBtnClick();
    void DelayTimeSpinChange();
    void OscopeChkClick();
    void OnChooseInputOutput();
    void OnSaveDefaults();
    void OnLagvaneHelp();
    void OnBufferCaptured(QObject* sender, void* buffer, int32_t sampleCount,
                          const TWaveDataFormat& format);
    void OnCaptureFault(QObject* sender, TWaveResult code);
    void OnPlaybackFault(TWaveResult code);

    // Play/Stop caption and the settings' enabling for the button's state.
    void ShowRunState();
    // What Play does with the button pressed: the count-down or build-up, then the run; a
    // failure leaves nothing open and is raised.
    void StartRun();
    // What Stop does with the button released.
    void StopRun();
    // Keep On Air: waits for the devices, tries them every second, and ends the wait.
    void GoOffAir();
    void TryBackOnAir();
    void EndOffAir();
    void KeepOnAirToggled(bool on);
    // Rebuilds the format list from what the input device offers now.
    void ReadFormats();
    TWaveDataFormat CurrentFormat() const;
    double DelayHours() const;
    void StopAfterFault(int run, const QString& message);
    // After the operator's Stop (or Exit): the delay ended on purpose, none of it is held for
    // a later run. A run still going keeps it.
    void EndHeldDelay();
    // The memory budget now, a delay already held counted as available, since it is reused.
    uint64_t MemoryBudgetNow() const;
    // Logs what became of the delay the last run held, and shows a resumed one.
    void TellHeldDelay();
    // Starts the remote control the settings file asks for, in place of one already running; a
    // failure is told, not raised.
    void StartRemoteControl();
    // Likewise the desk's MIDI and OSC triggers, once the devices are known.
    void StartTriggers();

    // The remote control's requests: what the buttons do, with failures answered, not shown.
    TRunReport Report() const override;
    TPressResult Dump() override;
    TPressResult Play() override;
    TPressResult Stop() override;
    TPressResult Exit() override;
    TPressResult Build() override;
    TPressResult CoughStart() override;
    TPressResult CoughStop() override;

    // Logs the audio side's answers to dumps not logged yet; returns why the last was
    // refused, empty when it was taken.
    QString LogDumpAnswers(const TOnAirState& state);
    void LogClocks(const TRunReport& report);
    // Logs the seconds in which the audio thread was late, and tells the operator once it is
    // late too often.
    void WatchCycles();

    TMemoryProbe MemoryProbe;
    TDropouts LoggedDropouts;
    // What the log has told of the run's dumps and re-alignments.
    uint64_t LoggedDumpAnswers = 0;
    uint64_t LoggedDumpedFrames = 0;
    uint64_t LoggedRealignments = 0;
    QElapsedTimer RealignmentLogClock;
    // Whether the status line last showed a build-up, so that its end is logged once.
    bool ShownBuildingUp = false;
    // Likewise for going live.
    TRunState ShownState = TRunState::Stopped;
    bool CoughHeld = false;
    QElapsedTimer CoughClock;
    QTimer* CoughTimer;
    QElapsedTimer DropoutLogClock;
    TLateCycleWatch LateCycles;
    QElapsedTimer LateCycleClock;
    // Counts the starts tried, so that a fault of a run already over stops no later one; and
    // the runs that started, as the log numbers them.
    int RunAttempt = 0;
    int RunNumber = 0;
    // The last buffer's, for the remote control's panel.
    TLevelReading Levels;
    // The format list's saved entry, for a list first made when a device comes up.
    int DefaultFormatIndex = -1;
    // Keep On Air: since when the run has been off air, the runs started again, the time off
    // air before the wait under way, and the last reason a try failed (logged once).
    QElapsedTimer OffAirClock;
    uint64_t Restarts = 0;
    double OffAirSecondsBefore = 0.0;
    QString LastRetryFailure;
    // The remote control asked for Stop while a run was closing.
    bool StopAsked = false;
    // The program ends for a signal: the held delay outlives it.
    bool KeepHeldOnClose = false;
    // What the run resumed of the last one's delay.
    std::optional<TResumedDelay> Resumed;

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

    // Components.
    TWaveReader* Capture;
    THelpBridge* HelpBridge;
    // The evidence files of each dump.
    TDumpEvidence* DumpEvidence;
    // Counts the seconds until the delayed sound is on air.
    QTimer* CountDownTimer;
    // Refreshes the status line while a run goes, between buffers too.
    QTimer* RunStatusTimer;
    // Keep On Air's second between tries.
    QTimer* OffAirRetryTimer;
    std::unique_ptr<TRemoteControl> RemoteControl;
    std::unique_ptr<TMidiTrigger> MidiTrigger;
    std::unique_ptr<TOscTrigger> OscTrigger;
};
