#pragma once

#include "audio/devices/jackdevice.h"
#include "audio/devices/portaudiodevice.h"

// The machine's real devices: JACK's while a JACK server answers, else PortAudio's. Asked
// afresh at every call, so that a server started or stopped between runs is followed.
class TSystemDeviceFactory final : public TWaveDeviceFactory {
public:
    // Routes what the libraries print to our log before either of them says a word.
    TSystemDeviceFactory();

    TJackDeviceFactory& Jack() { return JackDevices; }

    int InputDeviceCount() override;
    uint32_t InputFormats(int device) override;
    TWaveResult OpenInput(std::unique_ptr<TWaveInDevice>& device, const TWaveFormat& format,
                          TWaveInTarget* target) override;
    TWaveResult QueryOutput(const TWaveFormat& format) override;
    TWaveResult OpenOutput(std::unique_ptr<TWaveOutDevice>& device, const TWaveFormat& format,
                           TWaveOutProc callback, uintptr_t instance) override;
    uint32_t FixedRate() override;

private:
    TWaveDeviceFactory& Current();

    TJackDeviceFactory JackDevices;
    // Never started while JACK serves, so that it opens no JACK client of its own.
    TPortAudioDeviceFactory PortAudioDevices;
};

// The one instance, made on first use so that a process that never touches audio starts
// neither JACK nor PortAudio.
TSystemDeviceFactory& SystemDeviceFactory();

// Makes the machine's real devices the process's own (SetRealWaveDevices): what the program
// does at start, and the tests that play on a real server.
void UseSystemDevices();

// JACK's devices when runs open them: no test device installed, and a JACK server answers.
TJackDeviceFactory* JackDevicesInUse();
