#include "audio/devices/portaudiodevice.h"

#include "audio/devices/callbackslots.h"
#include "audio/devices/streamclock.h"
#include "audio/waveread.h"
#include "audio/wavesamples.h"
#include "audio/wavestream.h"
#include "support/deadlinecall.h"
#include "support/log.h"

#include <QElapsedTimer>

#include <array>
#include <atomic>
#include <cmath>
#include <cstring>
#include <portaudio.h>

namespace {

enum class TSide { Input, Output };

TWaveStream::TDirection DirectionOf(TSide side) {
    return side == TSide::Input ? TWaveStream::TDirection::Input : TWaveStream::TDirection::Output;
}

PaDeviceIndex DefaultDevice(TSide side) {
    return side == TSide::Input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
}

PaStreamParameters StreamParameters(PaDeviceIndex device, const TWaveFormat& format) {
    PaStreamParameters parameters{};
    parameters.device = device;
    parameters.channelCount = format.Channels;
    parameters.sampleFormat = format.BitsPerSample == 8 ? paUInt8 : paInt16;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    parameters.suggestedLatency = info->defaultHighInputLatency > info->defaultHighOutputLatency
                                      ? info->defaultHighInputLatency
                                      : info->defaultHighOutputLatency;
    return parameters;
}

// PortAudio calls that may wait on a server and are still under way, abandoned ones included:
// PortAudio is never shut down or started again under one. Each call counts itself down as it
// returns, however late.
std::atomic<int> CallsUnderWay{0};
// Whether PortAudio is started, as the last start or shut-down that returned left it; written
// by that call, which may return long after its deadline.
std::atomic<bool> LibraryStarted{false};

// A PortAudio call within the deadline; nothing when it was abandoned.
template <class T, class TCall> std::optional<T> PortAudioCall(const char* what, TCall call) {
    ++CallsUnderWay;
    return ResultWithDeadline<T>(what, [call] {
        const T result = call();
        --CallsUnderWay;
        return result;
    });
}

// Whether the device takes the format; nothing when the server did not answer in time. ALSA
// opens the device to answer, which waits on a server behind a plug-in.
std::optional<bool> Supported(TSide side, PaDeviceIndex device, const TWaveFormat& format) {
    if (device == paNoDevice || !IsPcmFormat(format))
        return false;
    const PaStreamParameters parameters = StreamParameters(device, format);
    const std::optional<PaError> result = PortAudioCall<PaError>(
        "Asking PortAudio for a format", [parameters, side, rate = format.SamplesPerSec] {
            return Pa_IsFormatSupported(side == TSide::Input ? &parameters : nullptr,
                                        side == TSide::Output ? &parameters : nullptr, rate);
        });
    if (!result)
        return std::nullopt;
    return *result == paFormatIsSupported;
}

// Main thread only: streams open now, and whether one was lost since PortAudio started.
int OpenStreams = 0;
bool StreamLost = false;
// Main thread only: a device was missing or refused what it took before: the list PortAudio
// made as it started may predate a server that has come back since. Made again a second
// later at the soonest, so that listing the formats one by one does not restart it each time.
bool ListStale = false;
QElapsedTimer Listed;
constexpr qint64 RelistMs = 1000;

TWaveResult StaleOnFailure(TWaveResult result) {
    ListStale = ListStale || result != WaveNoError;
    return result;
}

// A cushion of this many of the output's latencies (at least MinCushionFrames each) lets two
// separate streams drift a little either way without starving the output.
constexpr uint32_t CushionPeriods = 2;
constexpr uint32_t MinCushionFrames = 256;

class TPortAudioSession;

// Main thread only: the open output, which an input of its format feeds, and whose duplex
// stream that input joins.
struct TOpenOutput {
    std::weak_ptr<TPortAudioSession> Session;
    TWaveStream* Stream = nullptr;
    TWaveFormat Format{};
};
TOpenOutput CurrentOutput;

// One PortAudio stream and the wave streams it feeds or drains: an output, an input, or both
// in one duplex stream, where a cycle's capture is taken before its playback is written, on
// one clock. A direction is detached by clearing its slot and waiting out any callback.
class TPortAudioSession {
public:
    // Shared by the drivers on it; the last one closes it.
    static std::shared_ptr<TPortAudioSession> Make() { return {new TPortAudioSession, &Release}; }

