#include "audio/devices/sequencerinput.h"

#include "audio/devices/jackdevice.h"
#include "support/log.h"

#include <alsa/asoundlib.h>

#include <memory>
#include <poll.h>
#include <string>
#include <vector>

namespace {

// How long a stop waits at most for the reader to see it.
constexpr int PollMs = 200;
// The longest message the decoder writes out: a note or a controller takes three.
constexpr size_t DecodedBytes = 16;

void LogFailure(const std::string& what, int error) {
    Log("MIDI: " + what + ": " + snd_strerror(error), TLogLevel::Warning);
}

} // namespace

TSequencerInput::TSequencerInput(THandler handler)
    : Handler(std::move(handler)), Reader([this] { Run(); }) {}

TSequencerInput::~TSequencerInput() {
    Stopping.store(true);
    Reader.join();
}

void TSequencerInput::Run() {
    snd_seq_t* opened = nullptr;
    if (const int error = snd_seq_open(&opened, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
        error < 0) {
        LogFailure("no ALSA sequencer to take the desk's controls", error);
        return;
    }
    const std::unique_ptr<snd_seq_t, int (*)(snd_seq_t*)> sequencer(opened, &snd_seq_close);
    const std::string name = JackClientNameRequested();
    snd_seq_set_client_name(sequencer.get(), name.c_str());
    if (const int port = snd_seq_create_simple_port(
            sequencer.get(), "control", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        port < 0) {
        LogFailure("could not create the sequencer port " + name + ":control", port);
        return;
    }
    snd_midi_event_t* made = nullptr;
    if (const int error = snd_midi_event_new(DecodedBytes, &made); error < 0) {
        LogFailure("no MIDI decoder", error);
        return;
    }
    const std::unique_ptr<snd_midi_event_t, void (*)(snd_midi_event_t*)> decoder(
        made, &snd_midi_event_free);
    // Every message with its status byte, so that each parses on its own.
    snd_midi_event_no_status(decoder.get(), 1);
    std::vector<pollfd> descriptors(
        size_t(snd_seq_poll_descriptors_count(sequencer.get(), POLLIN)));
    snd_seq_poll_descriptors(sequencer.get(), descriptors.data(), unsigned(descriptors.size()),
                             POLLIN);
    Log("MIDI: the desk's controls reach the sequencer port " + name + ":control");
    while (!Stopping.load()) {
        if (poll(descriptors.data(), descriptors.size(), PollMs) <= 0)
            continue;
        // A flood never holds a stop up: each message read checks for it.
        while (!Stopping.load()) {
            snd_seq_event_t* event = nullptr;
            const int left = snd_seq_event_input(sequencer.get(), &event);
            // Messages lost to a full input queue: what follows is still worth reading.
            if (left == -ENOSPC)
                continue;
            if (left < 0)
                break;
            uint8_t bytes[DecodedBytes];
            const long size = snd_midi_event_decode(decoder.get(), bytes, sizeof bytes, event);
            if (size <= 0)
                continue;
            if (const std::optional<TMidiControl> control = ParseMidiControl(bytes, size_t(size)))
                Handler(*control);
        }
    }
}
