#pragma once

#include <cstdint>

// A device's 32-bit frame clock as one 64-bit count. JACK's wraps after 2^32 frames (about a
// day at 48 kHz); a player waiting for a due frame past the wrap would wait another day. The
// count moves by each step's unsigned 32-bit difference, so it never wraps and never goes back,
// and a step across the wrap counts like any other. Raw 32-bit times are never compared.
//
// Owned by the one thread that reads the device clock (the audio side); not thread-safe.
class TFrameClock {
public:
    // The 64-bit count of time, a later reading of the device clock than the last one fed
    // (less than 2^32 frames later). The first reading starts the count at its own value, so
    // that before the first wrap the count is the device's time itself.
    uint64_t Extend(uint32_t time) {
        Count = Started ? Count + uint32_t(time - Last) : time;
        Last = time;
        Started = true;
        return Count;
    }

private:
    uint64_t Count = 0;
    uint32_t Last = 0;
    bool Started = false;
};
