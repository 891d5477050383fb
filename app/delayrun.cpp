// The delay run of the main window: sizes, start and stop, the per-buffer path, the count-down.

#include "app/delaymain.h"

#include "app/application.h"
#include "app/oscilloscope.h"
#include "app/vumeter.h"
#include "audio/wavelib.h"
#include "controls/degspin.h"
#include "support/dsupport.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/panel.h"

#include <QCheckBox>
#include <QFile>
#include <QLocale>
#include <QTimer>
#include <QToolButton>
#include <cmath>

namespace {

// No single buffer may pass this: the capture and playback layers size buffers in 32 bits.
constexpr uint64_t MaxBufferBytes = INT32_MAX;

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

} // namespace

uint64_t AvailableMemoryBytes() {
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray memInfo = file.readAll();
    // Kernels before 3.14 have no MemAvailable; free memory is the nearest figure they give.
    uint64_t kilobytes = MemInfoKilobytes(memInfo, "MemAvailable");
    if (kilobytes == 0)
        kilobytes = MemInfoKilobytes(memInfo, "MemFree");
    return kilobytes * 1024;
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

QString DeviceFaultReason(TWaveResult code) {
    if (code == WaveErrorNoDriver)
        return QStringLiteral("it is no longer available");
    return QStringLiteral("it failed with error ") + WithoutFullStop(PlaybackErrorText(code));
}

QString DeviceFaultMessage(TRunDevice device, const QString& reason) {
    return QStringLiteral("The %1 device stopped: %2. The run has been stopped.")
        .arg(device == TRunDevice::Input ? QStringLiteral("input") : QStringLiteral("output"),
             WithoutFullStop(reason));
}

bool TForm1::HasFormat() const {
    return WaveReader1->WaveType() != wfNone;
}

TWaveDataFormat TForm1::CurrentFormat() const {
    TWaveDataFormat format{};
    WaveReader1->GetFormat(format);
    return format;
}

double TForm1::DelayHours() const {
    return DelayTimeSpin->Degrees();
}

void TForm1::UpdateDelayLimit() {
    // Without a format there is nothing to size with; the delay keeps its limit.
    if (HasFormat())
        DelayTimeSpin->SetMaxValue(DelayLimitHours(MemoryBudget, CurrentFormat()));
}

int32_t TForm1::BufferFrames() const {
    return static_cast<int32_t>(std::trunc(DelayHours() * 3600.0 * CurrentFormat().SamplesPerSec));
}

int32_t TForm1::BufferBytes() const {
    return static_cast<int32_t>(
        std::trunc(DelayHours() * 3600.0 * double(BytesPerSecond(CurrentFormat()))));
}

void TForm1::UpdateBufferSize() {
    UpdateDelayLimit();
    BufferSizeDis->SetCaption(NumberText(BufferFrames()) + QStringLiteral(" / ") +
                              NumberText(BufferBytes()));
    SetupScopeAxes(BufferFrames(), CurrentFormat().BytesPerSample);
}

void TForm1::ResetRunCounters() {
    FrameCounter = 0;
    WaveReader1->SampleCount = BufferFrames();
}

void TForm1::StartDelay() {
    DropBuffers = false;
    ++RunNumber;
    ResetRunCounters();
    TWaveReader::MakeWaveFormat(OutputFormat, CurrentFormat());
    OpenPlayback(OutputFormat);
    try {
        WaveReader1->Start();
    } catch (...) {
        // Capture has undone itself; the output must not stay open behind it.
        DropBuffers = true;
        StopPlayback();
        throw;
    }
    ShowOverrunCounts();
    Log(QStringLiteral("Run %1 started: %2, delay %3 s")
            .arg(RunNumber)
            .arg(WaveTypeText(WaveReader1->WaveType()))
            .arg(DelayHours() * 3600.0)
            .toStdString());
}

void TForm1::StopDelay() {
    DropBuffers = true;
    // Queued playback points into the capture buffers: drain it before capture frees them.
    StopPlayback();
    WaveReader1->Stop();
    ShowOverrunCounts();
    Log(QStringLiteral("Run %1 stopped: %2 input overruns, %3 output underruns")
            .arg(RunNumber)
            .arg(WaveReader1->Overruns())
            .arg(PlaybackUnderruns())
            .toStdString());
}

void TForm1::DeviceFault(TRunDevice device, const QString& reason) {
    if (DropBuffers || !PlayBtn->isChecked())
        return;
    // Nothing more goes to the devices. The stop waits for the event loop: the fault may be
    // told from inside the very device that the stop closes.
    DropBuffers = true;
    const QString message = DeviceFaultMessage(device, reason);
    Log(message.toStdString());
    QMetaObject::invokeMethod(
        this, [this, run = RunNumber, message] { StopAfterFault(run, message); },
        Qt::QueuedConnection);
}

void TForm1::StopAfterFault(int run, const QString& message) {
    // The operator may have stopped the run meanwhile, or even started another.
    if (run == RunNumber && PlayBtn->isChecked()) {
        PlayBtn->setChecked(false);
        RunHandler([this] { PlayBtnClick(); });
    }
    ShowErrorMessage(message);
}

void TForm1::WaveReader1Fault(QObject*, TWaveResult Code) {
    DeviceFault(TRunDevice::Input, DeviceFaultReason(Code));
}

void TForm1::PlaybackFault(TWaveResult Code) {
    DeviceFault(TRunDevice::Output, DeviceFaultReason(Code));
}

void TForm1::ShowOverrunCounts() {
    FramesDis->setToolTip(QStringLiteral("Input overruns: %1, output underruns: %2")
                              .arg(WaveReader1->Overruns())
                              .arg(PlaybackUnderruns()));
}

void TForm1::WaveReader1WaveIn(QObject*, void* Buffer, int32_t SampleCount,
                               const TWaveDataFormat& Format) {
    if (DropBuffers)
        return;
    // The output gets the very buffer first; the displays only read it afterwards.
    try {
        PlayBuffer(Buffer, SampleCount * Format.BytesPerSample * Format.Channels);
    } catch (const Exception& error) {
        // A buffer the output refused is a delay's worth of programme gone: end the run
        // rather than play on with a hole in it.
        DeviceFault(
            TRunDevice::Output,
            QStringLiteral("it refused a buffer (%1)").arg(WithoutFullStop(error.Message())));
        return;
    }
    ++FrameCounter;
    FramesDis->SetCaption(QString::number(FrameCounter));
    ShowOverrunCounts();
    if (VUMeterChk->isChecked())
        UpdateLevelMeter(Buffer, SampleCount, Format, {LeftVU, RightVU, LeftPeak, RightPeak});
    PendingDis->SetCaption(QString::number(WaveReader1->PendingCount()));
    if (OscopeChk->isChecked())
        PlotBuffer(Buffer, SampleCount, Format);
}

void TForm1::Timer1Timer() {
    CountDownSecs -= 1.0;
    if (!(CountDownSecs > 0.0)) {
        Timer1->stop();
        CountDownSecs = 0.0;
    }
    ShowCountDown();
}

void TForm1::ShowCountDown() {
    CountDownDis->SetCaption(HoursToText(false, false, 0, CountDownSecs / 3600.0));
}
