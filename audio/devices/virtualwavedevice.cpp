#include "audio/devices/virtualwavedevice.h"

#include "audio/devices/frameclock.h"
#include "audio/wavesamples.h"
#include "audio/wavestream.h"

#include <QCoreApplication>
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t AllCapabilities = 0xFFFF;
constexpr int DefaultPeriodFrames = 256;

// Runs each job on a thread of its own and waits for it, as a sound card runs its callbacks.
class TDeviceThread {
public:
    TDeviceThread() : Thread([this] { Loop(); }) {}
    ~TDeviceThread() {
        {
            std::lock_guard lock(Mutex);
            Quit = true;
        }
        Changed.notify_all();
        Thread.join();
    }

    void Run(const std::function<void()>& job) {
        Start(job);
        Wait();
    }
    // Starts job and returns at once, so that two cards' threads can run side by side.
    void Start(const std::function<void()>& job) {
        std::lock_guard lock(Mutex);
        Job = &job;
        Changed.notify_all();
    }
    void Wait() {
        std::unique_lock lock(Mutex);
        Changed.wait(lock, [this] { return Job == nullptr; });
    }

private:
    void Loop() {
        std::unique_lock lock(Mutex);
        for (;;) {
            Changed.wait(lock, [this] { return Quit || Job; });
            if (Quit)
                return;
            (*Job)();
            Job = nullptr;
            Changed.notify_all();
        }
    }

    std::mutex Mutex;
    std::condition_variable Changed;
    const std::function<void()>* Job = nullptr;
    bool Quit = false;
    std::thread Thread;
};

} // namespace

struct TVirtualWaveDevice::TCard {
    int InputDevices = 1;
    uint32_t Capabilities = AllCapabilities;
    bool NativeFloat = true;
    int PeriodFrames = DefaultPeriodFrames;
    int OutputLatencyFrames = 0;
    bool FormatRefused = false;
    bool InputOpenFails = false;
    bool InputStartFails = false;
    bool OutputOpenFails = false;
    bool OutputPrepareFails = false;
    TWaveResult WriteFault = WaveNoError;
    bool InputLost = false;
    bool OutputLost = false;
    bool Steady = false;
    int CushionFrames = 0;

    TWaveStream* Input = nullptr;
    bool InputFlowing = false;
    TWaveStream* Output = nullptr;
    bool OutputFlowing = false;
    int InputOpens = 0;
    int OutputOpens = 0;
    // Frames into the current period.
    int64_t PeriodPosition = 0;
    // Device time in frames, the clock both directions share; with drift, the input's.
    uint64_t Time = 0;
    // Separate clocks: the output's own time, how much faster it runs, and the fraction of
    // a frame it is owed.
    bool SeparateClocks = false;
    double DriftPpm = 0.0;
    uint64_t OutputTime = 0;
    double OutputOwed = 0.0;
    // Input device time still to pass without reaching the input: frames its host lost.
    int64_t InputSkip = 0;
    // A 32-bit clock, as JACK's, extended on each direction's thread as its driver does.
    bool Clock32 = false;
    TFrameClock InputClock;
    TFrameClock OutputClock;
    // Separate clocks: the period captured last, which its host hands over only now.
    std::vector<uint8_t> LateIn;
    uint32_t LateFrames = 0;
    uint64_t LateTime = 0;

    QByteArray Fed;
    qsizetype FedRead = 0;
    QByteArray Played;
    // What the output played that is still on its way out: its latency's worth.
    QByteArray InFlight;
    TDeviceThread Thread;
    TDeviceThread OutputThread;

    // Output frames that pass while the input's clock moves on by frames.
    uint32_t OutputFramesFor(uint32_t frames) {
        if (!SeparateClocks)
            return frames;
        OutputOwed += frames * (1.0 + DriftPpm / 1e6);
        const auto count = uint32_t(OutputOwed);
        OutputOwed -= count;
        return count;
    }
    // What the output played that now comes out, its latency later.
    void Emit(const char* pcm, qsizetype bytes) {
        InFlight.append(pcm, bytes);
        Played.append(InFlight.first(bytes));
        InFlight.remove(0, bytes);
    }

