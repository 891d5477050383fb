#include "audio/clockdrift.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>

namespace {

struct TClockDriftCase {
    const char* Name;
    double FramesPerSecond;
    int Seconds;
    // Which seconds' readings come late, and by up to how many frames.
    int LateFirst;
    int LateEvery;
    double MostLate;
};

void PrintTo(const TClockDriftCase& drift, std::ostream* stream) {
    *stream << drift.Name;
}

class ClockDriftTest : public testing::TestWithParam<TClockDriftCase> {};

// A reading is late whenever the second's reader never ran just after the writer: the slope
// comes from the readings that were not, however many were and wherever they fall.
TEST_P(ClockDriftTest, SlopeComesFromTheReadingsThatWereNotLate) {
    const TClockDriftCase& drift = GetParam();
    std::mt19937 random(7);
    std::uniform_real_distribution<double> late(1.0, drift.MostLate);
    TClockDrift measure;
    EXPECT_FALSE(measure.Known());
    for (int second = 0; second < drift.Seconds; ++second) {
        const bool isLate =
            second < drift.LateFirst || (drift.LateEvery > 0 && second % drift.LateEvery != 0);
        measure.Add(second, 3000.0 + std::floor(drift.FramesPerSecond * second) +
                                (isLate ? late(random) : 0.0));
    }
    ASSERT_TRUE(measure.Known());
    // A whole frame's rounding over the run is all the error left.
    EXPECT_NEAR(measure.Slope(), drift.FramesPerSecond, 2.0 / drift.Seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, ClockDriftTest,
    testing::Values(TClockDriftCase{"OnTime", 1.1025, 300, 0, 0, 0.0},
                    TClockDriftCase{"FirstSecondsAPeriodLate", -1.1025, 300, 5, 0, 256.0},
                    TClockDriftCase{"MostSecondsLate", 11.025, 120, 0, 4, 256.0},
                    TClockDriftCase{"ADayOfSecondsLateOrNot", -4.8, 86400, 0, 2, 1024.0}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