    // Opens the stream; in is null for an output alone, out for an input alone. Fails too when
    // the server does not answer in time.
    bool Open(const PaStreamParameters* in, const PaStreamParameters* out, double rate) {
        const std::optional<PaStreamParameters> input =
            in ? std::optional<PaStreamParameters>(*in) : std::nullopt;
        const std::optional<PaStreamParameters> output =
            out ? std::optional<PaStreamParameters>(*out) : std::nullopt;
        const std::optional<PaError> result =
            Result<PaError>("Opening a PortAudio stream", [this, input, output, rate] {
                return Pa_OpenStream(
                    &Handle, input ? &*input : nullptr, output ? &*output : nullptr, rate,
                    paFramesPerBufferUnspecified, paClipOff | paDitherOff, &Callback, this);
            });
        if (result != paNoError) {
            Handle = nullptr;
            return false;
        }
        HasInput = in != nullptr;
        Rate = rate;
        Clocks = {TStreamClock(uint32_t(rate), TStreamClock::TWatch::RunAhead),
                  TStreamClock(uint32_t(rate), TStreamClock::TWatch::Hold)};
        Pa_SetStreamFinishedCallback(Handle, &StreamFinished);
        return true;
    }

    bool HasInputSide() const { return HasInput; }
    bool Attached(TSide side) { return Streams.Attached(DirectionOf(side)); }

    TWaveResult Attach(TSide side, TWaveStream& stream) {
        if (Died())
            return WaveErrorNoDriver;
        Streams.Attach(DirectionOf(side), &stream);
        if (Started)
            return WaveNoError;
        Expected = true;
        PaStream* handle = Handle;
        if (Result<PaError>("Starting a PortAudio stream",
                            [handle] { return Pa_StartStream(handle); }) != paNoError) {
            Expected = false;
            Streams.Detach(DirectionOf(side));
            return WaveErrorNoDriver;
        }
        Started = true;
        return WaveNoError;
    }

    // Returns once no callback calls the side's stream any more.
    void Detach(TSide side) { Streams.Detach(DirectionOf(side)); }

    // A started stream that stopped on its own lost its device; so did one whose server
    // stopped calling it, or that overran a deadline.
    bool Died() const {
        if (!Lost && Started && !Abandoned && Pa_IsStreamActive(Handle) == 0)
            Lost = StreamLost = true;
        return Lost || Abandoned;
    }
    void MarkLost() { Lost = StreamLost = true; }

    // What the stream's time stamps say, once they have said anything; else what PortAudio
    // expected as it opened the stream, which on a sound server is a guess.
    uint32_t LatencyFrames(TSide side) const {
        const int64_t measured = Sides[Index(side)].Latency.load(std::memory_order_relaxed);
        if (measured >= 0)
            return uint32_t(measured);
        const PaStreamInfo* info = Pa_GetStreamInfo(Handle);
        if (!info)
            return 0;
        const double seconds = side == TSide::Input ? info->inputLatency : info->outputLatency;
        return uint32_t(std::lround(seconds * info->sampleRate));
    }

private:
    TPortAudioSession() { ++OpenStreams; }

    // The deleter: stops and closes the stream within the deadline, or leaves it (and this,
    // which its callbacks use) to PortAudio's threads for good.
    static void Release(TPortAudioSession* session) {
        --OpenStreams;
        if (session->Abandoned)
            return;
        if (PaStream* handle = session->Handle) {
            session->Expected = false;
            const bool started = session->Started;
            const bool closed =
                PortAudioCall<bool>("Closing a PortAudio stream", [handle, started] {
                    if (started)
                        Pa_AbortStream(handle);
                    Pa_CloseStream(handle);
                    return true;
                }).has_value();
            if (!closed) {
                StreamLost = true;
                return;
            }
        }
        delete session;
    }

    // A call that may wait on the server; one that overruns gives the stream up.
    template <class T, class TCall> std::optional<T> Result(const char* what, TCall call) {
        std::optional<T> result = PortAudioCall<T>(what, call);
        if (!result) {
            Abandoned = true;
            StreamLost = true;
        }
        return result;
    }

    static size_t Index(TSide side) { return side == TSide::Input ? 0 : 1; }