    // Both directions run in one device cycle, input first, as on a JACK client; or, with a
    // cushion, as two streams of their own would.
    void Link(TWaveStream& input, TWaveStream& output) const {
        if (CushionFrames > 0)
            TWaveStream::Link(input, output, THandOver::TTiming::Cushion, uint32_t(CushionFrames));
        else
            TWaveStream::Link(input, output, THandOver::TTiming::SharedClock);
    }

    TWaveStream::TSamples Samples() const {
        return NativeFloat ? TWaveStream::TSamples::Float : TWaveStream::TSamples::Pcm;
    }

    // A flowing stream learns of its loss on the device thread, as from a real host, unless
    // the loss is silent.
    void Lose(bool input, bool silently = false) {
        (input ? InputLost : OutputLost) = true;
        TWaveStream* stream = input ? Input : Output;
        if (stream && (input ? InputFlowing : OutputFlowing) && !silently)
            Thread.Run([stream] { stream->ReportFault(WaveErrorNoDriver); });
    }
};

namespace {

class TVirtualDriver final : public TWaveDriver {
public:
    TVirtualDriver(std::shared_ptr<TVirtualWaveDevice::TCard> card, TWaveStream* stream, bool input)
        : Card(std::move(card)), Stream(stream), Input(input) {
        (Input ? Card->Input : Card->Output) = Stream;
    }
    ~TVirtualDriver() override {
        if ((Input ? Card->Input : Card->Output) == Stream) {
            (Input ? Card->Input : Card->Output) = nullptr;
            Flowing() = false;
        }
    }

    TWaveResult StartFlow() override {
        if (Lost() || (Input && Card->InputStartFails))
            return WaveErrorNoDriver;
        Flowing() = true;
        return WaveNoError;
    }
    // Advance waits for each device-thread job, so between calls the card is always idle.
    void StopFlow() override { Flowing() = false; }
    TWaveResult PrepareResult() const override {
        return !Input && Card->OutputPrepareFails ? WaveErrorNoMemory : WaveNoError;
    }
    TWaveResult QueueResult() const override {
        if (Lost())
            return WaveErrorNoDriver;
        return Input ? WaveNoError : Card->WriteFault;
    }
    TWaveResult Health() const override { return Lost() ? WaveErrorNoDriver : WaveNoError; }
    bool Steady() const override { return Card->Steady; }
    uint32_t LatencyFrames() const override {
        return Input ? 0 : uint32_t(Card->OutputLatencyFrames);
    }

private:
    bool& Flowing() { return Input ? Card->InputFlowing : Card->OutputFlowing; }
    bool Lost() const { return Input ? Card->InputLost : Card->OutputLost; }

    std::shared_ptr<TVirtualWaveDevice::TCard> Card;
    TWaveStream* Stream;
    bool Input;
};

TWaveResult FormatResult(const TVirtualWaveDevice::TCard& card, const TWaveFormat& format) {
    return card.FormatRefused || !IsPcmFormat(format) ? WaveErrorBadFormat : WaveNoError;
}

uint32_t FrameBytes(const TWaveStream& stream) {
    return stream.Samples() == TWaveStream::TSamples::Float
               ? stream.Format().Channels * sizeof(float)
               : stream.Format().BlockAlign;
}

} // namespace

TVirtualWaveDevice::TVirtualWaveDevice() : Card(std::make_shared<TCard>()) {}

TVirtualWaveDevice::~TVirtualWaveDevice() = default;

int TVirtualWaveDevice::InputDeviceCount() {
    return Card->InputDevices;
}

uint32_t TVirtualWaveDevice::InputFormats(int device) {
    return device >= 0 && device < Card->InputDevices ? Card->Capabilities : 0;
}

