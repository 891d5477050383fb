#include "audio/clockdrift.h"

namespace {

// Positive when c lies above the line from a to b.
double Turn(double ax, double ay, double bx, double by, double cx, double cy) {
    return (bx - ax) * (cy - ay) - (by - ay) * (cx - ax);
}

} // namespace

void TClockDrift::Add(double seconds, double apart) {
    if (Size == Capacity) {
        Hull[0] = Hull[Size - 1];
        Size = 1;
        Count = 1;
        SumSeconds = Hull[0].Seconds;
    }
    while (Size >= 2 && Turn(Hull[Size - 2].Seconds, Hull[Size - 2].Apart, Hull[Size - 1].Seconds,
                             Hull[Size - 1].Apart, seconds, apart) <= 0)
        --Size;
    Hull[Size++] = {seconds, apart};
    Count += 1;
    SumSeconds += seconds;
}

double TClockDrift::Slope() const {
    if (Size < 2)
        return 0.0;
    const double middle = SumSeconds / Count;
    size_t edge = 0;
    while (edge + 2 < Size && Hull[edge + 1].Seconds <= middle)
        ++edge;
    const TPoint& from = Hull[edge];
    const TPoint& to = Hull[edge + 1];
    return (to.Apart - from.Apart) / (to.Seconds - from.Seconds);
}
