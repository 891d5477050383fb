#pragma once

// The station: the settings that shape a run, the run itself (capture keeps four buffers
// queued, each as long as the whole delay, and every buffer that comes back full goes straight
// to the playback queue, so the output runs exactly one buffer, one delay, behind the input),
// its report and levels, the console, Keep On Air, the held delay and the dump evidence. It
// has no widgets: the window, the remote control, MIDI, OSC and the service press its actions
// and follow its signals.

#include "audio/waveread.h"
#include "station/console.h"
#include "station/runreport.h"

#include <QElapsedTimer>
#include <QObject>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QTimer;
class TDumpEvidence;

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
// The status line while Keep On Air waits for the devices: how long the run has been off air.
QString WaitingText(double offAirSeconds);

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

class TStation : public QObject, public TConsole {
    Q_OBJECT

public:
    // The shortest delay, 0.1 s, and the longest any format may have.
    static constexpr double MinDelayHours = 2.77777777777778e-05;
    static constexpr double MostDelayHours = 24.0;

    // Measures memory with probe whenever it sizes a run. No device is asked before StartUp.
    explicit TStation(TMemoryProbe probe = AvailableMemoryBytes, QObject* parent = nullptr);
    ~TStation() override;

    // Asks the input for its formats, measures memory, sizes the delay and loads the saved
    // settings, which may start a run. The faces connect first, so that they see all of it.
    void StartUp();

    // The settings that shape a run. A setting changed tells settingsChanged; the delay and
    // the format may not change under a run.
    bool PlayOnStart() const { return PlayOnStartOn; }
    void SetPlayOnStart(bool on);
    // With it on, a run that fails or finds no device waits and tries again every second;
    // turned off while waiting, the run that waited ends, as with Stop.
    bool KeepOnAir() const { return KeepOnAirOn; }
    void SetKeepOnAir(bool on);
    // Start on air at once and build the delay up, instead of the count-down.
    bool BuildUpAtStart() const { return BuildUpAtStartOn; }
    void SetBuildUpAtStart(bool on);
    // The delay, kept within MinDelayHours and the limit of the format and memory.
    double DelayHours() const { return DelayHoursSet; }
    void SetDelayHours(double hours);
    double MaxDelayHours() const { return DelayLimit; }
    // The format list of the input device, and the entry chosen.
    const TFormatList& Formats() const;
    int FormatIndex() const;
    // Chooses an entry and sizes the delay for it; SetFormatIndex leaves the sizes to the next
    // UpdateBufferSize, as a selection the program makes.
    void SelectFormat(int index);
    void SetFormatIndex(int index);
    // Rebuilds the format list from what the input device offers now; its first entry is
    // chosen.
    void ReadFormats();
    // Whether the chosen entry is a real format (not "No Wave Mapper").
    bool HasFormat() const;
    TWaveDataFormat CurrentFormat() const;

    // The run's sizes: the budget of the four buffers, and one buffer's frames and bytes.
    uint64_t MemoryBudget = 0;
    int32_t BufferFrames() const;
    int32_t BufferBytes() const;
    void UpdateBufferSize();

    // The dump length (0: the whole delay) and how much slower the build-up after it plays,
    // from the settings file; how much faster Exit plays, and the longest a cough holds.
    double DumpSeconds = 0.0;
    double BuildUpPercent = 3.0;
    double ExitPercent = 3.0;
    double CoughMaxSeconds = 10.0;
    // The format list's saved entry, for a list first made when a device comes up.
    int DefaultFormatIndex = -1;

    // The run as Play/Stop shows it: wanted (the button reads Stop), and whether a stop is
    // still under way (no new run may start inside it).
    bool RunWanted() const { return Wanted; }
    bool Stopping() const { return IsStopping; }
    // What the Play/Stop button does when pressed to on or off. A failed Play leaves nothing
    // open and is raised; Stop ends the held delay too, since the operator ended it on purpose.
    void PressPlay();
    void PressStop();
    // Play on start: with Keep On Air a start that fails keeps trying.
    void PlayAtStart();

    // The counters a run shows.
    int32_t FrameCounter = 0;
    double CountDownSecs = 0.0;
    // Whether there is a count-down to show: none before the first run, or after a start that
    // failed.
    bool CountDownShown() const { return CountingShown; }
    bool DropBuffers = false;
    TWaveFormat OutputFormat{};
    int32_t PendingCount() const;
    uint64_t Overruns() const;
    TDropouts Dropouts() const;
    bool BuffersLocked() const;
    // The last buffer's levels, measured whether or not a meter shows them.
    const TLevelReading& Levels() const { return LastLevels; }
    // What the run shows now, on the status line and to the remote control.
    TRunReport RunReport() const;
    // Keep On Air: the run is wanted but off air, and the devices are tried every second; how
    // long the wait under way has lasted.
    bool WaitingForDevices() const;
    double WaitSeconds() const;

    // The count-down timer's tick: one second less until the delayed sound is on air.
    void OnCountDownTick();
    // The status's tick: logs what changed, collects evidence, and tells statusChanged.
    void ShowRunStatus();
    // A device failed during the run: the run stops as soon as the event loop is back, and
    // the operator is told once. Faults after the first, or during a stop, change nothing.
    void DeviceFault(TRunDevice device, const QString& reason);

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
    bool CoughHeld() const { return Coughing; }

