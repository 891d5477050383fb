#pragma once

#include "audio/wavedevice.h"

#include <memory>
#include <string>

class TJackClient;
struct TMidiControl;

// JACK, spoken to directly: one client, named "Lagvane" unless the station has another name,
// whose ports (Lagvane:in_0, in_1, out_0, out_1) the open devices register. Its MIDI input
// Lagvane:control, there from the client's start, takes the desk's notes and controllers. A started
// device connects its ports to the physical ones; every format at the server's rate is offered, 8
// and 16 bits alike, converted exactly.
//
// The client is opened when a server first answers and dropped once the server goes away:
// the devices on it stop with a fault, and the next call finds the server again when it is back.
// The name our client asks the server for; set before the first device is asked for.
void SetJackClientName(const std::string& name);
// The name set, which the ALSA sequencer's client takes as well.
const std::string& JackClientNameRequested();

class TJackDeviceFactory : public TWaveDeviceFactory {
public:
    TJackDeviceFactory();
    ~TJackDeviceFactory() override;

    // Whether a JACK server answers now; connects to it if not yet connected.
    bool Available();
    // The name the server gave our client; empty while not connected.
    std::string ClientName() const;
    // Main thread: the next note or controller that reached Lagvane:control, in the order
    // sent; false when none waits. Never waits on the server.
    bool NextControl(TMidiControl& control);

    int InputDeviceCount() override;
    uint32_t InputFormats(int device) override;
    TWaveResult OpenInput(std::unique_ptr<TWaveInDevice>& device, const TWaveFormat& format,
                          TWaveInTarget* target) override;
    TWaveResult QueryOutput(const TWaveFormat& format) override;
    TWaveResult OpenOutput(std::unique_ptr<TWaveOutDevice>& device, const TWaveFormat& format,
                           TWaveOutProc callback, uintptr_t instance) override;
    uint32_t FixedRate() override;

private:
    // Whether the connected server can take the format.
    bool Fits(const TWaveFormat& format) const;
    // Whether a device of the format opens: WaveErrorNoDriver without a server.
    TWaveResult Opens(const TWaveFormat& format);

    // Shared with the open devices, which keep a client that went away until they close.
    std::shared_ptr<TJackClient> Client;
};
