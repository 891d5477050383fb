#include "audio/portaudiodevice.h"

#include "audio/waveread.h"
#include "audio/wavestream.h"

#include <atomic>
#include <pa_jack.h>
#include <portaudio.h>

namespace {

constexpr const char* JackClientName = "Lagvane";
// An output that ran dry starts a new buffer this late: the main thread then has about that
// long after each completion to queue the next buffer, so buffers of any length play back to
// back whatever the device period is. The input refills a buffer three buffers after handing
// it over, so this plus two periods must stay under two buffers of the shortest delay (0.1 s).
constexpr uint32_t DryStartDivisor = 10; // 100 ms

enum class TSide { Input, Output };

// The wave mapper: JACK's default ports when a JACK server runs, else the default host API's
// devices. Never an index into the device list: on JACK every other client shows up there.
PaDeviceIndex DefaultDevice(TSide side) {
    const PaHostApiIndex jack = Pa_HostApiTypeIdToHostApiIndex(paJACK);
    if (jack >= 0) {
        const PaHostApiInfo* info = Pa_GetHostApiInfo(jack);
        if (info && info->deviceCount > 0) {
            const PaDeviceIndex device =
                side == TSide::Input ? info->defaultInputDevice : info->defaultOutputDevice;
            if (device != paNoDevice)
                return device;
        }
    }
    return side == TSide::Input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
}

// JACK works in float: convert exactly ourselves. Integer devices (ALSA) take the PCM as it is.
TWaveStream::TSamples NativeSamples(PaDeviceIndex device) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    const PaHostApiInfo* api = info ? Pa_GetHostApiInfo(info->hostApi) : nullptr;
    return api && api->type == paJACK ? TWaveStream::TSamples::Float : TWaveStream::TSamples::Pcm;
}

PaStreamParameters StreamParameters(PaDeviceIndex device, const TWaveFormat& format) {
    PaStreamParameters parameters{};
    parameters.device = device;
    parameters.channelCount = format.Channels;
    if (NativeSamples(device) == TWaveStream::TSamples::Float)
        parameters.sampleFormat = paFloat32;
    else
        parameters.sampleFormat = format.BitsPerSample == 8 ? paUInt8 : paInt16;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    parameters.suggestedLatency = info->defaultHighInputLatency > info->defaultHighOutputLatency
                                      ? info->defaultHighInputLatency
                                      : info->defaultHighOutputLatency;
    return parameters;
}

bool Supported(TSide side, PaDeviceIndex device, const TWaveFormat& format) {
    if (device == paNoDevice || !IsPcmFormat(format))
        return false;
    const PaStreamParameters parameters = StreamParameters(device, format);
    return Pa_IsFormatSupported(side == TSide::Input ? &parameters : nullptr,
                                side == TSide::Output ? &parameters : nullptr,
                                format.SamplesPerSec) == paFormatIsSupported;
}

// Set once any stream has died under us; PortAudio cannot be terminated after that.
bool StreamLost = false;

class TPortAudioDriver final : public TWaveDriver {
public:
    explicit TPortAudioDriver(TWaveStream& stream) : Stream(stream) {}
    ~TPortAudioDriver() override {
        if (Handle && !Died())
            Pa_CloseStream(Handle);
    }

    bool Open(TSide side, PaDeviceIndex device, const TWaveFormat& format) {
        const PaStreamParameters parameters = StreamParameters(device, format);
        if (Pa_OpenStream(&Handle, side == TSide::Input ? &parameters : nullptr,
                          side == TSide::Output ? &parameters : nullptr, format.SamplesPerSec,
                          paFramesPerBufferUnspecified, paClipOff | paDitherOff,
                          side == TSide::Input ? &CaptureCallback : &PlayCallback,
                          this) != paNoError)
            return false;
        Pa_SetStreamFinishedCallback(Handle, &StreamFinished);
        return true;
    }

    TWaveResult StartFlow() override {
        if (Died())
            return WaveErrorNoDriver;
        if (Flowing)
            return WaveNoError;
        Expected = true;
        if (Pa_StartStream(Handle) != paNoError) {
            Expected = false;
            return WaveErrorNoDriver;
        }
        Flowing = true;
        return WaveNoError;
    }

    void StopFlow() override {
        // Only a stream we did not stop ourselves has failed.
        Expected = false;
        // Abort returns once the callback has finished for good.
        if (Flowing && !Died())
            Pa_AbortStream(Handle);
        Flowing = false;
    }

    TWaveResult QueueResult() const override { return Died() ? WaveErrorNoDriver : WaveNoError; }
    TWaveResult Health() const override { return QueueResult(); }

private:
    // A started stream that stopped on its own lost its device: a JACK server that went away.
    // PortAudio then waits forever in abort, close and terminate for a callback that never
    // comes, so such a stream is never touched again.
    bool Died() const {
        if (!Lost && Flowing && Pa_IsStreamActive(Handle) == 0)
            Lost = StreamLost = true;
        return Lost;
    }

