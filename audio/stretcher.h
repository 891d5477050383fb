#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace RubberBand {
class RubberBandStretcher;
}

// Plays a stretch of programme slower (a build-up) or faster (an exit) than real time with its
// pitch kept: Rubber Band's finer engine in its real-time mode, on its short window. The faster
// engine resets its phases on what it takes for transients, every few thousand frames even on a
// held note: it plays it 0.3 % sharp with sidebands 13 dB down. The finer one keeps it clean,
// and its short window costs a quarter of its standard one's time at the audio side. Made on the
// main thread, where it takes every byte it will ever need; the audio side then only restarts,
// feeds and takes, none of which allocates or locks.
class TStretcher {
public:
    // Frames the audio side passes in or takes out in one call at most.
    static constexpr uint32_t BlockFrames = 512;

    TStretcher(uint32_t channels, uint32_t rate, double timeRatio);
    ~TStretcher();

    // Output frames per input frame: above 1 builds the delay up, below 1 winds it down.
    double TimeRatio() const { return Ratio; }
    // Input frames beyond the point it restarted at that it wants before its output can run
    // without a gap.
    uint32_t Lookahead() const { return LookaheadFrames; }

    // Audio side. Starts afresh, and returns how many frames of lead-in it takes: the
    // programme just before the frame it is to start at. What it plays next begins with the
    // frame fed after them.
    uint32_t Restart();
    // Input frames it wants before it can give more output; 0 when it has output ready.
    uint32_t Wanted() const;
    // Interleaved float frames, at most BlockFrames.
    void Feed(const float* frames, uint32_t count);
    // Up to count interleaved frames (at most BlockFrames); returns how many it gave.
    uint32_t Take(float* frames, uint32_t count);

private:
    void Process(uint32_t count);

    const uint32_t Channels;
    const double Ratio;
    std::unique_ptr<RubberBand::RubberBandStretcher> Engine;
    // One row per channel, as the engine takes and gives samples.
    std::vector<std::vector<float>> Rows;
    std::vector<float*> RowPointers;
    uint32_t LookaheadFrames = 0;
    // Output still to be thrown away after a restart: the engine's own delay.
    uint32_t DiscardLeft = 0;
};