    static int Callback(const void* input, void* output, unsigned long frames,
                        const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags flags,
                        void* argument) {
        auto* self = static_cast<TPortAudioSession*>(argument);
        const auto count = uint32_t(frames);
        // Each direction on a clock of its own: a server may skip a period on one and not the
        // other, and only that one's frames come later than counted.
        const double now = timeInfo ? timeInfo->currentTime : 0.0;
        const double adcTime = timeInfo ? timeInfo->inputBufferAdcTime : 0.0;
        const double dacTime = timeInfo ? timeInfo->outputBufferDacTime : 0.0;
        const TStreamClock::TStep in =
            input ? self->Clocks[0].Advance(count, adcTime, now) : TStreamClock::TStep{};
        const TStreamClock::TStep out =
            output ? self->Clocks[1].Advance(count, dacTime, now) : TStreamClock::TStep{};
        self->MeasureLatency(in, out, now - adcTime, dacTime - now);
        self->Streams.Serve([&](TWaveStream* inStream, TWaveStream* outStream) {
            if (inStream) {
                // Frames lost, or zeros in place of frames not captured: a hole either way.
                self->TellDropout(TSide::Input, *inStream,
                                  flags & (paInputOverflow | paInputUnderflow), in);
                inStream->Capture(input, count, in.Time);
            }
            if (!output)
                return;
            if (outStream) {
                self->TellDropout(TSide::Output, *outStream, flags & paOutputUnderflow, out);
                outStream->Play(output, count, out.Time);
            } else {
                std::memset(output, self->OutputSilence, frames * self->OutputFrameBytes);
            }
        });
        ++self->Cycle;
        return paContinue;
    }

    // Tells a direction's stream of a dropout once: the host's flag and the skip its clock
    // finds some periods later are one dropout, and so is what both directions of the stream
    // see at one moment, which counts one xrun.
    void TellDropout(TSide side, TWaveStream& stream, bool flagged,
                     const TStreamClock::TStep& step) {
        TSideState& state = Sides[Index(side)];
        const auto tell = [&](uint64_t began) {
            if (state.Told && began <= state.LastDropout + 1)
                return;
            state.Told = true;
            state.LastDropout = began;
            const bool newXrun = !XrunTold || began > LastXrun + 1 || began + 1 < LastXrun;
            if (newXrun) {
                XrunTold = true;
                LastXrun = began;
            }
            if (side == TSide::Input)
                stream.HostOverflow(newXrun);
            else
                stream.HostUnderflow(newXrun);
        };
        if (step.Skipped > 0)
            tell(Cycle - step.PeriodsSinceJump);
        if (flagged)
            tell(Cycle);
    }

    // Each direction's latency as its stamps show it, smoothed, for the main thread. Where the
    // clocks of a duplex stream moved apart by skips, the output's share is taken as counted
    // from the input's device time, so that the sum stays what a frame takes from the input
    // to the output on the device.
    void MeasureLatency(const TStreamClock::TStep& in, const TStreamClock::TStep& out,
                        double inSeconds, double outSeconds) {
        const auto smooth = [](TSideState& state, double frames) {
            state.Smoothed =
                state.Measured ? state.Smoothed + (frames - state.Smoothed) / 32.0 : frames;
            state.Measured = true;
            state.Latency.store(std::max<int64_t>(std::llround(state.Smoothed), 0),
                                std::memory_order_relaxed);
        };
        if (in.Stamped)
            smooth(Sides[0], inSeconds * Rate);
        if (out.Stamped) {
            double frames = outSeconds * Rate;
            if (in.Stamped)
                frames -= double(int64_t(out.Time - in.Time));
            smooth(Sides[1], frames);
        }
    }

    // The stream went inactive: after our own stop, or because the host stopped it (a device
    // unplugged, a host error). Runs on PortAudio's thread, so it only reports.
    static void StreamFinished(void* argument) {
        auto* self = static_cast<TPortAudioSession*>(argument);
        if (!self->Expected.load())
            return;
        self->Streams.Serve([](TWaveStream* in, TWaveStream* out) {
            for (TWaveStream* stream : {in, out})
                if (stream)
                    stream->ReportFault(WaveErrorNoDriver);
        });
    }

public:
    // Set before the stream opens: what the output plays while no stream is attached.
    uint8_t OutputSilence = 0;
    uint32_t OutputFrameBytes = 0;

private:
    PaStream* Handle = nullptr;
    bool HasInput = false;
    bool Started = false;
    mutable bool Lost = false;
    bool Abandoned = false;
    TCallbackSlots<TWaveStream> Streams;
    // Whether the stream should be running; read by PortAudio's thread.
    std::atomic<bool> Expected{false};
    double Rate = 0.0;
    // Callback thread only: the device times of the input and the output, the callbacks so
    // far, and the last xrun told.
    std::array<TStreamClock, 2> Clocks{TStreamClock(0, TStreamClock::TWatch::RunAhead),
                                       TStreamClock(0, TStreamClock::TWatch::Hold)};
    uint64_t Cycle = 0;
    bool XrunTold = false;
    uint64_t LastXrun = 0;
    struct TSideState {
        // Callback thread only: the callback the last dropout told began in, and the smoothed
        // latency in frames.
        bool Told = false;
        uint64_t LastDropout = 0;
        bool Measured = false;
        double Smoothed = 0.0;
        // For the main thread: that latency rounded, -1 until the stamps have said any.
        std::atomic<int64_t> Latency{-1};
    };
    std::array<TSideState, 2> Sides;
};

class TPortAudioDriver final : public TWaveDriver {
public:
    TPortAudioDriver(std::shared_ptr<TPortAudioSession> session, TSide side, TWaveStream& stream)
        : Session(std::move(session)), Side(side), Stream(stream) {}
    ~TPortAudioDriver() override {
        StopFlow();
        if (CurrentOutput.Stream == &Stream)
            CurrentOutput = {};
    }

