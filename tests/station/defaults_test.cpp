#include "tests/station/stationfixture.h"

#include <cmath>

namespace {

constexpr double TenthSecond = 0.1 / 3600;

// The settings file read at start-up, whatever it holds: what it sets, what it keeps, and a run
// started exactly when it asks for one.
struct LoadCase {
    const char* name;
    const char* ini;
    double hours;
    int formatIndex;
    bool playOnStart;
    double dumpSeconds = 0.0;
    double buildUpPercent = 3.0;
    bool buildUpAtStart = false;
    bool keepOnAir = false;
    double exitPercent = 3.0;
    double coughMaxSeconds = 10.0;
};

void PrintTo(const LoadCase& c, std::ostream* out) {
    *out << c.name;
}

class LoadDefaultsTest : public TStationTest, public testing::WithParamInterface<LoadCase> {};

TEST_P(LoadDefaultsTest, SetsWhatTheFileHoldsAndKeepsTheRest) {
    const LoadCase& c = GetParam();
    if (c.ini)
        WriteSettings(c.ini);
    TStation station([] { return OneGiB; });
    station.StartUp();
    EXPECT_NEAR(station.DelayHours(), c.hours, 1e-12);
    EXPECT_EQ(station.FormatIndex(), c.formatIndex);
    EXPECT_EQ(station.PlayOnStart(), c.playOnStart);
    EXPECT_EQ(station.RunWanted(), c.playOnStart);
    EXPECT_EQ(Device.InputStarted(), c.playOnStart);
    EXPECT_EQ(station.DumpSeconds, c.dumpSeconds);
    EXPECT_EQ(station.BuildUpPercent, c.buildUpPercent);
    EXPECT_EQ(station.BuildUpAtStart(), c.buildUpAtStart);
    EXPECT_EQ(station.KeepOnAir(), c.keepOnAir);
    EXPECT_EQ(station.ExitPercent, c.exitPercent);
    EXPECT_EQ(station.CoughMaxSeconds, c.coughMaxSeconds);
    EXPECT_TRUE(Errors.isEmpty());
}

// Limit of 11.025 kHz mono 8-bit with 1 GiB available, cut to whole tenths of a second.
const double Mono8Limit = std::trunc(536870912.0 / 44100 * 10) / 10 / 3600;

INSTANTIATE_TEST_SUITE_P(
    Files, LoadDefaultsTest,
    testing::Values(
        LoadCase{"NoFile", nullptr, TenthSecond, 0, false},
        LoadCase{"EmptyFile", "", TenthSecond, 0, false},
        LoadCase{"Complete", "[Actions]\nPlayOnStart=0\n[Settings]\nDelayTime=90\nAudioFormat=3\n",
                 0.025, 3, false},
        LoadCase{"HexIntegers", "[Actions]\nPlayOnStart=0x1\n[Settings]\nAudioFormat=0x4\n",
                 TenthSecond, 4, true},
        LoadCase{"Garbage",
                 "[Actions]\nPlayOnStart=yes\n[Settings]\nDelayTime=ninety\n"
                 "AudioFormat=three\n",
                 TenthSecond, 0, false},
        LoadCase{"NamesInAnyCase", "[actions]\nplayonstart=1\n[SETTINGS]\nAUDIOFORMAT=2\n",
                 TenthSecond, 2, true},
        LoadCase{"FirstKeyWins", "[Settings]\nDelayTime=90\nDelayTime=7\n", 0.025, 0, false},
        LoadCase{"BetweenTenths", "[Settings]\nDelayTime=2.59\n", 2.5 / 3600, 0, false},
        LoadCase{"BelowMinimum", "[Settings]\nDelayTime=0.01\n", TenthSecond, 0, false},
        LoadCase{"AboveMemoryLimit", "[Settings]\nDelayTime=1e9\n", Mono8Limit, 0, false},
        LoadCase{"NegativeDelay", "[Settings]\nDelayTime=-5\n", TenthSecond, 0, false},
        LoadCase{"FormatBeyondList", "[Settings]\nAudioFormat=16\n", TenthSecond, 0, false},
        LoadCase{"NoFormatSelected", "[Settings]\nAudioFormat=-1\n", TenthSecond, 0, false},
        LoadCase{"DumpSettings",
                 "[Dump]\nSeconds=2.5\nBuildUpPercent=5\nBuildUpAtStart=1\nExitPercent=7\n"
                 "CoughMaxSeconds=4\n",
                 TenthSecond, 0, false, 2.5, 5.0, true, false, 7.0, 4.0},
        LoadCase{"DumpSettingsOutOfRange",
                 "[Dump]\nSeconds=-3\nBuildUpPercent=12\nExitPercent=0.5\nCoughMaxSeconds=600\n",
                 TenthSecond, 0, false, 0.0, 3.0, false},
        LoadCase{"BuildUpTooSlight", "[Dump]\nBuildUpPercent=0.5\n", TenthSecond, 0, false},
        LoadCase{"KeepOnAir", "[Actions]\nKeepOnAir=1\n", TenthSecond, 0, false, 0.0, 3.0, false,
                 true}),
    [](const testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

} // namespace
