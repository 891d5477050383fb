#pragma once

// The faces that press a station from afar: the remote control and its panel, the desk's MIDI
// and OSC triggers. Each runs on the settings file's sections, and a reload starts again only
// those whose settings changed, keeping the others' ports and clients.

#include "remote/remotecontrol.h"
#include "remote/triggers.h"

#include <memory>

class TStation;

class TRemoteFaces {
public:
    explicit TRemoteFaces(TStation& station);
    ~TRemoteFaces();
    TRemoteFaces(const TRemoteFaces&) = delete;
    TRemoteFaces& operator=(const TRemoteFaces&) = delete;

    // Starts the remote control the settings file asks for, in place of one already running; a
    // failure is told, not raised.
    void StartRemoteControl();
    // Likewise the desk's MIDI and OSC triggers, once the devices are known.
    void StartTriggers();

private:
    TStation& Station;
    std::unique_ptr<TRemoteControl> RemoteControl;
    std::unique_ptr<TMidiTrigger> MidiTrigger;
    std::unique_ptr<TOscTrigger> OscTrigger;
};
