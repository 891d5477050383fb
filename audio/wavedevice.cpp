#include "audio/wavedevice.h"

#include "audio/systemdevice.h"

#include <utility>

namespace {

TWaveDeviceFactory* Installed = nullptr;

} // namespace

TWaveDeviceFactory& WaveDeviceFactory() {
    return Installed ? *Installed : SystemDeviceFactory();
}

TWaveDeviceFactory* SetWaveDeviceFactory(TWaveDeviceFactory* factory) {
    return std::exchange(Installed, factory);
}
