#include "audio/wavelib.h"

#include "audio/wavemessage.h"
#include "support/errors.h"
#include "support/nestedevents.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <atomic>
#include <memory>
#include <utility>
#include <vector>

namespace {

struct TDeferredHeader {
    TWaveHeader* Header;
    TWaveOutDevice* Device;
};

struct TPlaybackQueue {
    std::unique_ptr<TWaveOutDevice> Device;
    std::atomic<int32_t> Pending{0};
    bool HoldRelease = false;
    // Every header returned while HoldRelease is set, released once the stop has drained.
    std::vector<TDeferredHeader> Deferred;
    // Headers written and returned since the program started; returns come in write order.
    uint64_t Written = 0;
    uint64_t Returned = 0;
    // Underruns and xruns of the last output, once it is closed.
    uint64_t ClosedUnderruns = 0;
    uint64_t ClosedXruns = 0;
    TPlaybackFaultEvent FaultEvent;
};

TPlaybackQueue& Queue() {
    // Never destroyed: an output still open at exit must not outlive the devices.
    static auto* queue = new TPlaybackQueue;
    return *queue;
}

void ReleaseHeader(TWaveOutDevice* device, TWaveHeader* header) {
    device->UnprepareHeader(header);
    delete header;
}

struct TSoundTool {
    const char* Program;
    const char* Argument;
};

// Desktop sound settings, best first.
constexpr TSoundTool SoundTools[] = {
    {"pavucontrol", nullptr},
    {"pavucontrol-qt", nullptr},
    {"gnome-control-center", "sound"},
    {"systemsettings", "kcm_pulseaudio"},
    {"qjackctl", nullptr},
};

} // namespace

void OpenPlayback(const TWaveFormat& format) {
    const TWaveFormat copy = format;
    TPlaybackQueue& queue = Queue();
    // A device left open by an earlier run still holds its headers: release them all first.
    if (queue.Device)
        StopPlayback();
    TWaveDeviceFactory& factory = WaveDeviceFactory();
    queue.ClosedUnderruns = 0;
    queue.ClosedXruns = 0;
    if (factory.QueryOutput(copy) != WaveNoError)
        throw Exception(QStringLiteral("Can't play format"));
    if (factory.OpenOutput(queue.Device, copy, &PlaybackDone, 0) != WaveNoError || !queue.Device)
        throw Exception(QStringLiteral("Failed to open output device"));
}

void QueuePlayback(const void* data, int32_t length, bool wait) {
    if (length < 0)
        throw ERangeError();
    TPlaybackQueue& queue = Queue();
    auto header = std::make_unique<TWaveHeader>();
    header->Data = static_cast<char*>(const_cast<void*>(data));
    header->BufferLength = static_cast<uint32_t>(length);
    queue.HoldRelease = false;
    if (!queue.Device || queue.Device->PrepareHeader(header.get()) != WaveNoError)
        throw Exception(QStringLiteral("Unable to prepare header"));
    if (const TWaveResult result = queue.Device->Write(header.get())) {
        // Nobody else will ever see this header: release it here.
        queue.Device->UnprepareHeader(header.get());
        throw Exception(PlaybackErrorText(result));
    }
    header.release();
    ++queue.Pending;
    const uint64_t serial = ++queue.Written;
    // Wait by count, not on the header's done flag: PlaybackDone may already have freed it.
    if (wait)
        while (queue.Returned < serial && !QCoreApplication::closingDown())
            ProcessNestedEvents();
}

void PlayBuffer(const void* data, int32_t length) {
    QueuePlayback(data, length, false);
}

void PlaybackDone(TWaveOutDevice* device, uint32_t message, uintptr_t, uintptr_t param1,
                  uintptr_t) {
    TPlaybackQueue& queue = Queue();
    if (message == WaveOutFaultMessage && device == queue.Device.get() && queue.FaultEvent)
        queue.FaultEvent(device->Fault());
    if (message != WaveOutDoneMessage)
        return;
    auto* header = reinterpret_cast<TWaveHeader*>(param1);
    if (queue.HoldRelease)
        queue.Deferred.push_back({header, device});
    else
        ReleaseHeader(device, header);
    ++queue.Returned;
    --queue.Pending;
}

int32_t PlaybackPending() {
    return Queue().Pending;
}

uint64_t PlaybackUnderruns() {
    const TPlaybackQueue& queue = Queue();
    return queue.Device ? queue.Device->Underruns() : queue.ClosedUnderruns;
}

uint64_t PlaybackXruns() {
    const TPlaybackQueue& queue = Queue();
    return queue.Device ? queue.Device->Xruns() : queue.ClosedXruns;
}

uint32_t PlaybackLatencyFrames() {
    const TPlaybackQueue& queue = Queue();
    return queue.Device ? queue.Device->LatencyFrames() : 0;
}

TWaveOutDevice* PlaybackDevice() {
    return Queue().Device.get();
}

TPlaybackFaultEvent SetPlaybackFaultEvent(TPlaybackFaultEvent event) {
    return std::exchange(Queue().FaultEvent, std::move(event));
}

void WaitPlayback() {
    while (Queue().Pending > 0 && !QCoreApplication::closingDown())
        ProcessNestedEvents();
}

void StopPlayback() {
    TPlaybackQueue& queue = Queue();
    queue.HoldRelease = true;
    if (queue.Device)
        queue.Device->Reset();
    WaitPlayback();
    for (const TDeferredHeader& deferred : queue.Deferred)
        ReleaseHeader(deferred.Device, deferred.Header);
    queue.Deferred.clear();
    if (queue.Device) {
        queue.ClosedUnderruns = queue.Device->Underruns();
        queue.ClosedXruns = queue.Device->Xruns();
        queue.Device->Close();
    }
    queue.Device.reset();
    queue.Pending = 0;
}

QString PlaybackErrorText(uint32_t code) {
    const char* suffix = "";
    switch (code) {
    case WaveErrorInvalidHandle:
        suffix = ": Specified device handle is invalid.";
        break;
    case WaveErrorNoDriver:
        suffix = ": No device driver is present.";
        break;
    case WaveErrorNoMemory:
        suffix = " Unable to allocate or lock memory.";
        break;
    case WaveErrorUnprepared:
        suffix = " The data block pointed to by the pwh parameter hasn''t been prepared.";
        break;
    }
    return QString::number(code) + QString::fromLatin1(suffix);
}

void OpenSoundControlPanel() {
    QStringList names;
    for (const TSoundTool& tool : SoundTools) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(tool.Program));
        names.append(QString::fromLatin1(tool.Program));
        if (path.isEmpty())
            continue;
        QStringList arguments;
        if (tool.Argument)
            arguments.append(QString::fromLatin1(tool.Argument));
        if (QProcess::startDetached(path, arguments))
            return;
    }
    ShowWaveMessage(QStringLiteral("No sound settings tool could be started. Install one of: ") +
                    names.join(QStringLiteral(", ")) + QLatin1Char('.'));
}
