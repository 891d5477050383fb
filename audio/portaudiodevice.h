#pragma once

#include "audio/wavedevice.h"

// The real devices: PortAudio's default input and output, those of JACK when a JACK server is
// running (our ports read Lagvane:in_0, Lagvane:out_0, ...), else the default host API's.
// Initialises PortAudio on construction and terminates it on destruction.
class TPortAudioDeviceFactory : public TWaveDeviceFactory {
public:
    TPortAudioDeviceFactory();
    ~TPortAudioDeviceFactory() override;

    int InputDeviceCount() override;
    uint32_t InputFormats(int device) override;
    TWaveResult OpenInput(std::unique_ptr<TWaveInDevice>& device, const TWaveFormat& format,
                          TWaveInTarget* target) override;
    TWaveResult QueryOutput(const TWaveFormat& format) override;
    TWaveResult OpenOutput(std::unique_ptr<TWaveOutDevice>& device, const TWaveFormat& format,
                           TWaveOutProc callback, uintptr_t instance) override;

private:
    bool Initialized = false;
};
