#include "audio/wavestream.h"

#include "audio/wavesamples.h"

#include <algorithm>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

bool IsPcmFormat(const TWaveFormat& format) {
    return format.FormatTag == WaveFormatPcm && format.Channels > 0 &&
           (format.BitsPerSample == 8 || format.BitsPerSample == 16) && format.SamplesPerSec > 0 &&
           format.BlockAlign == format.Channels * format.BitsPerSample / 8;
}

TWaveStream::TDelivery TWaveStream::ToTarget(TWaveInTarget* target) {
    return [target](TWaveStream*, TWaveHeader* header) {
        target->WaveInMessage(header ? WaveInDataMessage : WaveInFaultMessage, header);
    };
}

TWaveStream::TDelivery TWaveStream::ToCallback(TWaveOutProc callback, uintptr_t instance) {
    return [callback, instance](TWaveStream* stream, TWaveHeader* header) {
        callback(stream, header ? WaveOutDoneMessage : WaveOutFaultMessage, instance,
                 reinterpret_cast<uintptr_t>(header), 0);
    };
}

TWaveStream::TWaveStream(TDirection direction, const TWaveFormat& format, TSamples samples,
                         TDelivery delivery)
    : Direction(direction), StreamFormat(format), SampleLayout(samples),
      DeviceFrameBytes(samples == TSamples::Float ? format.Channels * sizeof(float)
                                                  : format.BlockAlign),
      Delivery(std::move(delivery)) {
    // An eventfd write is the audio thread's whole contact with the main thread's event loop.
    WakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (WakeFd >= 0) {
        WakeNotifier = std::make_unique<QSocketNotifier>(WakeFd, QSocketNotifier::Read);
        QObject::connect(WakeNotifier.get(), &QSocketNotifier::activated, WakeNotifier.get(),
                         [this] { DeliverReturned(); });
    }
    HealthTimer.setInterval(HealthCheckMs);
    QObject::connect(&HealthTimer, &QTimer::timeout, &HealthTimer, [this] { CheckHealth(); });
}

TWaveStream::~TWaveStream() {
    if (Driver)
        StopFlow();
    Driver.reset();
    WakeNotifier.reset();
    if (WakeFd >= 0)
        ::close(WakeFd);
}

TWaveResult TWaveStream::Attach(std::unique_ptr<TWaveDriver> driver) {
    if (WakeFd < 0)
        return WaveErrorNoMemory;
    Driver = std::move(driver);
    return Direction == TDirection::Output ? StartFlow() : WaveNoError;
}

TWaveResult TWaveStream::StartFlow() {
    const TWaveResult result = Driver->StartFlow();
    if (result == WaveNoError)
        HealthTimer.start();
    return result;
}

void TWaveStream::StopFlow() {
    HealthTimer.stop();
    Driver->StopFlow();
}

void TWaveStream::CheckHealth() {
    if (const TWaveResult result = Driver->Health())
        ReportFault(result);
}

void TWaveStream::ReportFault(TWaveResult code) {
    TWaveResult none = WaveNoError;
    if (FaultCode.compare_exchange_strong(none, code))
        Wake();
}

TWaveResult TWaveStream::Fault() const {
    return FaultCode.load();
}

uint64_t TWaveStream::Overruns() const {
    return OverrunCount.load(std::memory_order_relaxed);
}

uint64_t TWaveStream::Underruns() const {
    return UnderrunCount.load(std::memory_order_relaxed);
}

TWaveResult TWaveStream::PrepareHeader(TWaveHeader* header) {
    if (IsClosed)
        return WaveErrorInvalidHandle;
    if (const TWaveResult result = Driver->PrepareResult())
        return result;
    header->Flags |= WaveHeaderPrepared;
    return WaveNoError;
}

TWaveResult TWaveStream::UnprepareHeader(TWaveHeader* header) {
    if (IsClosed)
        return WaveErrorInvalidHandle;
    if (header->Flags & WaveHeaderInQueue)
        return WaveErrorStillPlaying;
    header->Flags &= ~WaveHeaderPrepared;
    return WaveNoError;
}

TWaveResult TWaveStream::Reset() {
    if (IsClosed)
        return WaveErrorInvalidHandle;
    StopFlow();
    if (Current) {
        Current->BytesRecorded = CurrentFrame * StreamFormat.BlockAlign;
        Returned.Push(Current);
        Current = nullptr;
    }
    TWaveHeader* header;
    while (Queued.Pop(header))
        Returned.Push(header);
    CurrentFrame = 0;
    Dry = true;
    SilenceLeft = 0;
    Wake();
    // A reset output stays ready to play what is written next.
    if (Direction == TDirection::Output)
        return StartFlow();
    return WaveNoError;
}

TWaveResult TWaveStream::Close() {
    if (IsClosed)
        return WaveErrorInvalidHandle;
    if (HeldCount > 0)
        return WaveErrorStillPlaying;
    StopFlow();
    Driver.reset();
    IsClosed = true;
    return WaveNoError;
}

TWaveResult TWaveStream::AddBuffer(TWaveHeader* header) {
    return Queue(header);
}

TWaveResult TWaveStream::Start() {
    if (IsClosed)
        return WaveErrorInvalidHandle;
    return StartFlow();
}

TWaveResult TWaveStream::Write(TWaveHeader* header) {
    return Queue(header);
}

