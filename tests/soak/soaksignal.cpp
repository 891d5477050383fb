#include "tests/soak/soaksignal.h"

#include <cstdlib>

namespace {

// An invertible 32-bit mix (xor-shifts and odd multipliers), so every frame gets its own code,
// neighbouring frames differ in about half their bits, and a code tells its frame.
uint32_t Mix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352du;
    x ^= x >> 15;
    x *= 0x846ca68bu;
    x ^= x >> 16;
    return x;
}

uint32_t Unmix(uint32_t x) {
    x ^= x >> 16;
    x *= 0x43021123u;
    x ^= x >> 15 ^ x >> 30;
    x *= 0x1d69e2a5u;
    x ^= x >> 16;
    return x;
}

// A frame whose one channel is right is a changed sample; one where both channels come from a
// frame this close is a shifted stream.
constexpr int64_t ShiftWindow = int64_t(1) << 26;

constexpr float GridScale = 32768.0f;

int16_t LeftOf(uint32_t code) {
    return int16_t(uint16_t(code));
}

int16_t RightOf(uint32_t code) {
    return int16_t(uint16_t(code >> 16));
}

uint32_t CodeOf(int16_t left, int16_t right) {
    return uint32_t(uint16_t(left)) | uint32_t(uint16_t(right)) << 16;
}

// The 16-bit step a float sample stands for; false when it is off the grid.
bool GridStep(float sample, int16_t& step) {
    const float scaled = sample * GridScale;
    if (!(scaled >= -32768.0f && scaled <= 32767.0f))
        return false;
    step = int16_t(scaled);
    return float(step) == scaled;
}

} // namespace

uint32_t SoakCode(uint64_t frame) {
    // Mix(0) is 0, silence; frame n takes the code of n + 1.
    return Mix(uint32_t(frame + 1));
}

uint64_t SoakFrameOf(uint32_t code) {
    return uint64_t(Unmix(code)) - 1;
}

void FillSoakSignal(int16_t* interleaved, uint64_t first, size_t frames) {
    for (size_t frame = 0; frame < frames; ++frame) {
        const uint32_t code = SoakCode(first + frame);
        interleaved[2 * frame] = LeftOf(code);
        interleaved[2 * frame + 1] = RightOf(code);
    }
}

void FillSoakSignal(float* left, float* right, uint64_t first, size_t frames) {
    for (size_t frame = 0; frame < frames; ++frame) {
        const uint32_t code = SoakCode(first + frame);
        left[frame] = float(LeftOf(code)) / GridScale;
        right[frame] = float(RightOf(code)) / GridScale;
    }
}

std::string DescribeSoakFault(const TSoakFault& fault) {
    std::string at = " at output frame " + std::to_string(fault.OutputFrame);
    if (fault.Frames > 1)
        at += ", " + std::to_string(fault.Frames) + " frames in a row";
    switch (fault.Kind) {
    case TSoakFaultKind::None:
        return "none";
    case TSoakFaultKind::Dropout:
        return "silence" + at;
    case TSoakFaultKind::Skip:
        return std::to_string(fault.Shift) + " frames lost" + at;
    case TSoakFaultKind::Repeat:
        return std::to_string(-fault.Shift) + " frames played again" + at;
    case TSoakFaultKind::Altered:
        return "changed samples" + at;
    case TSoakFaultKind::OffGrid:
        return "a sample off the 16-bit grid" + at;
    }
    return "unknown";
}

void TDelayChecker::Check(const int16_t* interleaved, size_t frames) {
    for (size_t frame = 0; frame < frames; ++frame)
        CheckFrame(CodeOf(interleaved[2 * frame], interleaved[2 * frame + 1]), false);
}

void TDelayChecker::Check(const float* left, const float* right, size_t frames) {
    for (size_t frame = 0; frame < frames; ++frame) {
        int16_t leftStep = 0;
        int16_t rightStep = 0;
        const bool onGrid = GridStep(left[frame], leftStep) && GridStep(right[frame], rightStep);
        CheckFrame(CodeOf(leftStep, rightStep), !onGrid);
    }
}

void TDelayChecker::CheckFrame(uint32_t code, bool offGrid) {
    const uint64_t outputFrame = Position++;
    if (!IsLocked && code == 0 && !offGrid)
        return;
    if (!IsLocked && !offGrid) {
        IsLocked = true;
        DelayFrames = int64_t(outputFrame) - int64_t(SoakFrameOf(code));
    }
    const uint32_t due = SoakCode(uint64_t(int64_t(outputFrame) - DelayFrames));
    const bool good = IsLocked && !offGrid && code == due;
    ++Checked;
    const bool continues = LastBad;
    LastBad = !good;
    if (good)
        return;
    ++Bad;
    if (continues) {
        if (IncidentCount <= KeptIncidents)
            ++Kept[IncidentCount - 1].Frames;
        return;
    }
    if (IncidentCount++ >= KeptIncidents)
        return;
    TSoakFault& fault = Kept[IncidentCount - 1];
    fault.OutputFrame = outputFrame;
    fault.Frames = 1;
    const int64_t shift = int64_t(SoakFrameOf(code)) - int64_t(SoakFrameOf(due));
    if (offGrid)
        fault.Kind = TSoakFaultKind::OffGrid;
    else if (code == 0)
        fault.Kind = TSoakFaultKind::Dropout;
    else if (LeftOf(code) == LeftOf(due) || RightOf(code) == RightOf(due) ||
             std::llabs(shift) >= ShiftWindow)
        fault.Kind = TSoakFaultKind::Altered;
    else {
        fault.Kind = shift > 0 ? TSoakFaultKind::Skip : TSoakFaultKind::Repeat;
        fault.Shift = shift;
    }
}
