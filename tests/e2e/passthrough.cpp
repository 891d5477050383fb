// A plain pass-through on an ALSA device, beside the program on the same server and plug-in: a
// PortAudio duplex stream opened as the program opens its own, whose callback hands each period
// of capture to playback. What the server does to every stream shows in its recording too.
//   lagvane_passthrough DEVICE RATE CHANNELS
// Prints "running" once the first period has passed, and runs until its standard input closes.

#include <portaudio.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

std::atomic<bool> Passed{false};
int Channels = 0;

int Copy(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
         PaStreamCallbackFlags, void*) {
    const size_t bytes = frames * size_t(Channels) * sizeof(int16_t);
    if (input)
        std::memcpy(output, input, bytes);
    else
        std::memset(output, 0, bytes);
    Passed.store(true, std::memory_order_release);
    return paContinue;
}

PaDeviceIndex FindAlsaDevice(const char* name) {
    const PaHostApiIndex alsa = Pa_HostApiTypeIdToHostApiIndex(paALSA);
    for (PaDeviceIndex device = 0; device < Pa_GetDeviceCount(); ++device) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
        if (info->hostApi == alsa && std::strcmp(info->name, name) == 0)
            return device;
    }
    return paNoDevice;
}

int Fail(const char* what, PaError error) {
    std::fprintf(stderr, "lagvane_passthrough: %s: %s\n", what, Pa_GetErrorText(error));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: lagvane_passthrough DEVICE RATE CHANNELS\n");
        return 2;
    }
    const double rate = std::atof(argv[2]);
    Channels = std::atoi(argv[3]);
    if (PaError error = Pa_Initialize(); error != paNoError)
        return Fail("starting PortAudio", error);
    const PaDeviceIndex device = FindAlsaDevice(argv[1]);
    if (device == paNoDevice)
        return Fail(argv[1], paInvalidDevice);
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    PaStreamParameters parameters{};
    parameters.device = device;
    parameters.channelCount = Channels;
    parameters.sampleFormat = paInt16;
    parameters.suggestedLatency =
        std::max(info->defaultHighInputLatency, info->defaultHighOutputLatency);
    PaStream* stream = nullptr;
    if (PaError error =
            Pa_OpenStream(&stream, &parameters, &parameters, rate, paFramesPerBufferUnspecified,
                          paClipOff | paDitherOff, &Copy, nullptr);
        error != paNoError)
        return Fail("opening the stream", error);
    if (PaError error = Pa_StartStream(stream); error != paNoError)
        return Fail("starting the stream", error);
    while (!Passed.load(std::memory_order_acquire))
        Pa_Sleep(5);
    std::printf("running\n");
    std::fflush(stdout);
    char ignored;
    while (read(STDIN_FILENO, &ignored, 1) > 0) {
    }
    Pa_StopStream(stream);
    Pa_CloseStream(stream);
    Pa_Terminate();
    return 0;
}
