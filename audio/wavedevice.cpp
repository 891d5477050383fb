#include "audio/wavedevice.h"

#include <utility>

namespace {

// A machine without a sound device: what a process that never said where its devices are sees.
class TNoDevices final : public TWaveDeviceFactory {
public:
    int InputDeviceCount() override { return 0; }
    uint32_t InputFormats(int) override { return 0; }
    TWaveResult OpenInput(std::unique_ptr<TWaveInDevice>&, const TWaveFormat&,
                          TWaveInTarget*) override {
        return WaveErrorNoDriver;
    }
    TWaveResult QueryOutput(const TWaveFormat&) override { return WaveErrorNoDriver; }
    TWaveResult OpenOutput(std::unique_ptr<TWaveOutDevice>&, const TWaveFormat&, TWaveOutProc,
                           uintptr_t) override {
        return WaveErrorNoDriver;
    }
};

TWaveDeviceFactory* Installed = nullptr;
TWaveDeviceFactory& (*RealDevices)() = nullptr;

} // namespace

TWaveDeviceFactory& WaveDeviceFactory() {
    if (Installed)
        return *Installed;
    if (RealDevices)
        return RealDevices();
    static TNoDevices none;
    return none;
}

TWaveDeviceFactory* SetWaveDeviceFactory(TWaveDeviceFactory* factory) {
    return std::exchange(Installed, factory);
}

void SetRealWaveDevices(TWaveDeviceFactory& (*devices)()) {
    RealDevices = devices;
}
