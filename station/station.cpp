#include "station/station.h"

#include "audio/wavelib.h"
#include "station/defaults.h"
#include "station/dumpevidence.h"
#include "support/conversions.h"
#include "support/deadlinecall.h"
#include "support/errors.h"
#include "support/handlers.h"
#include "support/messageboard.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QTimer>
#include <cmath>

namespace {

constexpr int RunStatusMs = 250;
constexpr int QuitRetryMs = 20;
constexpr int EvidenceFailureShownMs = 15000;
// The delay is entered in ticks of 10 µs, and kept in whole tenths of a second (ticks cut toward
// zero to a multiple of 10^4), as the delay's entry keeps it.
constexpr double DelayTicksPerHour = 3600.0 * 100000.0;
constexpr int64_t DelayStepDigits = 4;

int FindFormatIndex(const TFormatList& list, TWaveTypes waveType) {
    for (int index = 0; index < list.size(); ++index)
        if (list[index].WaveType == waveType)
            return index;
    return -1;
}

} // namespace

TStation::TStation(TMemoryProbe probe, QObject* parent)
    : QObject(parent), MemoryProbe(std::move(probe)) {
    DelayHoursSet = ClampedDelay(MinDelayHours);
    DumpEvidence = new TDumpEvidence(this);
    DumpEvidence->OnFailure = [this](const QString& text) {
        MessageBoard().Raise(
            TMessageKind::Warning, QCoreApplication::applicationName(), text,
            [this](const QString& shown) { Notice(shown, EvidenceFailureShownMs); });
    };
    CountDown = new QTimer(this);
    CountDown->setObjectName(QStringLiteral("CountDownTimer"));
    CountDown->setInterval(1000);
    connect(CountDown, &QTimer::timeout, this,
            [this] { RunHandler([this] { OnCountDownTick(); }); });
    RunStatusTimer = new QTimer(this);
    RunStatusTimer->setObjectName(QStringLiteral("RunStatusTimer"));
    RunStatusTimer->setInterval(RunStatusMs);
    connect(RunStatusTimer, &QTimer::timeout, this,
            [this] { RunHandler([this] { ShowRunStatus(); }); });
    OffAirRetry = new QTimer(this);
    OffAirRetry->setObjectName(QStringLiteral("OffAirRetryTimer"));
    OffAirRetry->setInterval(1000);
    connect(OffAirRetry, &QTimer::timeout, this,
            [this] { RunHandler([this] { TryBackOnAir(); }); });
    CoughTimer = new QTimer(this);
    CoughTimer->setSingleShot(true);
    // A coarse timer may end the hold up to 5 % early.
    CoughTimer->setTimerType(Qt::PreciseTimer);
    connect(CoughTimer, &QTimer::timeout, this,
            [this] { RunHandler([this] { HoldCough(false); }); });
}

TStation::~TStation() {
    // The capture buffers must outlive the output that plays from them: stop in order.
    if (Reader && Wanted && !WaitingForDevices())
        RunHandler([this] { StopDelay(); });
    SetPlaybackFaultEvent({});
}

void TStation::StartUp() {
    // The input is asked for its formats only now: what it says (no device, a server down) is
    // told to faces already listening.
    Reader = new TWaveReader(this);
    Reader->setObjectName(QStringLiteral("Capture"));
    Reader->OnWaveIn = [this](QObject*, void* buffer, int32_t sampleCount,
                              const TWaveDataFormat& format) {
        OnBufferCaptured(buffer, sampleCount, format);
    };
    Reader->OnFault = [this](QObject*, TWaveResult code) {
        DeviceFault(TRunDevice::Input, DeviceFaultReason(code));
    };
    SetPlaybackFaultEvent(
        [this](TWaveResult code) { DeviceFault(TRunDevice::Output, DeviceFaultReason(code)); });
    // The list's first entry is the format until a setting or the operator chooses another.
    Reader->SetWaveType(Reader->FormatList().value(0).WaveType);
    MemoryBudget = std::min(MemoryBudgetNow(), HeldRoom());
    UpdateBufferSize();
    LoadDefaults(*this);
}

double TStation::ClampedDelay(double hours) const {
    // The same steps and limits as the delay's entry, so that every face shows what runs.
    int64_t ticks = SaturatedInt64(std::nearbyint(DelayTicksPerHour * hours));
    const double value = double(ticks) / DelayTicksPerHour;
    if (value >= DelayLimit)
        // Cut, not rounded, so the delay never exceeds its limit.
        ticks = SaturatedInt64(std::trunc(DelayLimit * DelayTicksPerHour));
    if (value < MinDelayHours)
        ticks = SaturatedInt64(std::nearbyint(MinDelayHours * DelayTicksPerHour));
    return double(TruncToPowerOfTen(ticks, DelayStepDigits)) / DelayTicksPerHour;
}

