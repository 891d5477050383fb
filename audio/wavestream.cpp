#include "audio/wavestream.h"

#include "audio/onairplayer.h"
#include "audio/wavesamples.h"

#include <algorithm>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

bool IsPcmFormat(const TWaveFormat& format) {
    return format.FormatTag == WaveFormatPcm && format.Channels > 0 &&
           (format.BitsPerSample == 8 || format.BitsPerSample == 16) && format.SamplesPerSec > 0 &&
           format.BlockAlign == format.Channels * format.BitsPerSample / 8;
}

bool SameFormat(const TWaveFormat& left, const TWaveFormat& right) {
    return left.Channels == right.Channels && left.SamplesPerSec == right.SamplesPerSec &&
           left.BitsPerSample == right.BitsPerSample && left.BlockAlign == right.BlockAlign;
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
    LetGoOfHandOver();
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

void TWaveStream::Link(TWaveStream& input, TWaveStream& output, THandOver::TTiming timing,
                       uint32_t cushionFrames) {
    auto link = std::make_shared<THandOver>(timing, cushionFrames, output.StreamFormat,
                                            output.SampleLayout == TSamples::Float, output.BuildUp);
    input.HandOvers.push_back(link);
    output.HandOvers.push_back(link);
    output.Accounted.clear();
    output.AccountedReturned = 0;
    input.HandOverLink.store(link.get());
    output.HandOverLink.store(link.get());
}

void TWaveStream::KeepHeld(const THeldDelayFile& file) {
    if (THandOver* link = HandOverLink.load())
        link->KeepHeld(file);
}

void TWaveStream::LetGoOfHandOver() {
    THandOver* link = HandOverLink.load();
    if (!link)
        return;
    if (Direction == TDirection::Output) {
        link->OutputGone.store(true);
        return;
    }
    // The owner frees the buffers once we return: the output must be out of them first.
    link->InputGone.store(true);
    while (link->OutputBusy.load())
        std::this_thread::yield();
}

TWaveResult TWaveStream::StartFlow() {
    const TWaveResult result = Driver->StartFlow();
    if (result == WaveNoError) {
        FlowStartCalls = SeenCalls = CallCount.load(std::memory_order_relaxed);
        QuietChecks = 0;
        HealthTimer.start();
    }
    return result;
}

void TWaveStream::StopFlow() {
    HealthTimer.stop();
    Driver->StopFlow();
}

void TWaveStream::CheckHealth() {
    if (const TWaveResult result = Driver->Health()) {
        ReportFault(result);
        return;
    }
    if (!Driver->Steady())
        return;
    const uint64_t calls = CallCount.load(std::memory_order_relaxed);
    QuietChecks = calls == SeenCalls ? QuietChecks + 1 : 0;
    SeenCalls = calls;
    const int limitMs = calls == FlowStartCalls ? FirstCallMs : WatchdogMs;
    if (QuietChecks * HealthCheckMs >= limitMs && Fault() == WaveNoError) {
        Driver->NotAnswering();
        ReportFault(WaveErrorNotAnswering);
    }
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

uint64_t TWaveStream::LostFrames() const {
    return LostFrameCount.load(std::memory_order_relaxed);
}

uint64_t TWaveStream::Underruns() const {
    return UnderrunCount.load(std::memory_order_relaxed);
}

uint64_t TWaveStream::Xruns() const {
    return XrunCount.load(std::memory_order_relaxed);
}

uint32_t TWaveStream::LatencyFrames() const {
    return Driver ? Driver->LatencyFrames() : 0;
}

bool TWaveStream::RunsByItself() const {
    return Driver && Driver->Steady();
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
    if (Direction == TDirection::Input)
        LetGoOfHandOver();
    else
        DropHandedOver();
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
    LetGoOfHandOver();
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
    ++HeldCount;
    if (Direction == TDirection::Output && HandOverLink.load()) {
        // Its buffer plays on the audio side; this only waits for it to have played.
        Accounted.push_back(header);
        Wake();
    } else {
        Queued.Push(header);
    }
    return WaveNoError;
}

void TWaveStream::DropHandedOver() {
    THandOver* link = HandOverLink.load();
    if (!link)
        return;
    link->Player().DropComplete();
    for (TWaveHeader* header : Accounted)
        Returned.Push(header);
    Accounted.clear();
    AccountedReturned = link->Consumed.load();
}

void TWaveStream::Dump(uint64_t frames) {
    if (THandOver* link = HandOverLink.load())
        link->DumpRequest.fetch_add(frames, std::memory_order_relaxed);
}

void TWaveStream::Exit() {
    if (THandOver* link = HandOverLink.load())
        link->ExitRequest.store(true, std::memory_order_relaxed);
}

void TWaveStream::Build() {
    if (THandOver* link = HandOverLink.load())
        link->BuildRequest.store(true, std::memory_order_relaxed);
}

void TWaveStream::Cough(bool held) {
    if (THandOver* link = HandOverLink.load())
        link->CoughHeld.store(held, std::memory_order_relaxed);
}

TOnAirState TWaveStream::OnAirState() const {
    const THandOver* link = HandOverLink.load();
    if (!link)
        return {};
    // The answer's count last, so that the state read with it is the one it answered with.
    const uint64_t answered = link->DumpsAnswered.load(std::memory_order_acquire);
    return {link->AheadFrames.load(std::memory_order_relaxed),
            link->BuildUpFrames.load(std::memory_order_relaxed),
            link->BuildingUp.load(std::memory_order_relaxed),
            link->Playing.load(std::memory_order_relaxed),
            link->DumpedFrames.load(std::memory_order_relaxed),
            answered,
            link->LastRefusal.load(std::memory_order_relaxed),
            link->Timing == THandOver::TTiming::Cushion,
            link->DriftPpm.load(std::memory_order_relaxed),
            link->Realignments.load(std::memory_order_relaxed),
            link->Mode.load(std::memory_order_relaxed),
            link->CoughHeld.load(std::memory_order_relaxed),
            {link->DumpFrom.load(std::memory_order_relaxed),
             link->DumpTo.load(std::memory_order_relaxed),
             link->DumpAiredAt.load(std::memory_order_relaxed)}};
}

bool TWaveStream::CopyProgramme(uint64_t from, uint64_t frames, char* pcm) const {
    const THandOver* link = HandOverLink.load();
    return link && link->CopyProgramme(from, frames, StreamFormat.BlockAlign, pcm);
}

uint64_t TWaveStream::AiredFrames() const {
    const THandOver* link = HandOverLink.load();
    return link ? link->Air.Recorded() : 0;
}

bool TWaveStream::CopyAired(uint64_t from, uint64_t frames, char* pcm) const {
    const THandOver* link = HandOverLink.load();
    return link && link->Air.CopyPcm(from, frames, pcm);
}

bool TWaveStream::NextAccounted(TWaveHeader*& header) {
    THandOver* link = HandOverLink.load();
    if (!link || Accounted.empty() || AccountedReturned >= link->Consumed.load())
        return false;
    header = Accounted.front();
    Accounted.pop_front();
    ++AccountedReturned;
    return true;
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
        // An empty buffer is due at once; the output still accounts for it.
        if (Direction == TDirection::Input && BeginHandOver())
            HandOverLink.load(std::memory_order_relaxed)->Complete();
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
    DeviceSilence(output, size_t(frames) * StreamFormat.Channels, StreamFormat.BitsPerSample / 8,
                  SampleLayout == TSamples::Float);
}

void TWaveStream::Convert(uint8_t* device, char* pcm, uint32_t frames) const {
    const size_t samples = size_t(frames) * StreamFormat.Channels;
    const int bytesPerSample = StreamFormat.BitsPerSample / 8;
    const bool floatDevice = SampleLayout == TSamples::Float;
    if (Direction == TDirection::Input)
        DeviceToPcm(device, pcm, samples, bytesPerSample, floatDevice);
    else
        PcmToDevice(pcm, device, samples, bytesPerSample, floatDevice);
}

uint32_t TWaveStream::Transfer(uint8_t* device, uint32_t frames) {
    const uint32_t count = std::min(HeaderFrames(Current) - CurrentFrame, frames);
    Convert(device, Current->Data + size_t(CurrentFrame) * StreamFormat.BlockAlign, count);
    CurrentFrame += count;
    return count;
}

bool TWaveStream::BeginHandOver() {
    THandOver* link = HandOverLink.load(std::memory_order_relaxed);
    if (!link || link->OutputGone.load())
        return true;
    return !link->Holds(Current->Data) && link->Begin(Current->Data, HeaderFrames(Current));
}

void TWaveStream::LoseInput(uint64_t frames) {
    OverrunCount.fetch_add(1, std::memory_order_relaxed);
    LostFrameCount.fetch_add(frames, std::memory_order_relaxed);
}

void TWaveStream::Capture(const void* input, uint32_t frames, uint64_t time) {
    CallCount.fetch_add(1, std::memory_order_relaxed);
    THandOver* link = HandOverLink.load(std::memory_order_relaxed);
    if (link && link->OutputGone.load())
        link = nullptr;
    if (link && link->HoldOff())
        return;
    // Transfer only reads the device's side when capturing.
    auto* source = static_cast<uint8_t*>(const_cast<void*>(input));
    while (frames > 0) {
        // With no buffer queued the frames are lost, as on any device that overruns; so are
        // they while the next buffer is still being played, rather than overwrite it.
        if ((!Current && !NextHeader()) || (CurrentFrame == 0 && !BeginHandOver())) {
            LoseInput(frames);
            if (link)
                link->Lost();
            return;
        }
        const uint32_t count = Transfer(source, frames);
        if (link) {
            link->Wrote(count, time);
            // The time a resumed delay was down, known from its first frames on.
            if (const uint64_t downtime =
                    link->DowntimeFrames.exchange(0, std::memory_order_relaxed))
                LoseInput(downtime);
        }
        source += size_t(count) * DeviceFrameBytes;
        frames -= count;
        time += count;
        if (CurrentFrame == HeaderFrames(Current)) {
            if (link)
                link->Complete();
            Finish(Current);
        }
    }
}

void TWaveStream::Play(void* output, uint32_t frames, uint64_t time) {
    CallCount.fetch_add(1, std::memory_order_relaxed);
    auto* target = static_cast<uint8_t*>(output);
    if (THandOver* link = HandOverLink.load(std::memory_order_acquire))
        PlayHandedOver(*link, target, frames, time);
    else
        PlayHeaders(target, frames);
}

void TWaveStream::PlayHeaders(uint8_t* target, uint32_t frames) {
    while (frames > 0) {
        if (!Current && !NextHeader()) {
            Silence(target, frames);
            // Running dry in the middle of playing means the next buffer came too late.
            if (!Dry)
                UnderrunCount.fetch_add(1, std::memory_order_relaxed);
            Dry = true;
            return;
        }
        Dry = false;
        const uint32_t count = Transfer(target, frames);
        if (CurrentFrame == HeaderFrames(Current))
            Finish(Current);
        target += size_t(count) * DeviceFrameBytes;
        frames -= count;
    }
}

void TWaveStream::PlayHandedOver(THandOver& link, uint8_t* target, uint32_t frames, uint64_t time) {
    // Sequentially consistent with the input's InputGone and its wait on OutputBusy: either
    // the input sees us busy and waits, or we see it gone and never touch its memory.
    link.OutputBusy.store(true);
    if (link.InputGone.load()) {
        // Its buffers may be freed any moment: let go of them unplayed.
        if (link.Player().DropAll())
            Wake();
        Silence(target, frames);
    } else {
        const TOnAirPlayer::TOutcome outcome = link.Player().Play(target, frames, time);
        if (outcome.Underruns > 0)
            UnderrunCount.fetch_add(outcome.Underruns, std::memory_order_relaxed);
        if (outcome.Consumed)
            Wake();
    }
    link.OutputBusy.store(false);
}

void TWaveStream::HostOverflow(bool newXrun) {
    OverrunCount.fetch_add(1, std::memory_order_relaxed);
    if (newXrun)
        XrunCount.fetch_add(1, std::memory_order_relaxed);
}

void TWaveStream::HostUnderflow(bool newXrun) {
    // The host's own gap: told as its xrun, not again as the output running dry.
    if (newXrun)
        XrunCount.fetch_add(1, std::memory_order_relaxed);
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
    while (Returned.Pop(header) || NextAccounted(header)) {
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
