#pragma once

// The soaks' test signal and its checker. Frame n of the signal carries a 32-bit code unique
// to n (left sample the low half, right the high half, 16-bit grid), never all silence, so the
// output can be checked frame by frame while it streams: the first sound fixes the delay, and
// from then on every frame must be the input frame exactly that many frames earlier.

#include <cstddef>
#include <cstdint>
#include <string>

// Frames before the codes repeat: over 27 hours at 44.1 kHz.
constexpr uint64_t SoakFrameLimit = 0xFFFFFFFEu;

// The code of input frame n; never 0.
uint32_t SoakCode(uint64_t frame);
// The input frame a code belongs to; the inverse of SoakCode.
uint64_t SoakFrameOf(uint32_t code);

// Frames [first, first + frames) of the signal, stereo interleaved.
void FillSoakSignal(int16_t* interleaved, uint64_t first, size_t frames);
// The same as a float-native device carries it (k / 32768), one buffer per channel.
void FillSoakSignal(float* left, float* right, uint64_t first, size_t frames);

enum class TSoakFaultKind {
    None,
    // Silence where the signal was due.
    Dropout,
    // A later input frame: frames were lost.
    Skip,
    // An earlier input frame: frames were played again.
    Repeat,
    // Nothing near the frame that was due: samples were changed.
    Altered,
    // A float sample between two steps of the 16-bit grid.
    OffGrid,
};

struct TSoakFault {
    TSoakFaultKind Kind = TSoakFaultKind::None;
    // Output frame, counted from the first frame the checker saw.
    uint64_t OutputFrame = 0;
    // Input frame found minus input frame due (Skip, Repeat).
    int64_t Shift = 0;
    // Bad frames in a row from OutputFrame on.
    uint64_t Frames = 0;
};

std::string DescribeSoakFault(const TSoakFault& fault);

// Checks an output stream against the signal. Silence may come first; the first sound fixes
// the delay, which must hold to the end. Never allocates, so it may run on an audio thread.
class TDelayChecker {
public:
    void Check(const int16_t* interleaved, size_t frames);
    void Check(const float* left, const float* right, size_t frames);

    // Whether the signal has arrived.
    bool Locked() const { return IsLocked; }
    // Output frame minus input frame, fixed by the first sound.
    int64_t Delay() const { return DelayFrames; }
    // Every output frame seen, silence before the signal included.
    uint64_t OutputFrames() const { return Position; }
    // Frames compared with the signal, from the first sound on.
    uint64_t FramesChecked() const { return Checked; }
    uint64_t BadFrames() const { return Bad; }
    // Runs of consecutive bad frames; the first KeptIncidents are kept, each named by its first
    // frame.
    static constexpr size_t KeptIncidents = 64;
    uint64_t Incidents() const { return IncidentCount; }
    const TSoakFault& Incident(size_t index) const { return Kept[index]; }
    // The first frame that was wrong; Kind None when none was.
    const TSoakFault& FirstFault() const { return Kept[0]; }

private:
    void CheckFrame(uint32_t code, bool offGrid);

    bool IsLocked = false;
    int64_t DelayFrames = 0;
    uint64_t Position = 0;
    uint64_t Checked = 0;
    uint64_t Bad = 0;
    uint64_t IncidentCount = 0;
    bool LastBad = false;
    TSoakFault Kept[KeptIncidents];
};
