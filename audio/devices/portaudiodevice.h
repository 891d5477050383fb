#pragma once

#include "audio/wavedevice.h"

// PortAudio's default input and output: ALSA's default device, which reaches PulseAudio and
// PipeWire too. PortAudio starts on first use, and starts afresh once a stream was lost and
// none is open, so that a device that comes back is found again.
class TPortAudioDeviceFactory : public TWaveDeviceFactory {
public:
    ~TPortAudioDeviceFactory() override;

    int InputDeviceCount() override;
    uint32_t InputFormats(int device) override;
    TWaveResult OpenInput(std::unique_ptr<TWaveInDevice>& device, const TWaveFormat& format,
                          TWaveInTarget* target) override;
    TWaveResult QueryOutput(const TWaveFormat& format) override;
    TWaveResult OpenOutput(std::unique_ptr<TWaveOutDevice>& device, const TWaveFormat& format,
                           TWaveOutProc callback, uintptr_t instance) override;

private:
    bool Ready();

    // A start or shut-down of PortAudio overran its deadline.
    bool Unsettled = false;
};
