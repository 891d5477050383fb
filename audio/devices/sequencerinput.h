#pragma once

// The desk's MIDI where JACK does not serve: an ALSA sequencer client of the station's name with
// an input port "control", read on a thread of its own.

#include "audio/midicontrol.h"

#include <atomic>
#include <functional>
#include <thread>

class TSequencerInput {
public:
    // Called on the reading thread, once per note or controller, in the order sent.
    using THandler = std::function<void(const TMidiControl&)>;

    // The port opens on the thread; a machine without a sequencer is logged, not raised.
    explicit TSequencerInput(THandler handler);
    // Returns within one poll, with no call to the handler under way or to come.
    ~TSequencerInput();
    TSequencerInput(const TSequencerInput&) = delete;
    TSequencerInput& operator=(const TSequencerInput&) = delete;

private:
    void Run();

    THandler Handler;
    std::atomic<bool> Stopping{false};
    std::thread Reader;
};
