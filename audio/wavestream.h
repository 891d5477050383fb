#pragma once

#include "audio/lockfreequeue.h"
#include "audio/wavedevice.h"

#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>

// A PCM record both implementations can open: 8 or 16 bits, consistent sizes.
bool IsPcmFormat(const TWaveFormat& format);

// How frames reach a stream: a JACK client, a PortAudio stream or the virtual card. Called on
// the main thread.
class TWaveDriver {
public:
    virtual ~TWaveDriver() = default;
    virtual TWaveResult StartFlow() = 0;
    // Returns only once the stream's audio side is no longer called and its effects are
    // visible to the caller.
    virtual void StopFlow() = 0;
    // What the device answers now to a header being prepared or queued (a lost device, a
    // fault); WaveNoError to accept it.
    virtual TWaveResult PrepareResult() const { return WaveNoError; }
    virtual TWaveResult QueueResult() const = 0;
    // Asked now and then while the stream flows: a fault that shows no other way (a stream
    // that went quiet without a word); WaveNoError while all is well.
    virtual TWaveResult Health() const { return WaveNoError; }
};

// One open device of either direction, the same for every driver. The main thread queues
// headers; the audio side (Capture or Play, called by the driver on its own thread) fills or
// plays them in order and hands each finished header back through a lock-free queue with one
// wake-up of the main thread, whose event loop then delivers it. A fault the audio side or the
// driver reports travels the same way, delivered once after the headers returned before it.
//
// It implements both device interfaces so that the calls they share are written once; the
// opener hands it out as the one of its direction.
class TWaveStream final : public TWaveInDevice, public TWaveOutDevice {
public:
    enum class TDirection { Input, Output };
    // Sample layout of the audio side: float (we convert exactly) or the PCM bytes themselves.
    enum class TSamples { Float, Pcm };
    // header is nullptr for the fault message.
    using TDelivery = std::function<void(TWaveStream* stream, TWaveHeader* header)>;

    // Headers one device can hold at once.
    static constexpr size_t QueueCapacity = 4096;
    // How often a flowing stream asks its driver whether it is still alive.
    static constexpr int HealthCheckMs = 200;

    // Deliveries to a wave-in target and to a wave-out callback.
    static TDelivery ToTarget(TWaveInTarget* target);
    static TDelivery ToCallback(TWaveOutProc callback, uintptr_t instance);

    TWaveStream(TDirection direction, const TWaveFormat& format, TSamples samples,
                TDelivery delivery);
    ~TWaveStream() override;

    // Takes the driver; an output starts flowing at once.
    TWaveResult Attach(std::unique_ptr<TWaveDriver> driver);
    // Silence an output plays before a buffer written while it had run dry, so that the main
    // thread has that long to queue the next one after each completion.
    void SetDryStartFrames(uint32_t frames) { DryStartFrames = frames; }
    const TWaveFormat& Format() const { return StreamFormat; }
    TSamples Samples() const { return SampleLayout; }
    // Headers queued and not yet delivered back.
    int Held() const { return HeldCount; }

    TWaveResult PrepareHeader(TWaveHeader* header) override;
    TWaveResult UnprepareHeader(TWaveHeader* header) override;
    TWaveResult Reset() override;
    TWaveResult Close() override;
    TWaveResult AddBuffer(TWaveHeader* header) override;
    TWaveResult Start() override;
    TWaveResult Write(TWaveHeader* header) override;
    TWaveResult Fault() const override;
    uint64_t Overruns() const override;
    uint64_t Underruns() const override;

    // Any thread, the audio side included: the device stopped on its own. The first code is
    // kept and told to the main thread once; the stream takes no more buffers.
    void ReportFault(TWaveResult code);

    // Audio side, for the driver's thread only: never allocates, locks or blocks.
    // input holds frames interleaved samples; output receives them.
    void Capture(const void* input, uint32_t frames);
    void Play(void* output, uint32_t frames);
    // The host lost input before Capture saw it, or starved the output before Play was called.
    void HostOverflow();
    void HostUnderflow();
    // Frames until the head buffer is full or played; 0 when none is queued.
    uint32_t FramesToBufferEnd();

private:
    TWaveResult Queue(TWaveHeader* header);
    TWaveResult StartFlow();
    void StopFlow();
    void CheckHealth();
    // Moves up to frames between the device's samples and the head buffer; returns how many.
    uint32_t Transfer(uint8_t* device, uint32_t frames);
    void Finish(TWaveHeader* header);
    bool NextHeader();
    uint32_t HeaderFrames(const TWaveHeader* header) const;
    void Silence(uint8_t* output, uint32_t frames) const;
    void Wake();
    void DeliverReturned();

    const TDirection Direction;
    const TWaveFormat StreamFormat;
    const TSamples SampleLayout;
    const uint32_t DeviceFrameBytes;
    const TDelivery Delivery;
    std::unique_ptr<TWaveDriver> Driver;
    TLockFreeQueue<TWaveHeader*> Queued{QueueCapacity};
    TLockFreeQueue<TWaveHeader*> Returned{QueueCapacity};
    int WakeFd = -1;
    std::unique_ptr<QSocketNotifier> WakeNotifier;
    int HeldCount = 0;
    bool IsClosed = false;
    uint32_t DryStartFrames = 0;
    QTimer HealthTimer;
    bool FaultDelivered = false;

    // Written by the audio side, read by the main thread.
    std::atomic<TWaveResult> FaultCode{WaveNoError};
    std::atomic<uint64_t> OverrunCount{0};
    std::atomic<uint64_t> UnderrunCount{0};

    // Audio side state; the main thread reads it only after StopFlow.
    TWaveHeader* Current = nullptr;
    uint32_t CurrentFrame = 0;
    bool Dry = true;
    uint32_t SilenceLeft = 0;
};

// Opens a real device: a stream of the direction around the driver openDriver makes for it
// (nullptr when the device refuses), handed out as device.
template <class TDevice, class TOpenDriver>
TWaveResult OpenRealDevice(std::unique_ptr<TDevice>& device, TWaveStream::TDirection direction,
                           const TWaveFormat& format, TWaveStream::TSamples samples,
                           TWaveStream::TDelivery delivery, TOpenDriver openDriver) {
    // An output that ran dry starts a new buffer a tenth of a second late: the main thread then
    // has about that long after each completion to queue the next buffer, so buffers of any
    // length play back to back whatever the device period is. The input refills a buffer three
    // buffers after handing it over, so this plus two periods must stay under two buffers of
    // the shortest delay (0.1 s).
    constexpr uint32_t dryStartDivisor = 10;
    auto stream = std::make_unique<TWaveStream>(direction, format, samples, std::move(delivery));
    stream->SetDryStartFrames(format.SamplesPerSec / dryStartDivisor);
    std::unique_ptr<TWaveDriver> driver = openDriver(*stream);
    if (!driver)
        return WaveErrorAllocated;
    if (const TWaveResult result = stream->Attach(std::move(driver)))
        return result;
    device = std::move(stream);
    return WaveNoError;
}