    TWaveResult StartFlow() override {
        if (Flowing)
            return WaveNoError;
        if (const TWaveResult result = Session->Attach(Side, Stream))
            return result;
        Flowing = true;
        return WaveNoError;
    }

    void StopFlow() override {
        if (Flowing)
            Session->Detach(Side);
        Flowing = false;
    }

    TWaveResult QueueResult() const override {
        return Session->Died() ? WaveErrorNoDriver : WaveNoError;
    }
    TWaveResult Health() const override { return QueueResult(); }
    void NotAnswering() override { Session->MarkLost(); }
    uint32_t LatencyFrames() const override { return Session->LatencyFrames(Side); }

private:
    const std::shared_ptr<TPortAudioSession> Session;
    const TSide Side;
    TWaveStream& Stream;
    bool Flowing = false;
};

// An output opens a duplex stream when the default input takes its format too, so that a run's
// input can join it later; otherwise a stream of its own.
std::shared_ptr<TPortAudioSession> OpenOutputSession(PaDeviceIndex index,
                                                     const TWaveFormat& format) {
    auto session = TPortAudioSession::Make();
    session->OutputSilence = PcmSilenceByte(format.BitsPerSample / 8);
    session->OutputFrameBytes = format.BlockAlign;
    const PaStreamParameters out = StreamParameters(index, format);
    const PaDeviceIndex inputIndex = DefaultDevice(TSide::Input);
    // A server that did not answer in time is not asked again in the same call.
    const std::optional<bool> duplex = Supported(TSide::Input, inputIndex, format);
    if (!duplex)
        return nullptr;
    if (*duplex) {
        const PaStreamParameters in = StreamParameters(inputIndex, format);
        if (session->Open(&in, &out, format.SamplesPerSec))
            return session;
        if (session->Died())
            return nullptr;
    }
    return session->Open(nullptr, &out, format.SamplesPerSec) ? session : nullptr;
}

template <class TDevice>
TWaveResult OpenStream(TSide side, std::unique_ptr<TDevice>& device, const TWaveFormat& format,
                       TWaveStream::TDelivery delivery) {
    const PaDeviceIndex index = DefaultDevice(side);
    if (index == paNoDevice)
        return WaveErrorNoDriver;
    const std::optional<bool> supported = Supported(side, index, format);
    if (!supported)
        return WaveErrorNoDriver;
    if (!*supported)
        return WaveErrorBadFormat;
    const std::shared_ptr<TPortAudioSession> output =
        CurrentOutput.Stream && side == TSide::Input && SameFormat(CurrentOutput.Format, format)
            ? CurrentOutput.Session.lock()
            : nullptr;
    const bool joins = output && output->HasInputSide() && !output->Attached(TSide::Input);
    std::shared_ptr<TPortAudioSession> session;
    if (joins) {
        session = output;
    } else if (side == TSide::Output) {
        session = OpenOutputSession(index, format);
    } else {
        session = TPortAudioSession::Make();
        const PaStreamParameters in = StreamParameters(index, format);
        if (!session->Open(&in, nullptr, format.SamplesPerSec))
            session = nullptr;
    }
    if (!session)
        return WaveErrorAllocated;
    TWaveStream* stream = nullptr;
    const TWaveResult result = OpenRealDevice(
        device, DirectionOf(side), format, TWaveStream::TSamples::Pcm, std::move(delivery),
        [&](TWaveStream& opened) -> std::unique_ptr<TWaveDriver> {
            stream = &opened;
            return std::make_unique<TPortAudioDriver>(session, side, opened);
        });
    if (result != WaveNoError)
        return result;
    if (side == TSide::Output) {
        CurrentOutput = {session, stream, format};
    } else if (joins) {
        TWaveStream::Link(*stream, *CurrentOutput.Stream, THandOver::TTiming::SharedClock);
    } else if (output) {
        TWaveStream::Link(*stream, *CurrentOutput.Stream, THandOver::TTiming::Cushion,
                          CushionPeriods *
                              std::max(output->LatencyFrames(TSide::Output), MinCushionFrames));
    }
    return WaveNoError;
}

} // namespace

