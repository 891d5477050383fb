#pragma once

#include <array>
#include <cstddef>

// The drift between two clocks, from how far apart they read once a second. Each reading is
// the least seen in its second, late by however long the reader waited and never early, so
// the truth is the line beneath every reading: the lower hull, and of it the edge under the
// middle of the run, the line that lies closest to the readings without rising above any.
// A plain fit would tilt with every second whose reading came a period late. Needs no memory
// beyond its own: safe on the audio side.
class TClockDrift {
public:
    // seconds from any fixed start, increasing; apart in frames.
    void Add(double seconds, double apart);
    bool Known() const { return Size >= 2; }
    // Frames per second the second clock gains on the first.
    double Slope() const;

private:
    struct TPoint {
        double Seconds;
        double Apart;
    };
    // A run whose drift keeps changing bends the hull; once full it starts again from the
    // readings since, which also lets the estimate follow a drift that changed.
    static constexpr size_t Capacity = 256;
    std::array<TPoint, Capacity> Hull{};
    size_t Size = 0;
    double Count = 0;
    double SumSeconds = 0;
};
