#pragma once

// What a desk's MIDI control says: a note or a controller on a channel, on or off. The JACK
// process callback parses with this, so it never allocates or locks.

#include <cstddef>
#include <cstdint>
#include <optional>

struct TMidiControl {
    enum class TKind : uint8_t { Note, Controller };
    TKind Kind = TKind::Note;
    // 0 to 15, as on the wire.
    uint8_t Channel = 0;
    uint8_t Number = 0;
    // A note on with a velocity, or a controller at 64 or more: a switch's own threshold.
    bool On = false;
};

constexpr uint8_t MidiControllerOn = 64;

// A message of raw bytes as JACK delivers it, one complete message each; nothing for any
// other kind of message or a malformed one.
constexpr std::optional<TMidiControl> ParseMidiControl(const uint8_t* data, size_t size) {
    if (size != 3 || (data[1] | data[2]) & 0x80)
        return std::nullopt;
    const uint8_t kind = data[0] & 0xF0, channel = data[0] & 0x0F;
    switch (kind) {
    case 0x80:
        return TMidiControl{TMidiControl::TKind::Note, channel, data[1], false};
    case 0x90:
        // Velocity 0 is how most keyboards send a note off.
        return TMidiControl{TMidiControl::TKind::Note, channel, data[1], data[2] > 0};
    case 0xB0:
        return TMidiControl{TMidiControl::TKind::Controller, channel, data[1],
                            data[2] >= MidiControllerOn};
    default:
        return std::nullopt;
    }
}