TPortAudioDeviceFactory::~TPortAudioDeviceFactory() {
    if (LibraryStarted && CallsUnderWay == 0)
        PortAudioCall<bool>("Shutting PortAudio down", [] {
            Pa_Terminate();
            LibraryStarted = false;
            return true;
        });
}

bool TPortAudioDeviceFactory::Ready() {
    // A start or shut-down given up at its deadline may still run: PortAudio is not touched
    // until it has returned, and is then as it left it.
    if (Unsettled) {
        if (CallsUnderWay > 0)
            return false;
        Unsettled = false;
    }
    // PortAudio lists the devices once, as it starts: start it again to find a lost one back,
    // once no call of the old start can still run.
    const bool relist = ListStale && Listed.isValid() && Listed.elapsed() >= RelistMs;
    if (LibraryStarted && (StreamLost || relist) && OpenStreams == 0 && CallsUnderWay == 0) {
        if (!PortAudioCall<bool>("Shutting PortAudio down", [] {
                Pa_Terminate();
                LibraryStarted = false;
                return true;
            })) {
            Unsettled = true;
            return false;
        }
    }
    if (!LibraryStarted) {
        if (CallsUnderWay > 0)
            return false;
        if (!PortAudioCall<bool>("Starting PortAudio", [] {
                if (Pa_Initialize() != paNoError)
                    return true;
                // PortAudio's own JACK client would abort the program when it is closed after
                // its server has gone. Where a JACK server answers, our JACK driver plays.
                if (Pa_HostApiTypeIdToHostApiIndex(paJACK) >= 0) {
                    Pa_Terminate();
                    Log("PortAudio found a JACK server answering; it is left to the JACK driver");
                    return true;
                }
                LibraryStarted = true;
                return true;
            })) {
            Unsettled = true;
            return false;
        }
        StreamLost = false;
        ListStale = false;
        Listed.start();
    }
    return LibraryStarted;
}

int TPortAudioDeviceFactory::InputDeviceCount() {
    if (!Ready())
        return 0;
    const bool found = DefaultDevice(TSide::Input) != paNoDevice;
    StaleOnFailure(found ? WaveNoError : WaveErrorNoDriver);
    return found ? 1 : 0;
}

uint32_t TPortAudioDeviceFactory::InputFormats(int device) {
    if (!Ready() || device != 0)
        return 0;
    const PaDeviceIndex index = DefaultDevice(TSide::Input);
    // A server that hangs costs one deadline, not one per format.
    bool answering = true;
    return FormatCapabilities([index, &answering](const TWaveFormat& format) {
        if (!answering)
            return false;
        const std::optional<bool> supported = Supported(TSide::Input, index, format);
        answering = supported.has_value();
        return supported.value_or(false);
    });
}

TWaveResult TPortAudioDeviceFactory::OpenInput(std::unique_ptr<TWaveInDevice>& device,
                                               const TWaveFormat& format, TWaveInTarget* target) {
    if (!Ready())
        return WaveErrorNoDriver;
    return StaleOnFailure(OpenStream(TSide::Input, device, format, TWaveStream::ToTarget(target)));
}

TWaveResult TPortAudioDeviceFactory::QueryOutput(const TWaveFormat& format) {
    if (!Ready())
        return WaveErrorNoDriver;
    const PaDeviceIndex index = DefaultDevice(TSide::Output);
    if (index == paNoDevice)
        return StaleOnFailure(WaveErrorNoDriver);
    const std::optional<bool> supported = Supported(TSide::Output, index, format);
    if (!supported)
        return WaveErrorNoDriver;
    return StaleOnFailure(*supported ? WaveNoError : WaveErrorBadFormat);
}

TWaveResult TPortAudioDeviceFactory::OpenOutput(std::unique_ptr<TWaveOutDevice>& device,
                                                const TWaveFormat& format, TWaveOutProc callback,
                                                uintptr_t instance) {
    if (!Ready())
        return WaveErrorNoDriver;
    return StaleOnFailure(
        OpenStream(TSide::Output, device, format, TWaveStream::ToCallback(callback, instance)));
}
