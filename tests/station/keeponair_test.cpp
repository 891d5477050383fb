#include "tests/station/stationfixture.h"

#include <QTimer>
#include <vector>

namespace {

using KeepOnAirTest = TStationTest;

// The retry timer's second, passed by the test rather than waited for.
void RetryTick(TStation& station) {
    QMetaObject::invokeMethod(station.OffAirRetryTimer(), "timeout");
}

struct TOffAirCase {
    const char* Name;
    // The settings file besides KeepOnAir=1; Play On Start, or Play pressed once built.
    const char* Ini;
    // The device's fault before the station starts up, or during the run it started.
    void (*BeforeStart)(TVirtualWaveDevice&);
    void (*DuringRun)(TVirtualWaveDevice&);
    // The errors, then the audio layer's messages, just as without Keep On Air.
    std::vector<const char*> Told;
};

void PrintTo(const TOffAirCase& row, std::ostream* out) {
    *out << row.Name;
}

class KeepOnAirOffTest : public TStationTest, public testing::WithParamInterface<TOffAirCase> {};

// The run goes off air: the station tells the operator once, as it would without Keep On Air,
// tries the devices every second without telling again, and as soon as they answer starts the
// run again as Play would: the count-down, then the input exactly one delay later.
TEST_P(KeepOnAirOffTest, WaitsForTheDevicesAndStartsAgainByItself) {
    const TOffAirCase& row = GetParam();
    WriteSettings(QByteArray("[Actions]\nKeepOnAir=1\n") + row.Ini);
    if (row.BeforeStart)
        row.BeforeStart(Device);
    TStation station([] { return OneGiB; });
    station.StartUp();
    if (row.DuringRun) {
        station.PressPlay();
        Device.Advance(2 * station.BufferFrames());
        row.DuringRun(Device);
        HandleEvents();
    }
    QStringList told;
    for (const char* text : row.Told)
        told << QString::fromUtf8(text);
    ASSERT_EQ(Errors + WaveMessages, told);
    EXPECT_TRUE(station.WaitingForDevices());
    EXPECT_TRUE(station.RunWanted());
    TRunReport report = station.RunReport();
    EXPECT_EQ(report.State, TRunState::WaitingForServer);
    EXPECT_TRUE(told.contains(report.LastMessage.Text)) << report.LastMessage.Text.toStdString();

    // Still gone: nothing starts and nothing more is told.
    RetryTick(station);
    RetryTick(station);
    EXPECT_TRUE(station.WaitingForDevices());
    EXPECT_FALSE(Device.InputStarted());
    EXPECT_EQ(Errors + WaveMessages, told);

    Device.RestoreDevice();
    Device.FailOutputOpen(false);
    Device.SetInputDeviceCount(1);
    Device.TakeOutput();
    RetryTick(station);
    EXPECT_FALSE(station.WaitingForDevices());
    EXPECT_TRUE(Device.InputStarted());
    // The saved format, even where the list was first made now.
    EXPECT_EQ(station.FormatIndex(), 2);
    report = station.RunReport();
    EXPECT_EQ(report.State, TRunState::CountingDown);
    EXPECT_EQ(report.Restarts, 1u);
    EXPECT_GE(report.OffAirSeconds, 0.0);
    // 11.025 kHz mono 16-bit: two bytes a frame.
    const int delayBytes = 2 * station.BufferFrames();
    QByteArray input(delayBytes * 3, '\0');
    for (int i = 0; i < input.size(); ++i)
        input[i] = char(i * 7 + i / 256);
    Device.FeedInput(input.constData(), size_t(input.size()));
    Device.Advance(3 * station.BufferFrames());
    const QByteArray output = Device.TakeOutput();
    ASSERT_EQ(output.size(), input.size());
    EXPECT_EQ(output.mid(delayBytes), input.left(input.size() - delayBytes));
    EXPECT_EQ(Errors + WaveMessages, told);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, KeepOnAirOffTest,
    testing::Values(
        TOffAirCase{"CardLostMidRun",
                    "[Settings]\nAudioFormat=2\n",
                    nullptr,
                    [](TVirtualWaveDevice& d) { d.LoseInput(); },
                    {"The input device stopped: it is no longer available. The run has been "
                     "stopped."}},
        TOffAirCase{"OutputMissingAtStart",
                    "PlayOnStart=1\n[Settings]\nAudioFormat=2\n",
                    [](TVirtualWaveDevice& d) { d.FailOutputOpen(true); },
                    nullptr,
                    {"Failed to open output device"}},
        TOffAirCase{"NoDeviceAtStart",
                    "PlayOnStart=1\n[Settings]\nAudioFormat=2\n",
                    [](TVirtualWaveDevice& d) { d.SetInputDeviceCount(0); },
                    nullptr,
                    // Once as the station starts up and once as Play reads the list again.
                    {"No audio format to play: the input device offers none of the formats in "
                     "the list",
                     "No Wave Device Available", "No Wave Device Available"}}),
    [](const testing::TestParamInfo<TOffAirCase>& info) { return std::string(info.param.Name); });

TEST_F(KeepOnAirTest, StopOrTurningItOffEndsTheWait) {
    WriteSettings("[Actions]\nPlayOnStart=1\nKeepOnAir=1\n");
    Device.FailOutputOpen(true);
    {
        TStation station([] { return OneGiB; });
        station.StartUp();
        ASSERT_TRUE(station.WaitingForDevices());
        EXPECT_EQ(station.Stop().Error, QString());
        EXPECT_FALSE(station.WaitingForDevices());
        EXPECT_FALSE(station.RunWanted());
        EXPECT_EQ(station.RunReport().State, TRunState::Stopped);
    }
    TStation again([] { return OneGiB; });
    again.StartUp();
    ASSERT_TRUE(again.WaitingForDevices());
    again.SetKeepOnAir(false);
    EXPECT_FALSE(again.WaitingForDevices());
    EXPECT_FALSE(again.RunWanted());
}

} // namespace
