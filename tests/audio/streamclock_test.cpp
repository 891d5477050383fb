#include "audio/devices/streamclock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <ostream>
#include <string>

namespace {

constexpr uint32_t Rate = 48000;
constexpr uint32_t Period = 512;
// Where a host's stamps begin, and how long after its first frame's stamp it calls.
constexpr double StartSeconds = 1000.0;
constexpr double CallLagFrames = 1500.0;
constexpr double JitterFrames = 2.0;

// A host's periods as the clock sees them, in frames since the first period: the stamp of
// each period's first frame, and the moment of the call.
struct THostCase {
    const char* Name;
    int Periods;
    std::function<double(int)> Stamp;
    std::function<double(int)> Now;
    // Frames the clock should skip in all, give or take the stamps' jitter, and the period the
    // host skipped them in.
    uint64_t Skipped;
    int JumpAt;
};

void PrintTo(const THostCase& row, std::ostream* stream) {
    *stream << row.Name;
}

double Steady(int period) {
    return double(period) * Period;
}

// A frame or two either way, as PipeWire's stamps wobble.
double Jitter(int period) {
    return double((period * 7) % 5) - JitterFrames;
}

const THostCase Cases[] = {
    {"steady periods with jitter", 2000, [](int n) { return Steady(n) + Jitter(n); },
     [](int n) { return Steady(n) + CallLagFrames + 300.0 * std::abs(Jitter(n)); }, 0, 0},
    {"a quantum skipped without a word", 400,
     [](int n) { return Steady(n) + Jitter(n) + (n >= 150 ? 512.0 : 0.0); },
     [](int n) { return Steady(n) + (n >= 150 ? 512.0 : 0.0) + CallLagFrames; }, 512, 150},
    {"a stall of the server, uneven", 400,
     [](int n) { return Steady(n) + (n >= 90 ? 3802.0 : 0.0); },
     [](int n) { return Steady(n) + (n >= 90 ? 3802.0 : 0.0) + CallLagFrames; }, 3802, 90},
    // Three catch-up calls a millisecond apart whose stamps ran a quantum ahead, then back.
    {"a late call's wobble that comes back", 400,
     [](int n) { return Steady(n) + (n >= 200 && n < 203 ? 512.0 : 0.0); },
     [](int n) {
         return n >= 200 && n < 203 ? Steady(200) + CallLagFrames + 1300.0 + 20.0 * (n - 200)
                                    : Steady(n) + CallLagFrames;
     },
     0, 0},
    {"a jump below half a period", 400, [](int n) { return Steady(n) + (n >= 100 ? 200.0 : 0.0); },
     [](int n) { return Steady(n) + CallLagFrames; }, 0, 0},
    {"a card 100 ppm slower than the host for ten minutes", int(600 * Rate / Period),
     [](int n) { return Steady(n) * 1.0001; },
     [](int n) { return Steady(n) * 1.0001 + CallLagFrames; }, 0, 0},
    // Fell back for good: nothing skipped, and a later skip is measured from there.
    {"stamps that fall back, then a skip", 600,
     [](int n) { return Steady(n) - (n >= 100 ? 800.0 : 0.0) + (n >= 300 ? 512.0 : 0.0); },
     [](int n) { return Steady(n) + CallLagFrames; }, 512, 300},
    {"a device that keeps no stamps", 400, [](int) { return -StartSeconds * Rate; },
     [](int) { return -StartSeconds * Rate; }, 0, 0},
};

class StreamClockTest : public testing::TestWithParam<THostCase> {};

// Holding, the time moves on only once a skip counts; running ahead, it is never behind the
// frames the host really took, from the period it skipped them in.
TEST_P(StreamClockTest, CountsWhatTheHostSkippedAndNothingElse) {
    const THostCase& row = GetParam();
    for (const TStreamClock::TWatch watch :
         {TStreamClock::TWatch::Hold, TStreamClock::TWatch::RunAhead}) {
        const bool ahead = watch == TStreamClock::TWatch::RunAhead;
        const std::string name = std::string(row.Name) + (ahead ? ", running ahead" : "");
        TStreamClock clock(Rate, watch);
        uint64_t skipped = 0;
        int skips = 0;
        for (int period = 0; period < row.Periods; ++period) {
            const TStreamClock::TStep step =
                clock.Advance(Period, StartSeconds + row.Stamp(period) / Rate,
                              StartSeconds + row.Now(period) / Rate);
            if (step.Skipped > 0) {
                ++skips;
                // Found once the jump has lasted, and traced back to where it began.
                EXPECT_GE(period, row.JumpAt + int(TStreamClock::ConfirmPeriods)) << name;
                EXPECT_LE(period, row.JumpAt + 2 * int(TStreamClock::ConfirmPeriods)) << name;
                EXPECT_EQ(period - int(step.PeriodsSinceJump), row.JumpAt) << name;
            }
            skipped += step.Skipped;
            const uint64_t counted = uint64_t(period) * Period + skipped;
            if (!ahead) {
                ASSERT_EQ(step.Time, counted) << name << ", period " << period;
            } else {
                const double taken = double(period) * Period +
                                     (row.Skipped > 0 && period >= row.JumpAt ? row.Skipped : 0);
                ASSERT_GE(double(step.Time), taken - JitterFrames) << name << ", period " << period;
                ASSERT_GE(step.Time, counted) << name << ", period " << period;
            }
        }
        // Jitter errs late: an output's count toward less, an input's toward more.
        EXPECT_NEAR(double(skipped), double(row.Skipped), 2 * JitterFrames) << name;
        EXPECT_LE(skips, 1) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Hosts, StreamClockTest, testing::ValuesIn(Cases), [](const auto& info) {
    std::string name;
    for (const char* c = info.param.Name; *c; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c)))
            name += *c;
    return name;
});

} // namespace
