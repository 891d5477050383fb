// The station's run: sizes, start and stop, the per-buffer path, the count-down, the report.

#include "station/station.h"

#include "audio/wavelib.h"
#include "station/dumpevidence.h"
#include "station/levelmeter.h"
#include "support/errors.h"
#include "support/handlers.h"
#include "support/log.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

// No single buffer may pass this: the capture and playback layers size buffers in 32 bits.
constexpr uint64_t MaxBufferBytes = INT32_MAX;
// How long a dump waits for the audio side's answer: a few periods of any server.
constexpr int DumpAnswerMs = 250;
constexpr qint64 RealignmentLogMs = 60000;
constexpr int ResumedShownMs = 30000;

uint64_t MemInfoKilobytes(const QByteArray& memInfo, const QByteArray& field) {
    for (const QByteArray& line : memInfo.split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toULongLong();
    }
    return 0;
}

int64_t BytesPerSecond(const TWaveDataFormat& format) {
    return int64_t(format.SamplesPerSec) * format.BytesPerSample * format.Channels;
}

// Device texts end with a full stop or not; ours follow them in one sentence.
QString WithoutFullStop(const QString& text) {
    return text.endsWith(u'.') ? text.chopped(1) : text;
}

QByteArray FileText(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

uint64_t CgroupRoomBytes(const QString& cgroupRoot, const QByteArray& procCgroup) {
    // cgroup v2 names the process's group on one line "0::/path"; a limit set on the group or
    // on any group above it applies.
    uint64_t room = UINT64_MAX;
    for (const QByteArray& line : procCgroup.split('\n')) {
        if (!line.startsWith("0::"))
            continue;
        QString group = QString::fromUtf8(line.mid(3).trimmed());
        for (;;) {
            const QString directory = cgroupRoot + group;
            bool limited = false;
            const uint64_t limit =
                FileText(directory + "/memory.max").trimmed().toULongLong(&limited);
            const uint64_t used = FileText(directory + "/memory.current").trimmed().toULongLong();
            if (limited)
                room = std::min(room, limit > used ? limit - used : 0);
            if (group.isEmpty() || group == QStringLiteral("/"))
                break;
            group = group.left(std::max<qsizetype>(group.lastIndexOf(u'/'), 0));
        }
    }
    return room;
}

uint64_t AvailableMemoryBytes() {
    const QByteArray memInfo = FileText(QStringLiteral("/proc/meminfo"));
    // Kernels before 3.14 have no MemAvailable; free memory is the nearest figure they give.
    uint64_t kilobytes = MemInfoKilobytes(memInfo, "MemAvailable");
    if (kilobytes == 0)
        kilobytes = MemInfoKilobytes(memInfo, "MemFree");
    // A container's limit binds before the machine's memory does.
    return std::min(kilobytes * 1024,
                    CgroupRoomBytes(QStringLiteral("/sys/fs/cgroup"),
                                    FileText(QStringLiteral("/proc/self/cgroup"))));
}

uint64_t MemoryBudgetFor(uint64_t availableBytes) {
    return availableBytes >> 1;
}

double DelayLimitHours(uint64_t budget, const TWaveDataFormat& format) {
    const int64_t bytesPerSecond = BytesPerSecond(format);
    if (bytesPerSecond <= 0)
        return 0.0;
    const uint64_t runBytes = std::min(budget, MaxBufferBytes * TWaveReader::BufferCount);
    return double(runBytes) / double(bytesPerSecond * TWaveReader::BufferCount) / 3600.0;
}

QString NumberText(uint64_t value) {
    return QLocale::system().toString(qulonglong(value));
}

QString NoFormatMessage(uint32_t deviceRate) {
    const QList<int> rates = WaveTypeRates();
    if (deviceRate == 0 || rates.contains(int(deviceRate)))
        return QStringLiteral("No audio format to play: the input device offers none of the "
                              "formats in the list");
    QStringList played;
    for (int rate : rates)
        played.append(QString::number(rate));
    return QStringLiteral("No audio format to play: the JACK server runs at %1 Hz, and Lagvane "
                          "plays %2 or %3 Hz. Restart the server at one of these rates.")
        .arg(deviceRate)
        .arg(played.mid(0, played.size() - 1).join(QStringLiteral(", ")), played.last());
}

QString DeviceFaultReason(TWaveResult code) {
    if (code == WaveErrorNoDriver)
        return QStringLiteral("it is no longer available");
    if (code == WaveErrorNotAnswering)
        return QStringLiteral("its sound server no longer answers");
    if (code == WaveErrorOwnThreadStalled)
        return QStringLiteral("Lagvane's own audio thread stalled while the sound server ran on");
    return QStringLiteral("it failed with error ") + WithoutFullStop(PlaybackErrorText(code));
}

QString DeviceFaultMessage(TRunDevice device, const QString& reason) {
    return QStringLiteral("The %1 device stopped: %2. The run has been stopped.")
        .arg(device == TRunDevice::Input ? QStringLiteral("input") : QStringLiteral("output"),
             WithoutFullStop(reason));
}

bool TStation::HasFormat() const {
    return Reader && Reader->WaveType() != wfNone;
}

TWaveDataFormat TStation::CurrentFormat() const {
    TWaveDataFormat format{};
    if (Reader)
        Reader->GetFormat(format);
    return format;
}

void TStation::UpdateDelayLimit() {
    // Without a format there is nothing to size with; the delay keeps its limit.
    if (!HasFormat())
        return;
    DelayLimit = DelayLimitHours(MemoryBudget, CurrentFormat());
    if (DelayHoursSet > DelayLimit)
        DelayHoursSet = ClampedDelay(DelayLimit);
}

int32_t TStation::BufferFrames() const {
    return static_cast<int32_t>(std::trunc(DelayHoursSet * 3600.0 * CurrentFormat().SamplesPerSec));
}

int32_t TStation::BufferBytes() const {
    return static_cast<int32_t>(
        std::trunc(DelayHoursSet * 3600.0 * double(BytesPerSecond(CurrentFormat()))));
}

void TStation::UpdateBufferSize() {
    UpdateDelayLimit();
    emit settingsChanged();
}

void TStation::ResetRunCounters() {
    FrameCounter = 0;
    LoggedDumpAnswers = 0;
    LoggedDumpedFrames = 0;
    LoggedRealignments = 0;
    RealignmentLogClock.invalidate();
    LateCycles.Reset();
    LateCycleClock.start();
    // A new run's input is on the delay whatever the last one's cough was.
    Coughing = false;
    CoughTimer->stop();
    Reader->SampleCount = BufferFrames();
}

void TStation::StartDelay() {
    // Memory may have gone since the delay was sized: refuse now rather than be killed on air.
    // A delay held in a file takes memory the system no longer counts as available, and room
    // on the file system that holds it.
    const uint64_t bytes = uint64_t(BufferBytes()) * TWaveReader::BufferCount;
    if (bytes > MemoryBudgetNow())
        throw Exception(QStringLiteral("Not enough memory for the delay buffers"));
    if (bytes >= HeldRoom())
        throw Exception(QStringLiteral("Not enough room in %1 for the delay buffers")
                            .arg(QFileInfo(QString::fromStdString(HeldPath())).path()));
    DropBuffers = false;
    ++RunAttempt;
    ResetRunCounters();
    TWaveReader::MakeWaveFormat(OutputFormat, CurrentFormat());
    OpenPlayback(OutputFormat);
    PlaybackDevice()->SetBuildUp({BuildUpPercent, BuildUpAtStartOn, ExitPercent});
    try {
        Reader->Start();
    } catch (...) {
        // Capture has undone itself; the output must not stay open behind it.
        DropBuffers = true;
        StopPlayback();
        throw;
    }
    ++RunNumber;
    RunStatusTimer->start();
    Log(QStringLiteral("Run %1 started: %2, delay %3 s")
            .arg(RunNumber)
            .arg(WaveTypeText(Reader->WaveType()))
            .arg(DelayHoursSet * 3600.0)
            .toStdString());
    TellHeldDelay();
    ShowRunStatus();
}

void TStation::TellHeldDelay() {
    Resumed.reset();
    const THeldDelayFile& held = Reader->HeldFile();
    if (held.NotHeld())
        Log(QStringLiteral("Run %1: held delay refused: %2; %3 is left alone, and this run's "
                           "delay is not held")
                .arg(RunNumber)
                .arg(QString::fromStdString(held.Refusal()), QString::fromStdString(HeldPath()))
                .toStdString(),
            TLogLevel::Warning);
    else if (!held.Refusal().empty())
        Log(QStringLiteral("Run %1: the delay held before was %2, and is removed")
                .arg(RunNumber)
                .arg(QString::fromStdString(held.Refusal()))
                .toStdString(),
            TLogLevel::Warning);
    if (!held.Resumed())
        return;
    // The held programme is on air at once: nothing to count down.
    CountDown->stop();
    CountDownSecs = 0.0;
    ShowCountDown();
    const double down = double(BootTimeNs() - held.Held().NewestNs()) / 1e9;
    Resumed = TResumedDelay{std::max(DelayHoursSet * 3600.0 - down, 0.0), down};
    const QString text = ResumedText(*Resumed);
    Log(QStringLiteral("Run %1: %2").arg(RunNumber).arg(text).toStdString());
    Notice(text, ResumedShownMs);
}

QString ResumedText(const TResumedDelay& resumed) {
    const auto held = int64_t(resumed.HeldSeconds);
    return QStringLiteral("Resumed: %1:%2:%3 held, %4 s lost")
        .arg(held / 3600)
        .arg(held / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(held % 60, 2, 10, QLatin1Char('0'))
        .arg(resumed.LostSeconds, 0, 'f', 1);
}

std::string HeldPath() {
    return HeldStation().empty() ? std::string() : THeldDelayFile::PathFor(HeldStation());
}

uint64_t TStation::MemoryBudgetNow() const {
    const std::string held = HeldPath();
    return MemoryBudgetFor(MemoryProbe() + (held.empty() ? 0 : THeldDelayFile::HeldBytesAt(held)));
}

uint64_t HeldRoom() {
    const std::string held = HeldPath();
    return held.empty() ? UINT64_MAX : THeldDelayFile::RoomFor(held);
}

void TStation::StopDelay() {
    DropBuffers = true;
    // What played of the air around the last dumps goes with the output.
    if (const TWaveOutDevice* output = PlaybackDevice()) {
        LogDumpAnswers(output->OnAirState());
        DumpEvidence->Collect(*output, true);
    }
    // Queued playback points into the capture buffers: drain it before capture frees them.
    StopPlayback();
    Reader->Stop();
    RunStatusTimer->stop();
    ShowRunStatus();
    Log(QStringLiteral("Run %1 stopped. %2")
            .arg(RunNumber)
            .arg(DropoutText(Dropouts()))
            .toStdString());
}

void TStation::DeviceFault(TRunDevice device, const QString& reason) {
    if (DropBuffers || !Wanted)
        return;
    // Nothing more goes to the devices. The stop waits for the event loop: the fault may be
    // told from inside the very device that the stop closes.
    DropBuffers = true;
    const QString message = DeviceFaultMessage(device, reason);
    QMetaObject::invokeMethod(
        this, [this, run = RunAttempt, message] { StopAfterFault(run, message); },
        Qt::QueuedConnection);
}

void TStation::StopAfterFault(int run, const QString& message) {
    // The operator may have stopped the run meanwhile, or even started another.
    if (run == RunAttempt && Wanted) {
        if (KeepOnAirOn) {
            // The button keeps reading Stop: the run is only off air, and Stop ends the wait.
            // A Stop that came while the run closed ends it before the wait begins.
            StopAsked = false;
            RunHandler([this] { StopRun(); });
            if (std::exchange(StopAsked, false)) {
                SetWanted(false);
                EndHeldDelay();
            } else {
                GoOffAir();
            }
        } else {
            Wanted = false;
            RunHandler([this] { PlayOrStop(); });
        }
    }
    ShowErrorMessage(message);
}

TDropouts TStation::Dropouts() const {
    return {Reader->LostFrames(), PlaybackUnderruns(), Reader->Xruns() + PlaybackXruns()};
}

QString DropoutText(const TDropouts& dropouts) {
    return QStringLiteral("Dropouts: %1 frames lost, %2 dry, %3 xruns")
        .arg(NumberText(dropouts.LostFrames), NumberText(dropouts.DryOutputs),
             NumberText(dropouts.Xruns));
}

QString OnAirText(const TRunReport& report, bool locked) {
    const QLocale locale = QLocale::system();
    const QString cough = report.Coughing ? QStringLiteral("Cough held. ") : QString();
    if (report.State == TRunState::Live)
        return cough + QStringLiteral("Live: no delay");
    if (report.State == TRunState::Exiting)
        return cough + QStringLiteral("On air %1 s, exiting to live")
                           .arg(locale.toString(report.OnAirSeconds, 'f', 2));
    if (report.BuildingUp) {
        // The line has room for the build-up only in place of the device's share, which is
        // in the delay shown all the same.
        const int left = int(std::ceil(report.BuildUpSecondsLeft));
        return cough + QStringLiteral("On air %1 s, building up %2 %, %3:%4 left")
                           .arg(locale.toString(report.OnAirSeconds, 'f', 2))
                           .arg(int(report.BuildUpDone * 100.0))
                           .arg(left / 60)
                           .arg(left % 60, 2, 10, QLatin1Char('0'));
    }
    QString text = cough + QStringLiteral("On air %1 s (device %2 ms)")
                               .arg(locale.toString(report.OnAirSeconds, 'f', 4),
                                    locale.toString(report.DeviceLatencySeconds * 1000.0, 'f', 1));
    if (!locked)
        text += QStringLiteral(", buffers not locked in memory");
    return text;
}

TRunReport TStation::RunReport() const {
    TRunReport report;
    report.Running = Reader->Running();
    report.Format = WaveTypeText(Reader->WaveType());
    report.SetDelaySeconds = DelayHoursSet * 3600.0;
    report.Dropouts = Dropouts();
    report.Cycles = Reader->CycleLoad();
    report.LastMessage = MessageBoard().Last();
    report.Restarts = Restarts;
    report.OffAirSeconds =
        OffAirSecondsBefore + (OffAirClock.isValid() ? OffAirClock.elapsed() / 1000.0 : 0.0);
    report.Resumed = Resumed;
    report.LastDump = DumpEvidence->Last();
    report.Levels = LastLevels;
    if (WaitingForDevices())
        report.State = TRunState::WaitingForServer;
    const int32_t rate = CurrentFormat().SamplesPerSec;
    if (!report.Running || rate <= 0)
        return report;
    report.State = CountDownSecs > 0.0 ? TRunState::CountingDown : TRunState::OnAir;
    const TWaveOutDevice* output = PlaybackDevice();
    const TOnAirState onAir = output ? output->OnAirState() : TOnAirState{};
    report.DeviceLatencySeconds = double(Reader->LatencyFrames() + PlaybackLatencyFrames()) / rate;
    report.OnAirSeconds =
        double(BufferFrames() - onAir.AheadFrames) / rate + report.DeviceLatencySeconds;
    report.CanDump = onAir.Playing && report.OnAirSeconds >= 1.0 && onAir.Mode == TAirMode::Delayed;
    report.Coughing = onAir.Coughing;
    report.SeparateClocks = onAir.SeparateClocks;
    report.ClockDriftPpm = onAir.ClockDriftPpm;
    report.Realignments = onAir.Realignments;
    report.BuildingUp = onAir.BuildingUp;
    if (onAir.BuildingUp && onAir.BuildUpFrames > 0) {
        const double ratio = 1.0 + BuildUpPercent / 100.0;
        report.BuildUpDone =
            std::clamp(1.0 - double(onAir.AheadFrames) / double(onAir.BuildUpFrames), 0.0, 1.0);
        report.BuildUpSecondsLeft = double(onAir.AheadFrames) * ratio / (ratio - 1.0) / rate;
    }
    if (report.BuildingUp)
        report.State = TRunState::BuildingUp;
    if (onAir.Mode == TAirMode::Exiting)
        report.State = TRunState::Exiting;
    if (onAir.Mode == TAirMode::Live)
        report.State = TRunState::Live;
    return report;
}

namespace {

QString DumpRefusalText(TDumpRefusal refusal) {
    switch (refusal) {
    case TDumpRefusal::None:
        break;
    case TDumpRefusal::NothingOnAir:
        return QStringLiteral("Nothing to dump: nothing has gone on air yet");
    case TDumpRefusal::TooLittleWaiting:
        return QStringLiteral("Nothing to dump: too little of the programme waits to go on air");
    case TDumpRefusal::Live:
        return QStringLiteral("Nothing to dump: live, no delay (Build first)");
    case TDumpRefusal::Exiting:
        return QStringLiteral("Nothing to dump: exiting to live (Build first)");
    }
    return {};
}

} // namespace

std::optional<double> TStation::DumpOnAir() {
    const TRunReport report = RunReport();
    TWaveOutDevice* output = PlaybackDevice();
    if (report.State == TRunState::Live)
        throw Exception(DumpRefusalText(TDumpRefusal::Live));
    if (report.State == TRunState::Exiting)
        throw Exception(DumpRefusalText(TDumpRefusal::Exiting));
    if (!report.CanDump || !output)
        throw Exception(QStringLiteral("Nothing to dump: a run must have at least 1 s on air"));
    const int32_t rate = CurrentFormat().SamplesPerSec;
    const double seconds =
        DumpSeconds > 0.0 ? std::min(DumpSeconds, report.OnAirSeconds) : report.OnAirSeconds;
    TOnAirState state = output->OnAirState();
    const uint64_t asked = state.DumpsAnswered;
    const uint64_t dumpedBefore = state.DumpedFrames;
    output->Dump(uint64_t(std::llround(seconds * rate)));
    // The audio side answers within a cycle or two. One that does not is left to its
    // watchdog, and its answer is logged when it comes.
    if (output->RunsByItself()) {
        const QDeadlineTimer deadline(DumpAnswerMs);
        while ((state = output->OnAirState()).DumpsAnswered == asked && !deadline.hasExpired())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const QString refused = LogDumpAnswers(state);
    ShowRunStatus();
    if (state.DumpsAnswered == asked)
        return std::nullopt;
    if (!refused.isEmpty())
        throw Exception(refused);
    return double(state.DumpedFrames - dumpedBefore) / rate;
}

QString TStation::LogDumpAnswers(const TOnAirState& state) {
    if (state.DumpsAnswered == LoggedDumpAnswers)
        return {};
    LoggedDumpAnswers = state.DumpsAnswered;
    const QString refused = DumpRefusalText(state.LastRefusal);
    if (refused.isEmpty()) {
        const double seconds =
            double(state.DumpedFrames - LoggedDumpedFrames) / CurrentFormat().SamplesPerSec;
        QString evidence;
        if (const TWaveOutDevice* output = PlaybackDevice()) {
            const QStringList files =
                DumpEvidence->Take(*output, state.LastDump, OutputFormat, seconds).Files;
            if (!files.isEmpty())
                evidence =
                    QStringLiteral(", evidence: %1").arg(files.join(QStringLiteral(" and ")));
        }
        Log(QStringLiteral("Run %1: dumped %2 s%3")
                .arg(RunNumber)
                .arg(seconds, 0, 'f', 3)
                .arg(evidence)
                .toStdString());
    } else {
        Log(QStringLiteral("Run %1: %2").arg(RunNumber).arg(refused).toStdString(),
            TLogLevel::Warning);
    }
    LoggedDumpedFrames = state.DumpedFrames;
    return refused;
}

QString ClockText(const TRunReport& report) {
    if (!report.SeparateClocks)
        return QStringLiteral("Input and output run on one clock");
    const QLocale locale = QLocale::system();
    return QStringLiteral("Input and output run on clocks of their own: the output's runs %1 ppm "
                          "%2 against the input's; re-aligned %3 times")
        .arg(locale.toString(std::abs(report.ClockDriftPpm), 'f', 1),
             report.ClockDriftPpm < 0 ? QStringLiteral("slow") : QStringLiteral("fast"),
             NumberText(report.Realignments));
}

void TStation::LogClocks(const TRunReport& report) {
    // A minute between lines at most: a fast drift re-aligns every few seconds.
    if (report.Realignments == LoggedRealignments ||
        (RealignmentLogClock.isValid() && RealignmentLogClock.elapsed() < RealignmentLogMs))
        return;
    LoggedRealignments = report.Realignments;
    RealignmentLogClock.start();
    Log(QStringLiteral("Run %1: %2").arg(RunNumber).arg(ClockText(report)).toStdString());
}

QString LateCycleText(double percent) {
    return QStringLiteral("Lagvane's audio thread is late in %1 % of cycles: each late cycle "
                          "is a gap on air. Give the sound server and Lagvane the processor "
                          "time they need (realtime scheduling, fewer other programs).")
        .arg(QLocale::system().toString(percent, 'f', percent < 10.0 ? 1 : 0));
}

void TStation::WatchCycles() {
    const std::optional<TLateCycleWatch::TSecond> second =
        LateCycles.Sample(Reader->CycleLoad(), LateCycleClock.elapsed());
    if (!second || second->Late == 0)
        return;
    Log(QStringLiteral("Run %1: the audio thread was late in %2 of the last %3 cycles")
            .arg(RunNumber)
            .arg(NumberText(second->Late), NumberText(second->Cycles))
            .toStdString(),
        TLogLevel::Warning);
    if (second->RaisePercent)
        MessageBoard().Raise(TMessageKind::Warning, QCoreApplication::applicationName(),
                             LateCycleText(*second->RaisePercent));
}

void TStation::ShowRunStatus() {
    const TRunReport report = RunReport();
    const TDropouts& dropouts = report.Dropouts;
    if (report.State == TRunState::Live && ShownState != TRunState::Live)
        Log(QStringLiteral("Run %1: live, no delay").arg(RunNumber).toStdString());
    ShownState = report.State;
    if (const TWaveOutDevice* output = report.Running ? PlaybackDevice() : nullptr) {
        LogDumpAnswers(output->OnAirState());
        DumpEvidence->Collect(*output, false);
    }
    LogClocks(report);
    if (report.Running)
        WatchCycles();
    // A build-up Exit cut short is not one that reached the set delay.
    if (ShownBuildingUp && !report.BuildingUp && report.Running &&
        (report.State == TRunState::OnAir || report.State == TRunState::BuildingUp))
        Log(QStringLiteral("Run %1: built up to the set delay again").arg(RunNumber).toStdString());
    ShownBuildingUp = report.BuildingUp;
    const bool any = dropouts.LostFrames + dropouts.DryOutputs + dropouts.Xruns > 0;
    // One line a second at most, however often the counts move.
    if (dropouts != LoggedDropouts &&
        (!DropoutLogClock.isValid() || DropoutLogClock.elapsed() >= 1000)) {
        if (any)
            Log(DropoutText(dropouts).toStdString(), TLogLevel::Warning);
        LoggedDropouts = dropouts;
        DropoutLogClock.start();
    }
    emit statusChanged(report);
}

void TStation::OnBufferCaptured(void* buffer, int32_t sampleCount, const TWaveDataFormat& format) {
    if (DropBuffers)
        return;
    // The output gets the very buffer first; the displays only read it afterwards.
    try {
        PlayBuffer(buffer, sampleCount * format.BytesPerSample * format.Channels);
    } catch (const Exception& error) {
        // A buffer the output refused is a delay's worth of programme gone: end the run
        // rather than play on with a hole in it.
        DeviceFault(
            TRunDevice::Output,
            QStringLiteral("it refused a buffer (%1)").arg(WithoutFullStop(error.Message())));
        return;
    }
    ++FrameCounter;
    ShowRunStatus();
    // Measured whether or not a meter shows them: a remote panel shows them all the same.
    LastLevels = MeasureLevels(buffer, sampleCount, format);
    emit bufferCaptured(buffer, sampleCount, format);
}

void TStation::OnCountDownTick() {
    CountDownSecs -= 1.0;
    if (!(CountDownSecs > 0.0)) {
        CountDown->stop();
        CountDownSecs = 0.0;
    }
    ShowCountDown();
}

void TStation::ShowCountDown() {
    CountingShown = true;
    emit countDownChanged();
}