TWaveResult TVirtualWaveDevice::OpenInput(std::unique_ptr<TWaveInDevice>& device,
                                          const TWaveFormat& format, TWaveInTarget* target) {
    if (const TWaveResult result = FormatResult(*Card, format))
        return result;
    if (Card->InputLost)
        return WaveErrorNoDriver;
    if (Card->InputOpenFails || Card->Input)
        return WaveErrorAllocated;
    auto stream = std::make_unique<TWaveStream>(TWaveStream::TDirection::Input, format,
                                                Card->Samples(), TWaveStream::ToTarget(target));
    if (const TWaveResult result =
            stream->Attach(std::make_unique<TVirtualDriver>(Card, stream.get(), true)))
        return result;
    if (Card->Output && SameFormat(Card->Output->Format(), format))
        Card->Link(*stream, *Card->Output);
    ++Card->InputOpens;
    device = std::move(stream);
    return WaveNoError;
}

TWaveResult TVirtualWaveDevice::QueryOutput(const TWaveFormat& format) {
    return FormatResult(*Card, format);
}

TWaveResult TVirtualWaveDevice::OpenOutput(std::unique_ptr<TWaveOutDevice>& device,
                                           const TWaveFormat& format, TWaveOutProc callback,
                                           uintptr_t instance) {
    if (const TWaveResult result = FormatResult(*Card, format))
        return result;
    if (Card->OutputLost)
        return WaveErrorNoDriver;
    if (Card->OutputOpenFails || Card->Output)
        return WaveErrorAllocated;
    auto stream =
        std::make_unique<TWaveStream>(TWaveStream::TDirection::Output, format, Card->Samples(),
                                      TWaveStream::ToCallback(callback, instance));
    Card->Played.clear();
    Card->InFlight = QByteArray(qsizetype(Card->OutputLatencyFrames) * format.BlockAlign,
                                char(PcmSilenceByte(format.BitsPerSample / 8)));
    if (const TWaveResult result =
            stream->Attach(std::make_unique<TVirtualDriver>(Card, stream.get(), false)))
        return result;
    if (Card->Input && !Card->Input->Linked() && !Card->InputFlowing &&
        SameFormat(Card->Input->Format(), format))
        Card->Link(*Card->Input, *stream);
    ++Card->OutputOpens;
    device = std::move(stream);
    return WaveNoError;
}

void TVirtualWaveDevice::SetInputDeviceCount(int count) {
    Card->InputDevices = count;
}

void TVirtualWaveDevice::SetCapabilities(uint32_t bits) {
    Card->Capabilities = bits;
}

void TVirtualWaveDevice::SetNativeFloat(bool nativeFloat) {
    Card->NativeFloat = nativeFloat;
}

void TVirtualWaveDevice::SetPeriodFrames(int frames) {
    Card->PeriodFrames = std::max(frames, 1);
}

void TVirtualWaveDevice::SetOutputLatencyFrames(int frames) {
    Card->OutputLatencyFrames = frames;
}

void TVirtualWaveDevice::RefuseFormat(bool refuse) {
    Card->FormatRefused = refuse;
}

void TVirtualWaveDevice::FailInputOpen(bool fail) {
    Card->InputOpenFails = fail;
}

void TVirtualWaveDevice::FailInputStart(bool fail) {
    Card->InputStartFails = fail;
}

void TVirtualWaveDevice::FailOutputOpen(bool fail) {
    Card->OutputOpenFails = fail;
}

void TVirtualWaveDevice::FailOutputPrepare(bool fail) {
    Card->OutputPrepareFails = fail;
}

void TVirtualWaveDevice::FailWrites(TWaveResult code) {
    Card->WriteFault = code;
}

void TVirtualWaveDevice::LoseDevice() {
    Card->Lose(true);
    Card->Lose(false);
}

void TVirtualWaveDevice::LoseInput() {
    Card->Lose(true);
}

void TVirtualWaveDevice::LoseOutput() {
    Card->Lose(false);
}