    static int CaptureCallback(const void* input, void*, unsigned long frames,
                               const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags,
                               void* driver) {
        TWaveStream& stream = static_cast<TPortAudioDriver*>(driver)->Stream;
        if (flags & paInputOverflow)
            stream.HostOverflow();
        stream.Capture(input, frames);
        return paContinue;
    }

    static int PlayCallback(const void*, void* output, unsigned long frames,
                            const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags flags,
                            void* driver) {
        TWaveStream& stream = static_cast<TPortAudioDriver*>(driver)->Stream;
        if (flags & paOutputUnderflow)
            stream.HostUnderflow();
        stream.Play(output, frames);
        return paContinue;
    }

    // The stream went inactive: after our own stop, or because the host stopped it (a device
    // unplugged, a host error). Runs on PortAudio's thread, so it only reports.
    static void StreamFinished(void* driver) {
        auto* self = static_cast<TPortAudioDriver*>(driver);
        if (self->Expected.load())
            self->Stream.ReportFault(WaveErrorNoDriver);
    }

    TWaveStream& Stream;
    PaStream* Handle = nullptr;
    bool Flowing = false;
    // Whether the stream should be running; read by PortAudio's thread.
    std::atomic<bool> Expected{false};
    mutable bool Lost = false;
};

template <class TDevice>
TWaveResult OpenStream(TSide side, std::unique_ptr<TDevice>& device, const TWaveFormat& format,
                       TWaveStream::TDelivery delivery) {
    const PaDeviceIndex index = DefaultDevice(side);
    if (index == paNoDevice)
        return WaveErrorNoDriver;
    if (!Supported(side, index, format))
        return WaveErrorBadFormat;
    auto stream = std::make_unique<TWaveStream>(
        side == TSide::Input ? TWaveStream::TDirection::Input : TWaveStream::TDirection::Output,
        format, NativeSamples(index), std::move(delivery));
    stream->SetDryStartFrames(format.SamplesPerSec / DryStartDivisor);
    auto driver = std::make_unique<TPortAudioDriver>(*stream);
    if (!driver->Open(side, index, format))
        return WaveErrorAllocated;
    if (const TWaveResult result = stream->Attach(std::move(driver)))
        return result;
    device = std::move(stream);
    return WaveNoError;
}

} // namespace

TPortAudioDeviceFactory::TPortAudioDeviceFactory() {
    // Must precede Pa_Initialize, which opens the JACK client.
    PaJack_SetClientName(JackClientName);
    Initialized = Pa_Initialize() == paNoError;
}

TPortAudioDeviceFactory::~TPortAudioDeviceFactory() {
    if (Initialized && !StreamLost)
        Pa_Terminate();
}

int TPortAudioDeviceFactory::InputDeviceCount() {
    return Initialized && DefaultDevice(TSide::Input) != paNoDevice ? 1 : 0;
}

uint32_t TPortAudioDeviceFactory::InputFormats(int device) {
    if (!Initialized || device != 0)
        return 0;
    const PaDeviceIndex index = DefaultDevice(TSide::Input);
    uint32_t bits = 0;
    for (int type = wf11Khz_Mono_8Bit; type < WaveTypeCount; ++type) {
        TWaveDataFormat triple{};
        WaveTypeToFormat(static_cast<TWaveTypes>(type), triple);
        TWaveFormat format{};
        TWaveReader::MakeWaveFormat(format, triple);
        if (Supported(TSide::Input, index, format))
            bits |= WaveTypeToCapsBit(static_cast<TWaveTypes>(type));
    }
    return bits;
}

TWaveResult TPortAudioDeviceFactory::OpenInput(std::unique_ptr<TWaveInDevice>& device,
                                               const TWaveFormat& format, TWaveInTarget* target) {
    if (!Initialized)
        return WaveErrorNoDriver;
    return OpenStream(TSide::Input, device, format, TWaveStream::ToTarget(target));
}

TWaveResult TPortAudioDeviceFactory::QueryOutput(const TWaveFormat& format) {
    if (!Initialized)
        return WaveErrorNoDriver;
    const PaDeviceIndex index = DefaultDevice(TSide::Output);
    if (index == paNoDevice)
        return WaveErrorNoDriver;
    return Supported(TSide::Output, index, format) ? WaveNoError : WaveErrorBadFormat;
}

TWaveResult TPortAudioDeviceFactory::OpenOutput(std::unique_ptr<TWaveOutDevice>& device,
                                                const TWaveFormat& format, TWaveOutProc callback,
                                                uintptr_t instance) {
    if (!Initialized)
        return WaveErrorNoDriver;
    return OpenStream(TSide::Output, device, format, TWaveStream::ToCallback(callback, instance));
}