void TStation::SetPlayOnStart(bool on) {
    if (on == PlayOnStartOn)
        return;
    PlayOnStartOn = on;
    emit settingsChanged();
}

void TStation::SetBuildUpAtStart(bool on) {
    if (on == BuildUpAtStartOn)
        return;
    BuildUpAtStartOn = on;
    emit settingsChanged();
}

void TStation::SetDelayHours(double hours) {
    DelayHoursSet = ClampedDelay(hours);
    UpdateBufferSize();
}

const TFormatList& TStation::Formats() const {
    static const TFormatList none;
    return Reader ? Reader->FormatList() : none;
}

int TStation::FormatIndex() const {
    return Reader ? FindFormatIndex(Formats(), Reader->WaveType()) : -1;
}

void TStation::SelectFormat(int index) {
    SetFormatIndex(index);
    UpdateBufferSize();
}

void TStation::SetFormatIndex(int index) {
    if (index >= 0 && index < Formats().size())
        Reader->SetWaveType(Formats()[index].WaveType);
}

void TStation::ReadFormats() {
    Reader->FillFormatList();
    Reader->SetWaveType(Formats().value(0).WaveType);
    UpdateBufferSize();
}

int32_t TStation::PendingCount() const {
    return Reader->PendingCount();
}

uint64_t TStation::Overruns() const {
    return Reader->Overruns();
}

bool TStation::BuffersLocked() const {
    return Reader->BuffersLocked();
}

void TStation::SetWanted(bool wanted) {
    Wanted = wanted;
    emit runStateChanged();
}

void TStation::PressPlay() {
    if (Wanted)
        return;
    Wanted = true;
    PlayOrStop();
}

void TStation::PressStop() {
    if (!Wanted)
        return;
    Wanted = false;
    PlayOrStop();
    EndHeldDelay();
}

void TStation::PlayOrStop() {
    // A server that hangs holds the main thread for one deadline, however many calls a press
    // makes.
    const TDeadlineAction action;
    if (Wanted) {
        try {
            // A server that was down when the list was made may be up now: ask again.
            if (!HasFormat())
                ReadFormats();
            if (!HasFormat())
                throw Exception(NoFormatMessage(WaveDeviceFactory().FixedRate()));
            StartRun();
        } catch (...) {
            SetWanted(false);
            throw;
        }
    } else if (WaitingForDevices()) {
        EndOffAir();
        ShowRunStatus();
    } else {
        StopRun();
    }
    emit runStateChanged();
}

void TStation::StartRun() {
    try {
        // Built up from the start, the programme is on air at once.
        CountDownSecs = BuildUpAtStartOn ? 0.0 : DelayHoursSet * 3600.0;
        if (CountDownSecs > 0.0)
            CountDown->start();
        ShowCountDown();
        StartDelay();
    } catch (...) {
        // StartDelay has closed whatever it opened; put the count-down back to idle too.
        CountDown->stop();
        CountDownSecs = 0.0;
        CountingShown = false;
        emit countDownChanged();
        DropBuffers = true;
        throw;
    }
}

void TStation::StopRun() {
    CountDown->stop();
    // The stop pumps events while the devices drain: no new run may start inside it.
    IsStopping = true;
    emit runStateChanged();
    const auto done = qScopeGuard([this] {
        IsStopping = false;
        emit runStateChanged();
    });
    StopDelay();
}

void TStation::EndHeldDelay() {
    if (!Wanted)
        Reader->DiscardHeld();
}

void TStation::Close(bool keepHeld) {
    if (Wanted) {
        Wanted = false;
        RunHandler([this] { PlayOrStop(); });
    }
    if (!keepHeld)
        EndHeldDelay();
}

void TStation::Quit() {
    // A stop under way pumps events; ending the loop inside it would cut its drain short.
    if (IsStopping) {
        QTimer::singleShot(QuitRetryMs, this, [this] { RunHandler([this] { Quit(); }); });
        return;
    }
    // Stopped by a signal (a service restart, a shutdown), the delay is held for the next run.
    Close(true);
    QCoreApplication::exit(0);
}

void TStation::ReloadSettings() {
    LoadDumpSettings(*this);
}

void TStation::Notice(const QString& text, int shownMs) {
    emit notice(text, shownMs);
}
