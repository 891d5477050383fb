#include "audio/devices/frameclock.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

namespace {

constexpr uint64_t Wrap = uint64_t(1) << 32;

struct TFrameClockCase {
    const char* Name;
    // Readings of the 32-bit device clock, in order, and the count each one gives.
    std::vector<uint32_t> Readings;
    std::vector<uint64_t> Expected;
};

const TFrameClockCase FrameClockCases[] = {
    {"Plain", {1000, 1256, 1512, 2048}, {1000, 1256, 1512, 2048}},
    {"AcrossTheWrap",
     {uint32_t(Wrap - 512), uint32_t(Wrap - 256), 0, 256},
     {Wrap - 512, Wrap - 256, Wrap, Wrap + 256}},
    // A skipped stretch of cycles that straddles the wrap is one step like any other.
    {"JumpAcrossTheWrap",
     {uint32_t(Wrap - 300), 4700, 4956},
     {Wrap - 300, Wrap + 4700, Wrap + 4956}},
    {"SecondWrap",
     {uint32_t(Wrap - 1), 0x80000000u, uint32_t(Wrap - 1), 1},
     {Wrap - 1, Wrap + 0x80000000u, 2 * Wrap - 1, 2 * Wrap + 1}},
};

void PrintTo(const TFrameClockCase& row, std::ostream* stream) {
    *stream << row.Name;
}

class FrameClockTest : public testing::TestWithParam<TFrameClockCase> {};

TEST_P(FrameClockTest, CountsOnAcrossTheWrap) {
    const TFrameClockCase& row = GetParam();
    ASSERT_EQ(row.Readings.size(), row.Expected.size());
    TFrameClock clock;
    for (size_t index = 0; index < row.Readings.size(); ++index)
        EXPECT_EQ(clock.Extend(row.Readings[index]), row.Expected[index]) << "reading " << index;
}

INSTANTIATE_TEST_SUITE_P(Readings, FrameClockTest, testing::ValuesIn(FrameClockCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace
