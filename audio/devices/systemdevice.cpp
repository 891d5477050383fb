#include "audio/devices/systemdevice.h"

#include "audio/devices/librarylog.h"
#include "audio/wavedevice.h"

TSystemDeviceFactory::TSystemDeviceFactory() {
    RouteLibraryMessages();
}

TWaveDeviceFactory& TSystemDeviceFactory::Current() {
    if (JackDevices.Available())
        return JackDevices;
    return PortAudioDevices;
}

int TSystemDeviceFactory::InputDeviceCount() {
    return Current().InputDeviceCount();
}

uint32_t TSystemDeviceFactory::InputFormats(int device) {
    return Current().InputFormats(device);
}

TWaveResult TSystemDeviceFactory::OpenInput(std::unique_ptr<TWaveInDevice>& device,
                                            const TWaveFormat& format, TWaveInTarget* target) {
    return Current().OpenInput(device, format, target);
}

TWaveResult TSystemDeviceFactory::QueryOutput(const TWaveFormat& format) {
    return Current().QueryOutput(format);
}

TWaveResult TSystemDeviceFactory::OpenOutput(std::unique_ptr<TWaveOutDevice>& device,
                                             const TWaveFormat& format, TWaveOutProc callback,
                                             uintptr_t instance) {
    return Current().OpenOutput(device, format, callback, instance);
}

uint32_t TSystemDeviceFactory::FixedRate() {
    return Current().FixedRate();
}

TSystemDeviceFactory& SystemDeviceFactory() {
    static TSystemDeviceFactory factory;
    return factory;
}

TJackDeviceFactory* JackDevicesInUse() {
    auto* system = dynamic_cast<TSystemDeviceFactory*>(&WaveDeviceFactory());
    return system && system->Jack().Available() ? &system->Jack() : nullptr;
}

void UseSystemDevices() {
    SetRealWaveDevices([]() -> TWaveDeviceFactory& { return SystemDeviceFactory(); });
}
