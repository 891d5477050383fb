#include "audio/portaudiodevice.h"

#include "audio/waveread.h"
#include "audio/wavestream.h"

#include <atomic>
#include <portaudio.h>

namespace {

enum class TSide { Input, Output };

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

bool Supported(TSide side, PaDeviceIndex device, const TWaveFormat& format) {
    if (device == paNoDevice || !IsPcmFormat(format))
        return false;
    const PaStreamParameters parameters = StreamParameters(device, format);
    return Pa_IsFormatSupported(side == TSide::Input ? &parameters : nullptr,
                                side == TSide::Output ? &parameters : nullptr,
                                format.SamplesPerSec) == paFormatIsSupported;
}

// Main thread only: streams open now, and whether one was lost since PortAudio started.
int OpenStreams = 0;
bool StreamLost = false;

class TPortAudioDriver final : public TWaveDriver {
public:
    explicit TPortAudioDriver(TWaveStream& stream) : Stream(stream) { ++OpenStreams; }
    ~TPortAudioDriver() override {
        if (Handle) {
            StopFlow();
            Pa_CloseStream(Handle);
        }
        --OpenStreams;
    }

    bool Open(TSide side, PaDeviceIndex device, const TWaveFormat& format) {
        const PaStreamParameters parameters = StreamParameters(device, format);
        if (Pa_OpenStream(&Handle, side == TSide::Input ? &parameters : nullptr,
                          side == TSide::Output ? &parameters : nullptr, format.SamplesPerSec,
                          paFramesPerBufferUnspecified, paClipOff | paDitherOff,
                          side == TSide::Input ? &CaptureCallback : &PlayCallback,
                          this) != paNoError) {
            Handle = nullptr;
            return false;
        }
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
        if (Flowing)
            Pa_AbortStream(Handle);
        Flowing = false;
    }

    TWaveResult QueueResult() const override { return Died() ? WaveErrorNoDriver : WaveNoError; }
    TWaveResult Health() const override { return QueueResult(); }

private:
    // A started stream that stopped on its own lost its device.
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
    return OpenRealDevice(device,
                          side == TSide::Input ? TWaveStream::TDirection::Input
                                               : TWaveStream::TDirection::Output,
                          format, TWaveStream::TSamples::Pcm, std::move(delivery),
                          [&](TWaveStream& stream) -> std::unique_ptr<TWaveDriver> {
                              auto driver = std::make_unique<TPortAudioDriver>(stream);
                              if (!driver->Open(side, index, format))
                                  return nullptr;
                              return driver;
                          });
}

} // namespace

TPortAudioDeviceFactory::~TPortAudioDeviceFactory() {
    if (Initialized)
        Pa_Terminate();
}

bool TPortAudioDeviceFactory::Ready() {
    // PortAudio lists the devices once, as it starts: start it again to find a lost one back.
    if (Initialized && StreamLost && OpenStreams == 0) {
        Pa_Terminate();
        Initialized = false;
    }
    if (!Initialized) {
        Initialized = Pa_Initialize() == paNoError;
        StreamLost = false;
    }
    return Initialized;
}

int TPortAudioDeviceFactory::InputDeviceCount() {
    return Ready() && DefaultDevice(TSide::Input) != paNoDevice ? 1 : 0;
}

uint32_t TPortAudioDeviceFactory::InputFormats(int device) {
    if (!Ready() || device != 0)
        return 0;
    const PaDeviceIndex index = DefaultDevice(TSide::Input);
    return FormatCapabilities(
        [index](const TWaveFormat& format) { return Supported(TSide::Input, index, format); });
}

TWaveResult TPortAudioDeviceFactory::OpenInput(std::unique_ptr<TWaveInDevice>& device,
                                               const TWaveFormat& format, TWaveInTarget* target) {
    if (!Ready())
        return WaveErrorNoDriver;
    return OpenStream(TSide::Input, device, format, TWaveStream::ToTarget(target));
}

TWaveResult TPortAudioDeviceFactory::QueryOutput(const TWaveFormat& format) {
    if (!Ready())
        return WaveErrorNoDriver;
    const PaDeviceIndex index = DefaultDevice(TSide::Output);
    if (index == paNoDevice)
        return WaveErrorNoDriver;
    return Supported(TSide::Output, index, format) ? WaveNoError : WaveErrorBadFormat;
}

TWaveResult TPortAudioDeviceFactory::OpenOutput(std::unique_ptr<TWaveOutDevice>& device,
                                                const TWaveFormat& format, TWaveOutProc callback,
                                                uintptr_t instance) {
    if (!Ready())
        return WaveErrorNoDriver;
    return OpenStream(TSide::Output, device, format, TWaveStream::ToCallback(callback, instance));
}