void TVirtualWaveDevice::LoseInputSilently() {
    Card->Lose(true, true);
}

void TVirtualWaveDevice::RestoreDevice() {
    Card->InputLost = false;
    Card->OutputLost = false;
}

void TVirtualWaveDevice::SetSeparateStreams(int cushionFrames) {
    Card->CushionFrames = cushionFrames;
}

void TVirtualWaveDevice::SetSteady(bool steady) {
    Card->Steady = steady;
}

void TVirtualWaveDevice::FeedInput(const void* pcm, size_t bytes) {
    // What the input has read is never read again: a long feed must not grow without bound.
    Card->Fed.remove(0, Card->FedRead);
    Card->FedRead = 0;
    Card->Fed.append(static_cast<const char*>(pcm), qsizetype(bytes));
}

void TVirtualWaveDevice::Advance(int64_t frames, TPump pump) {
    TCard& card = *Card;
    std::vector<uint8_t> pcmIn, deviceIn, deviceOut, pcmOut;
    while (frames > 0) {
        const uint32_t periodLeft = uint32_t(card.PeriodFrames - card.PeriodPosition);
        uint32_t most = uint32_t(std::min<int64_t>(frames, periodLeft));
        if (card.InputSkip > 0)
            most = uint32_t(std::min<int64_t>(most, card.InputSkip));
        TWaveStream* input =
            !card.InputLost && card.InputFlowing && card.InputSkip == 0 ? card.Input : nullptr;
        TWaveStream* output = !card.OutputLost && card.OutputFlowing ? card.Output : nullptr;
        // The input's frames in its PCM format: what was fed, then silence.
        const uint32_t inFrameBytes = card.Input ? card.Input->Format().BlockAlign : 0;
        pcmIn.assign(size_t(most) * inFrameBytes,
                     card.Input ? PcmSilenceByte(card.Input->Format().BitsPerSample / 8) : 0);
        const qsizetype available =
            std::min<qsizetype>(card.Fed.size() - card.FedRead, qsizetype(pcmIn.size()));
        std::copy_n(card.Fed.constData() + card.FedRead, available, pcmIn.begin());
        if (input && input->Samples() == TWaveStream::TSamples::Float) {
            deviceIn.resize(size_t(most) * FrameBytes(*input));
            PcmToFloat(pcmIn.data(), reinterpret_cast<float*>(deviceIn.data()),
                       size_t(most) * input->Format().Channels, input->Format().BitsPerSample / 8);
        } else {
            deviceIn = pcmIn;
        }

        uint32_t count = most;
        uint64_t time = card.Time;
        if (input && pump == TPump::EachCompletion && !card.SeparateClocks)
            card.Thread.Run([&] {
                const uint32_t toEnd = input->FramesToBufferEnd();
                if (toEnd > 0)
                    count = std::min(count, toEnd);
            });
        const uint32_t outCount = card.OutputFramesFor(count);
        const uint32_t stepFrames = count;
        deviceOut.resize(output ? size_t(outCount) * FrameBytes(*output) : 0);
        if (card.SeparateClocks) {
            // A host hands a period over once it is captured: while the output plays this
            // one, the input gets the last.
            std::swap(deviceIn, card.LateIn);
            std::swap(count, card.LateFrames);
            std::swap(time, card.LateTime);
            // This period's frames never reach an input that skips them.
            if (!input)
                card.LateFrames = 0;
            input = !card.InputLost && card.InputFlowing ? card.Input : nullptr;
        }
        const std::function<void()> capture = [&] {
            if (input && count > 0)
                input->Capture(deviceIn.data(), count,
                               card.Clock32 ? card.InputClock.Extend(uint32_t(time)) : time);
        };
        const std::function<void()> play = [&] {
            if (output)
                output->Play(deviceOut.data(), outCount,
                             card.Clock32 ? card.OutputClock.Extend(uint32_t(card.OutputTime))
                                          : card.OutputTime);
        };
        if (card.SeparateClocks) {
            // Two cards, each on a thread of its own, in whatever order they happen to run.
            card.Thread.Start(capture);
            card.OutputThread.Start(play);
            card.Thread.Wait();
            card.OutputThread.Wait();
        } else {
            card.Thread.Run([&] {
                capture();
                play();
            });
        }
        card.Time += stepFrames;
        card.OutputTime += outCount;
        card.InputSkip = std::max<int64_t>(card.InputSkip - stepFrames, 0);

        card.FedRead += std::min<qsizetype>(available, qsizetype(stepFrames) * inFrameBytes);
        if (output) {
            const auto& format = output->Format();
            pcmOut.resize(size_t(outCount) * format.BlockAlign);
            if (output->Samples() == TWaveStream::TSamples::Float)
                FloatToPcm(reinterpret_cast<const float*>(deviceOut.data()), pcmOut.data(),
                           size_t(outCount) * format.Channels, format.BitsPerSample / 8);
            else
                std::copy_n(deviceOut.data(), pcmOut.size(), pcmOut.begin());
            card.Emit(reinterpret_cast<const char*>(pcmOut.data()), qsizetype(pcmOut.size()));
        }
        frames -= stepFrames;
        card.PeriodPosition = (card.PeriodPosition + stepFrames) % card.PeriodFrames;
        if (pump == TPump::EachCompletion ||
            (pump == TPump::EachPeriod && card.PeriodPosition == 0))
            QCoreApplication::processEvents();
    }
}