TWaveResult TWaveStream::Queue(TWaveHeader* header) {
    if (IsClosed)
        return WaveErrorInvalidHandle;
    if (const TWaveResult fault = Fault())
        return fault;
    if (const TWaveResult result = Driver->QueueResult())
        return result;
    if (!(header->Flags & WaveHeaderPrepared))
        return WaveErrorUnprepared;
    if (header->Flags & WaveHeaderInQueue)
        return WaveErrorStillPlaying;
    if (HeldCount >= static_cast<int>(QueueCapacity))
        return WaveErrorNoMemory;
    header->Flags = (header->Flags & ~WaveHeaderDone) | WaveHeaderInQueue;
    header->BytesRecorded = 0;
    Queued.Push(header);
    ++HeldCount;
    return WaveNoError;
}

uint32_t TWaveStream::HeaderFrames(const TWaveHeader* header) const {
    return header->BufferLength / StreamFormat.BlockAlign;
}

void TWaveStream::Finish(TWaveHeader* header) {
    header->BytesRecorded = CurrentFrame * StreamFormat.BlockAlign;
    // Never full: it holds no more than the headers queued, which QueueCapacity bounds.
    Returned.Push(header);
    Current = nullptr;
    CurrentFrame = 0;
    Wake();
}

bool TWaveStream::NextHeader() {
    while (Queued.Pop(Current)) {
        CurrentFrame = 0;
        if (HeaderFrames(Current) > 0)
            return true;
        Finish(Current);
    }
    Current = nullptr;
    return false;
}

uint32_t TWaveStream::FramesToBufferEnd() {
    if (!Current && !NextHeader())
        return 0;
    return HeaderFrames(Current) - CurrentFrame;
}

void TWaveStream::Silence(uint8_t* output, uint32_t frames) const {
    const uint8_t silence =
        SampleLayout == TSamples::Float ? 0 : PcmSilenceByte(StreamFormat.BitsPerSample / 8);
    std::memset(output, silence, size_t(frames) * DeviceFrameBytes);
}

uint32_t TWaveStream::Transfer(uint8_t* device, uint32_t frames) {
    const uint32_t count = std::min(HeaderFrames(Current) - CurrentFrame, frames);
    char* pcm = Current->Data + size_t(CurrentFrame) * StreamFormat.BlockAlign;
    const size_t samples = size_t(count) * StreamFormat.Channels;
    const int bytesPerSample = StreamFormat.BitsPerSample / 8;
    const size_t bytes = size_t(count) * StreamFormat.BlockAlign;
    if (Direction == TDirection::Input) {
        if (SampleLayout == TSamples::Float)
            FloatToPcm(reinterpret_cast<const float*>(device), pcm, samples, bytesPerSample);
        else
            std::memcpy(pcm, device, bytes);
    } else {
        if (SampleLayout == TSamples::Float)
            PcmToFloat(pcm, reinterpret_cast<float*>(device), samples, bytesPerSample);
        else
            std::memcpy(device, pcm, bytes);
    }
    CurrentFrame += count;
    if (CurrentFrame == HeaderFrames(Current))
        Finish(Current);
    return count;
}

void TWaveStream::Capture(const void* input, uint32_t frames) {
    // Transfer only reads the device's side when capturing.
    auto* source = static_cast<uint8_t*>(const_cast<void*>(input));
    while (frames > 0) {
        // With no buffer queued the frames are lost, as on any device that overruns.
        if (!Current && !NextHeader()) {
            OverrunCount.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        const uint32_t count = Transfer(source, frames);
        source += size_t(count) * DeviceFrameBytes;
        frames -= count;
    }
}

void TWaveStream::Play(void* output, uint32_t frames) {
    auto* target = static_cast<uint8_t*>(output);
    while (frames > 0) {
        if (!Current && !NextHeader()) {
            Silence(target, frames);
            // Running dry in the middle of playing means the next buffer came too late.
            if (!Dry)
                UnderrunCount.fetch_add(1, std::memory_order_relaxed);
            Dry = true;
            return;
        }
        if (Dry)
            SilenceLeft = DryStartFrames;
        Dry = false;
        uint32_t count;
        if (SilenceLeft > 0) {
            count = std::min(SilenceLeft, frames);
            Silence(target, count);
            SilenceLeft -= count;
        } else {
            count = Transfer(target, frames);
        }
        target += size_t(count) * DeviceFrameBytes;
        frames -= count;
    }
}

void TWaveStream::HostOverflow() {
    OverrunCount.fetch_add(1, std::memory_order_relaxed);
}

void TWaveStream::HostUnderflow() {
    if (!Dry)
        UnderrunCount.fetch_add(1, std::memory_order_relaxed);
}

void TWaveStream::Wake() {
    const uint64_t one = 1;
    // Cannot fail short of the counter overflowing, which needs 2^64 wake-ups.
    [[maybe_unused]] const ssize_t written = ::write(WakeFd, &one, sizeof one);
}

void TWaveStream::DeliverReturned() {
    uint64_t count;
    [[maybe_unused]] const ssize_t read = ::read(WakeFd, &count, sizeof count);
    TWaveHeader* header;
    while (Returned.Pop(header)) {
        header->Flags = (header->Flags & ~WaveHeaderInQueue) | WaveHeaderDone;
        --HeldCount;
        try {
            Delivery(this, header);
        } catch (...) {
            // The rest still come, one handler's failure does not hold them back.
            Wake();
            throw;
        }
    }
    if (Fault() != WaveNoError && !FaultDelivered) {
        FaultDelivered = true;
        Delivery(this, nullptr);
    }
}
