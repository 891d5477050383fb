#include "audio/devices/streamclock.h"

#include <algorithm>
#include <cmath>

namespace {

// A jump smaller than this is jitter whatever the period.
constexpr double MinJumpFrames = 32.0;
// How fast the offset follows a drift between the card's clock and the host's: a fraction of
// each period's deviation, enough for any real clock and for the pulse plug-in's estimates.
constexpr double DriftFollowing = 1.0 / 16.0;

} // namespace

TStreamClock::TStep TStreamClock::Advance(uint32_t frames, double frameStamp, double now) {
    Period = std::max(Period, frames);
    TStep step;
    step.Stamped = frameStamp > 0.0 && now > 0.0 && std::isfinite(frameStamp) && std::isfinite(now);
    if (step.Stamped) {
        const double offset = frameStamp * Rate - double(Next);
        if (!HasBase) {
            Base = offset;
            HasBase = true;
        }
        const double deviation = offset - Base;
        const double limit = std::max(double(Period) / 2.0, MinJumpFrames);
        if (std::abs(deviation) < limit) {
            Jumping = false;
            Base += deviation * DriftFollowing;
        } else if (!Jumping || (deviation > 0.0) != (JumpLeast > 0.0)) {
            Jumping = true;
            JumpSince = now;
            JumpLeast = deviation;
            JumpMost = deviation;
            JumpPeriods = 0;
        } else {
            ++JumpPeriods;
            if (std::abs(deviation) < std::abs(JumpLeast))
                JumpLeast = deviation;
            JumpMost = std::abs(deviation) > std::abs(JumpMost) ? deviation : JumpMost;
            if ((now - JumpSince) * Rate >= double(ConfirmPeriods) * Period) {
                Jumping = false;
                // Jitter errs on the late side: an output counts the least the jump has been,
                // never more than the host skipped, and an input the most, so that what it
                // captured after is never due early; what is left over is drift to follow. A
                // stamp that fell back for good skipped nothing: it becomes the new offset.
                if (JumpLeast > 0.0) {
                    step.Skipped = uint64_t(Watch == TWatch::RunAhead ? std::ceil(JumpMost)
                                                                      : std::floor(JumpLeast));
                    step.PeriodsSinceJump = JumpPeriods;
                    Next += step.Skipped;
                } else {
                    Base += JumpLeast;
                }
            }
        }
    }
    step.Time = Next;
    if (Jumping && JumpLeast > 0.0 && Watch == TWatch::RunAhead)
        step.Time += uint64_t(std::ceil(JumpMost));
    Next += frames;
    return step;
}