void TVirtualWaveDevice::SetClockDrift(double ppm) {
    Card->SeparateClocks = true;
    Card->DriftPpm = ppm;
}

void TVirtualWaveDevice::SetClockStart(uint64_t time, bool thirtyTwoBits) {
    Card->Time = time;
    Card->OutputTime = time;
    Card->Clock32 = thirtyTwoBits;
}

void TVirtualWaveDevice::SkipInput(int64_t frames) {
    TCard& card = *Card;
    card.InputSkip += frames;
    if (TWaveStream* input = card.InputFlowing ? card.Input : nullptr)
        card.Thread.Run([input] { input->HostOverflow(); });
}

void TVirtualWaveDevice::Xrun(int64_t frames) {
    TCard& card = *Card;
    // Both directions lose the same stretch of time: the input's frames go unheard, the output
    // plays nothing, and the clock jumps over it.
    if (TWaveStream* input = card.InputFlowing ? card.Input : nullptr)
        card.Thread.Run([input] { input->HostOverflow(); });
    const qsizetype inBytes = card.Input ? qsizetype(frames) * card.Input->Format().BlockAlign : 0;
    card.FedRead = std::min(card.Fed.size(), card.FedRead + inBytes);
    card.Time += uint64_t(frames);
    const uint32_t outCount = card.OutputFramesFor(uint32_t(frames));
    card.OutputTime += outCount;
    if (card.Output) {
        const TWaveFormat& format = card.Output->Format();
        const QByteArray silence(qsizetype(outCount) * format.BlockAlign,
                                 char(PcmSilenceByte(format.BitsPerSample / 8)));
        card.Emit(silence.constData(), silence.size());
    }
}

QByteArray TVirtualWaveDevice::TakeOutput() {
    return std::exchange(Card->Played, QByteArray());
}

bool TVirtualWaveDevice::InputOpen() const {
    return Card->Input != nullptr;
}

bool TVirtualWaveDevice::InputStarted() const {
    return Card->InputFlowing;
}

bool TVirtualWaveDevice::OutputOpen() const {
    return Card->Output != nullptr;
}

int TVirtualWaveDevice::InputQueued() const {
    return Card->Input ? Card->Input->Held() : 0;
}

int TVirtualWaveDevice::OutputQueued() const {
    return Card->Output ? Card->Output->Held() : 0;
}

int TVirtualWaveDevice::InputOpenCount() const {
    return Card->InputOpens;
}

int TVirtualWaveDevice::OutputOpenCount() const {
    return Card->OutputOpens;
}
