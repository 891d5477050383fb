#include "audio/cycleload.h"

#include <gtest/gtest.h>
#include <optional>
#include <vector>

namespace {

// 187.5 cycles a second: 256 frames at 48 kHz.
constexpr uint64_t CyclesPerSecond = 187;

struct TWatchCase {
    const char* Name;
    // Late cycles in each second of the run, in order.
    std::vector<uint64_t> LatePerSecond;
    // The seconds (counted from 1) on which the operator is told, with the share told.
    std::vector<std::pair<int, double>> Raised;
};

const TWatchCase WatchCases[] = {
    {"Healthy", std::vector<uint64_t>(20, 1), {}},
    // Half the cycles late from the start: told once the window is full, and only once.
    {"LateThroughout", std::vector<uint64_t>(25, 94), {{10, 100.0 * 94 / 187}}},
    // A burst that raises the share over 1 % for 10 s: 20 late cycles in 1,870.
    {"OneBurst", {0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, 0, 0, 0}, {{10, 100.0 * 20 / 1870}}},
    // 18 in 1,870: just under 1 %.
    {"JustUnder", {0, 0, 0, 0, 0, 0, 0, 0, 0, 18, 0, 0}, {}},
    // Late, good for a whole window, then late again: told again as soon as the window is over
    // 1 % once more.
    {"LateAgainAfterAGoodSpell",
     [] {
         std::vector<uint64_t> late(10, 50);
         late.resize(20, 0);
         late.resize(30, 50);
         return late;
     }(),
     {{10, 100.0 * 50 / 187}, {21, 100.0 * 50 / 1870}}},
};

void PrintTo(const TWatchCase& row, std::ostream* stream) {
    *stream << row.Name;
}

class LateCycleWatchTest : public testing::TestWithParam<TWatchCase> {};

TEST_P(LateCycleWatchTest, TellsOnceAfterTenLateSeconds) {
    const TWatchCase& row = GetParam();
    TLateCycleWatch watch;
    TCycleLoad load;
    // The first reading only starts the clock, however much the client ran before.
    load.Cycles = 5000;
    load.Late = 400;
    EXPECT_FALSE(watch.Sample(load, 0));
    std::vector<std::pair<int, double>> raised;
    for (size_t second = 0; second < row.LatePerSecond.size(); ++second) {
        const int64_t now = int64_t(second + 1) * 1000;
        // The status ticks four times a second; only a whole second answers.
        EXPECT_FALSE(watch.Sample(load, now - 750));
        load.Cycles += CyclesPerSecond;
        load.Late += row.LatePerSecond[second];
        const std::optional<TLateCycleWatch::TSecond> answer = watch.Sample(load, now);
        ASSERT_TRUE(answer) << "second " << second + 1;
        EXPECT_EQ(answer->Cycles, CyclesPerSecond);
        EXPECT_EQ(answer->Late, row.LatePerSecond[second]);
        if (answer->RaisePercent)
            raised.emplace_back(int(second + 1), *answer->RaisePercent);
    }
    ASSERT_EQ(raised.size(), row.Raised.size());
    for (size_t index = 0; index < raised.size(); ++index) {
        EXPECT_EQ(raised[index].first, row.Raised[index].first);
        EXPECT_NEAR(raised[index].second, row.Raised[index].second, 1e-9);
    }
}

INSTANTIATE_TEST_SUITE_P(Watch, LateCycleWatchTest, testing::ValuesIn(WatchCases),
                         [](const testing::TestParamInfo<TWatchCase>& row) {
                             return std::string(row.param.Name);
                         });

TEST(CycleTimerTest, KeepsTheWorstAndThePercentileOfTheCallbacksTime) {
    TCycleTimer timer;
    EXPECT_EQ(timer.Load().P999Micros, 0u);
    // Too few cycles for a thousandth of them: the worst.
    timer.Record(40, false, 5333);
    timer.Record(900, false, 5333);
    timer.Record(40, false, 5333);
    EXPECT_EQ(timer.Load().P999Micros, 900u);
    // 10,000 cycles in all: 9,984 of 40 µs, 11 of 900 µs and 5 of 20 ms, past the histogram's
    // end.
    for (int cycle = 3; cycle < 10000; ++cycle)
        timer.Record(cycle < 9985 ? 40 : cycle < 9995 ? 900 : 20000, cycle >= 9995, 5333);
    const TCycleLoad load = timer.Load();
    EXPECT_EQ(load.Cycles, 10000u);
    EXPECT_EQ(load.Late, 5u);
    EXPECT_EQ(load.WorstMicros, 20000u);
    // The ten slowest are 0.1 %: the percentile is the fastest of them.
    EXPECT_EQ(load.P999Micros, 900u);
    EXPECT_EQ(load.PeriodMicros, 5333u);
}

} // namespace
