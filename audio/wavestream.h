#pragma once

#include "audio/handover.h"
#include "audio/lockfreequeue.h"
#include "audio/wavedevice.h"

#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

// A PCM record both implementations can open: 8 or 16 bits, consistent sizes.
bool IsPcmFormat(const TWaveFormat& format);
// Whether an input of one format can feed an output of the other, frame for frame.
bool SameFormat(const TWaveFormat& left, const TWaveFormat& right);

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
    // The device's own latency in frames (capture or playback), as its host reports it now.
    virtual uint32_t LatencyFrames() const { return 0; }
    virtual TCycleLoad CycleLoad() const { return {}; }
    // Whether a flowing stream is called steadily, so that silence from its host means the
    // host hung or went away; the virtual card moves only when its test says so.
    virtual bool Steady() const { return true; }
    // The stream stopped being called: the host is no longer to be trusted with calls. A
    // driver that can tell the stall was its own may report that fault here first; the stream
    // keeps the first.
    virtual void NotAnswering() {}
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
    // How often a flowing stream asks its driver whether it is still alive, and how long it
    // may go without a call from its host (a few periods of any server) before it counts as
    // hung: within a second in all.
    static constexpr int HealthCheckMs = 200;
    static constexpr int WatchdogMs = 600;
    // A new stream's first call waits on the server linking it, which a busy session manager
    // may take a second or more to do; one that never comes counts as hung after this long.
    static constexpr int FirstCallMs = 2000;

    // Deliveries to a wave-in target and to a wave-out callback.
    static TDelivery ToTarget(TWaveInTarget* target);
    static TDelivery ToCallback(TWaveOutProc callback, uintptr_t instance);

    TWaveStream(TDirection direction, const TWaveFormat& format, TSamples samples,
                TDelivery delivery);
    ~TWaveStream() override;

    // Takes the driver; an output starts flowing at once.
    TWaveResult Attach(std::unique_ptr<TWaveDriver> driver);
    // Main thread: from now on every buffer input fills is played by output on the audio side;
    // the headers written to output only account for them, in order. Call before the input
    // starts; an input feeds one output in its life.
    static void Link(TWaveStream& input, TWaveStream& output, THandOver::TTiming timing,
                     uint32_t cushionFrames = 0);
    bool Linked() const { return HandOverLink != nullptr; }
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
    uint64_t LostFrames() const override;
    uint64_t Underruns() const override;
    uint64_t Xruns() const override;
    uint32_t LatencyFrames() const override;
    TCycleLoad CycleLoad() const override { return Driver ? Driver->CycleLoad() : TCycleLoad{}; }
    bool RunsByItself() const override;
    void SetBuildUp(const TBuildUp& buildUp) override { BuildUp = buildUp; }
    void KeepHeld(const THeldDelayFile& file) override;
    void Dump(uint64_t frames) override;
    void Exit() override;
    void Build() override;
    void Cough(bool held) override;
    TOnAirState OnAirState() const override;
    bool CopyProgramme(uint64_t from, uint64_t frames, char* pcm) const override;
    uint64_t AiredFrames() const override;
    bool CopyAired(uint64_t from, uint64_t frames, char* pcm) const override;

    // Any thread, the audio side included: the device stopped on its own. The first code is
    // kept and told to the main thread once; the stream takes no more buffers.
    void ReportFault(TWaveResult code);

    // Audio side, for the driver's thread only: never allocates, locks or blocks.
    // input holds frames interleaved samples; output receives them. time is the device time of
    // the first frame, on a clock the driver keeps (shared by both directions where they run
    // in one cycle).
    void Capture(const void* input, uint32_t frames, uint64_t time);
    void Play(void* output, uint32_t frames, uint64_t time);
    // The host reported an xrun: input lost before Capture saw it, or the output starved
    // before Play was called. newXrun is false when it is the same xrun the other direction of
    // one host stream was told: counted there, it is an input overrun here only, and nothing
    // for an output, whose gap the listener heard once.
    void HostOverflow(bool newXrun = true);
    void HostUnderflow(bool newXrun = true);
    // Frames until the head buffer is full or played; 0 when none is queued.
    uint32_t FramesToBufferEnd();

private:
    TWaveResult Queue(TWaveHeader* header);
    TWaveResult StartFlow();
    void StopFlow();
    void CheckHealth();
    // Moves up to frames between the device's samples and the head buffer; returns how many.
    uint32_t Transfer(uint8_t* device, uint32_t frames);
    void Convert(uint8_t* device, char* pcm, uint32_t frames) const;
    void PlayHeaders(uint8_t* target, uint32_t frames);
    void PlayHandedOver(THandOver& link, uint8_t* target, uint32_t frames, uint64_t time);
    // Input: publishes the head buffer to the output it feeds as it starts filling it; false
    // while that buffer is still on its way out there.
    bool BeginHandOver();
    // Output: returns the headers whose handed buffers the output is done with.
    void ReturnAccounted();
    // Output reset: drops every handed buffer and returns every accounted header.
    void DropHandedOver();
    bool NextAccounted(TWaveHeader*& header);
    // Stops feeding or playing the hand-over for good.
    void LetGoOfHandOver();
    void LoseInput(uint64_t frames);
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
    QTimer HealthTimer;
    bool FaultDelivered = false;
    // Main thread: the call count as the flow started and as the last health check saw it,
    // and checks since it moved.
    uint64_t FlowStartCalls = 0;
    uint64_t SeenCalls = 0;
    int QuietChecks = 0;

    // Written by the audio side, read by the main thread.
    std::atomic<TWaveResult> FaultCode{WaveNoError};
    std::atomic<uint64_t> OverrunCount{0};
    std::atomic<uint64_t> LostFrameCount{0};
    std::atomic<uint64_t> UnderrunCount{0};
    std::atomic<uint64_t> XrunCount{0};
    // Calls from the host, for the watchdog.
    std::atomic<uint64_t> CallCount{0};

    // The hand-over this stream feeds or plays, and every one it ever played (an output may
    // play for several inputs in turn; their audio side may still hold an old one).
    std::atomic<THandOver*> HandOverLink{nullptr};
    std::vector<std::shared_ptr<THandOver>> HandOvers;
    // Output, main thread: headers written while linked, each waiting for its handed buffer.
    std::deque<TWaveHeader*> Accounted;
    uint64_t AccountedReturned = 0;
    TBuildUp BuildUp;

    // Audio side state; the main thread reads it only after StopFlow.
    TWaveHeader* Current = nullptr;
    uint32_t CurrentFrame = 0;
    bool Dry = true;
};

// Opens a real device: a stream of the direction around the driver openDriver makes for it
// (nullptr when the device refuses), handed out as device.
template <class TDevice, class TOpenDriver>
TWaveResult OpenRealDevice(std::unique_ptr<TDevice>& device, TWaveStream::TDirection direction,
                           const TWaveFormat& format, TWaveStream::TSamples samples,
                           TWaveStream::TDelivery delivery, TOpenDriver openDriver) {
    auto stream = std::make_unique<TWaveStream>(direction, format, samples, std::move(delivery));
    std::unique_ptr<TWaveDriver> driver = openDriver(*stream);
    if (!driver)
        return WaveErrorAllocated;
    if (const TWaveResult result = stream->Attach(std::move(driver)))
        return result;
    device = std::move(stream);
    return WaveNoError;
}