    // The end of the program: a run going is stopped, so the devices and buffers are released
    // in order. Stopped by a signal (keepHeld), the delay is held for the next run.
    void Close(bool keepHeld);
    // What a service's stop does: the run stopped and held, then the program ends with status
    // 0, once a stop under way is over.
    void Quit();
    // Reads the settings file's dump settings again, the run going on.
    void ReloadSettings();
    // Tells the faces a passing notice (a resumed delay, a failed evidence file, a server that
    // cannot listen) for the status line.
    void Notice(const QString& text, int shownMs);

    // The console, with failures answered, not raised.
    TRunReport Report() const override;
    TPressResult Dump() override;
    TPressResult Play() override;
    TPressResult Stop() override;
    TPressResult Exit() override;
    TPressResult Build() override;
    TPressResult CoughStart() override;
    TPressResult CoughStop() override;

    // The components behind the run, for tests and tools.
    TWaveReader* Capture() const { return Reader; }
    TDumpEvidence* Evidence() const { return DumpEvidence; }
    QTimer* CountDownTimer() const { return CountDown; }
    QTimer* OffAirRetryTimer() const { return OffAirRetry; }

signals:
    // A setting, the format list or the sizes changed.
    void settingsChanged();
    // Wanted or stopping changed.
    void runStateChanged();
    // The count-down moved.
    void countDownChanged();
    // The status changed (each tick of a run, each buffer, each press).
    void statusChanged(const TRunReport& report);
    // A buffer came back full and went to the output; valid until the handler returns.
    void bufferCaptured(const void* buffer, int32_t sampleCount, const TWaveDataFormat& format);
    void notice(const QString& text, int shownMs);

private:
    // What Play does with the run wanted: the count-down or build-up, then the run; a failure
    // leaves nothing open and is raised.
    void StartRun();
    // What Stop does with the run no longer wanted.
    void StopRun();
    // Play or Stop, for the run now wanted or not.
    void PlayOrStop();
    void SetWanted(bool wanted);
    void StartDelay();
    void StopDelay();
    void ResetRunCounters();
    void UpdateDelayLimit();
    void ShowCountDown();
    // Keep On Air: waits for the devices, tries them every second, and ends the wait.
    void GoOffAir();
    void TryBackOnAir();
    void EndOffAir();
    void StopAfterFault(int run, const QString& message);
    // After the operator's Stop (or Exit): the delay ended on purpose, none of it is held for
    // a later run. A run still going keeps it.
    void EndHeldDelay();
    // The memory budget now, a delay already held counted as available, since it is reused.
    uint64_t MemoryBudgetNow() const;
    // Logs what became of the delay the last run held, and tells a resumed one.
    void TellHeldDelay();
    void OnBufferCaptured(void* buffer, int32_t sampleCount, const TWaveDataFormat& format);
    // Logs the audio side's answers to dumps not logged yet; returns why the last was
    // refused, empty when it was taken.
    QString LogDumpAnswers(const TOnAirState& state);
    void LogClocks(const TRunReport& report);
    // Logs the seconds in which the audio thread was late, and tells the operator once it is
    // late too often.
    void WatchCycles();

    TMemoryProbe MemoryProbe;
    bool PlayOnStartOn = false;
    bool KeepOnAirOn = false;
    bool BuildUpAtStartOn = false;
    double DelayHoursSet = 0.1 / 3600.0;
    double DelayLimit = MostDelayHours;
    bool Wanted = false;
    bool IsStopping = false;
    bool CountingShown = false;
    TDropouts LoggedDropouts;
    // What the log has told of the run's dumps and re-alignments.
    uint64_t LoggedDumpAnswers = 0;
    uint64_t LoggedDumpedFrames = 0;
    uint64_t LoggedRealignments = 0;
    QElapsedTimer RealignmentLogClock;
    // Whether the status last showed a build-up, so that its end is logged once.
    bool ShownBuildingUp = false;
    // Likewise for going live.
    TRunState ShownState = TRunState::Stopped;
    bool Coughing = false;
    QElapsedTimer CoughClock;
    QElapsedTimer DropoutLogClock;
    TLateCycleWatch LateCycles;
    QElapsedTimer LateCycleClock;
    // Counts the starts tried, so that a fault of a run already over stops no later one; and
    // the runs that started, as the log numbers them.
    int RunAttempt = 0;
    int RunNumber = 0;
    TLevelReading LastLevels;
    // Keep On Air: since when the run has been off air, the runs started again, the time off
    // air before the wait under way, and the last reason a try failed (logged once).
    QElapsedTimer OffAirClock;
    uint64_t Restarts = 0;
    double OffAirSecondsBefore = 0.0;
    QString LastRetryFailure;
    // A Stop was asked for while a run was closing.
    bool StopAsked = false;
    // What the run resumed of the last one's delay.
    std::optional<TResumedDelay> Resumed;

    // The delay in the steps the station keeps it in (10 µs), within its limits.
    double ClampedDelay(double hours) const;

    // Made at start-up.
    TWaveReader* Reader = nullptr;
    // The evidence files of each dump.
    TDumpEvidence* DumpEvidence;
    // Counts the seconds until the delayed sound is on air.
    QTimer* CountDown;
    // Refreshes the status while a run goes, between buffers too.
    QTimer* RunStatusTimer;
    // Keep On Air's second between tries.
    QTimer* OffAirRetry;
    // Ends a cough nobody let go of.
    QTimer* CoughTimer;
};
