#include "audio/wavedevice.h"

#include "audio/portaudiodevice.h"

#include <utility>

namespace {

TWaveDeviceFactory* Installed = nullptr;

} // namespace

TWaveDeviceFactory& WaveDeviceFactory() {
    if (Installed)
        return *Installed;
    // Made on first use so that a process that never touches audio never starts PortAudio.
    static TPortAudioDeviceFactory portAudio;
    return portAudio;
}

TWaveDeviceFactory* SetWaveDeviceFactory(TWaveDeviceFactory* factory) {
    return std::exchange(Installed, factory);
}
