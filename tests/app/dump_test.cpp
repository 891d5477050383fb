#include "appfixture.h"

#include "audio/wavelib.h"
#include "controls/degspin.h"

#include <QComboBox>
#include <QLabel>
#include <QToolButton>
#include <cmath>
#include <vector>

namespace {

constexpr int Rate = 11025;
constexpr int DelaySeconds = 3;
constexpr int Delay = DelaySeconds * Rate;
constexpr int Mono16Index = 2;
// Programme heard when the first dump is pressed, one second after the first buffer played.
constexpr double FirstPressSeconds = DelaySeconds + 1.0;

struct TDumpCase {
    const char* Name;
    double DumpSeconds;
    double BuildUpPercent;
    // When Dump is pressed, in seconds from the start of the run.
    std::vector<double> Presses;
    // Seconds dumped in all; below 0, as much as is on air less a few periods.
    double DumpedSeconds;
    // Stop the run this long after the first press; 0 lets the build-up finish.
    double StopAfter = 0.0;
    // "Build up at start": the whole delay is built up from the first frame, no press.
    bool AtStart = false;
    // Input and output on separate streams, the output starting this many frames late.
    int Cushion = 0;
    // The main thread held busy this long a second after the first press, so that the input
    // loses frames during the build-up.
    double StallSeconds = 0.0;
};

void PrintTo(const TDumpCase& c, std::ostream* out) {
    *out << c.Name;
}

// Quiet noise everywhere but in the second the first dump skips, which is loud: the output
// shows at once whether any of that second ever played.
std::vector<int16_t> Programme(int frames) {
    std::vector<int16_t> samples(size_t(frames), 0);
    uint32_t noise = 12345;
    const int loudFrom = int((FirstPressSeconds - DelaySeconds + 0.1) * Rate);
    const int loudTo = int((FirstPressSeconds - DelaySeconds + 0.9) * Rate);
    for (int frame = 0; frame < frames; ++frame) {
        noise = noise * 1664525u + 1013904223u;
        const bool loud = frame >= loudFrom && frame < loudTo;
        samples[size_t(frame)] =
            loud ? int16_t((frame / 10) % 2 ? 16000 : -16000) : int16_t(int(noise >> 21) - 1024);
    }
    return samples;
}

class DumpTest : public AppTest, public testing::WithParamInterface<TDumpCase> {};

// A dump skips ahead within the buffers with a crossfade; the output then plays stretched
// until it is exactly one delay behind the input again, and from there on bit for bit.
TEST_P(DumpTest, SkipsAheadThenBuildsTheDelayBackToExact) {
    const TDumpCase& c = GetParam();
    TMainWindow& window = MakeWindow();
    window.View().FormatCombo->setCurrentIndex(Mono16Index);
    window.View().DelayTimeSpin->SetDegrees(DelaySeconds / 3600.0);
    ASSERT_EQ(window.BufferFrames(), Delay);
    window.DumpSeconds = c.DumpSeconds;
    window.BuildUpPercent = c.BuildUpPercent;
    window.View().BuildUpAtStartAction->setChecked(c.AtStart);
    const double ratio = 1.0 + c.BuildUpPercent / 100.0;
    const double mostDumped = c.DumpedSeconds > 0 ? c.DumpedSeconds : DelaySeconds;
    // The build-up begins with the first press, or with the run.
    const double buildUpFrom = c.AtStart ? 0.0 : FirstPressSeconds;
    const double runSeconds = c.StopAfter > 0
                                  ? FirstPressSeconds + c.StopAfter
                                  : buildUpFrom + mostDumped * ratio / (ratio - 1.0) + 3;
    const std::vector<int16_t> input = Programme(int(runSeconds * Rate));
    Device.SetPeriodFrames(256);
    if (c.Cushion > 0)
        Device.SetSeparateStreams(c.Cushion);
    Device.FeedInput(input.data(), input.size() * sizeof(int16_t));
    window.View().PlayBtn->click();
    for (int tick = 0; tick < DelaySeconds; ++tick)
        window.OnCountDownTick();
    EXPECT_FALSE(window.View().DumpBtn->isEnabled());

    int64_t now = 0;
    for (double press : c.Presses) {
        Device.Advance(int64_t(press * Rate) - now);
        now = int64_t(press * Rate);
        // As the status line's timer does between buffers.
        window.ShowRunStatus();
        ASSERT_TRUE(window.View().DumpBtn->isEnabled()) << press;
        window.View().DumpBtn->click();
    }
    Device.Advance(Rate);
    now += Rate;
    window.ShowRunStatus();
    const TRunReport during = window.RunReport();
    EXPECT_TRUE(during.BuildingUp);
    EXPECT_TRUE(window.findChild<QLabel*>(QStringLiteral("OnAirStatus"))
                    ->text()
                    .contains(QStringLiteral("building up")));
    EXPECT_EQ(window.View().DumpBtn->isEnabled(), during.OnAirSeconds >= 1.0);
    if (c.StallSeconds > 0) {
        Device.Advance(int64_t(c.StallSeconds * Rate), TVirtualWaveDevice::TPump::Never);
        now += int64_t(c.StallSeconds * Rate);
        HandleEvents();
    }
    if (c.StopAfter > 0) {
        Device.Advance(int64_t(input.size()) - now);
        window.View().PlayBtn->click();
        EXPECT_FALSE(window.View().PlayBtn->isChecked());
        EXPECT_FALSE(Device.OutputOpen());
        EXPECT_FALSE(window.View().DumpBtn->isEnabled());
        EXPECT_TRUE(Errors.isEmpty()) << Errors.join(u'|').toStdString();
        return;
    }
    Device.Advance(int64_t(input.size()) - now);
    const QByteArray played = Device.TakeOutput();
    ASSERT_EQ(played.size(), int(input.size() * sizeof(int16_t)));
    const auto* output = reinterpret_cast<const int16_t*>(played.constData());
    // The first frame plays one delay late, and on separate streams up to a cushion later.
    int late = 0;
    while (late < int(input.size()) && output[late] == 0)
        ++late;
    if (!c.AtStart) {
        EXPECT_GE(late, Delay);
        EXPECT_LE(late, Delay + c.Cushion);
        late = std::max(late, Delay);
    }
    const auto exact = [&](int frame) { return output[frame] == input[size_t(frame - late)]; };

    int firstChange = late;
    if (c.AtStart) {
        // On air almost at once, long before the delay is up.
        EXPECT_LT(late, Rate / 5);
        late = Delay;
        firstChange = 0;
    } else {
        // Bit for bit up to the first press; then nothing of the loud second, ever.
        while (firstChange < int(input.size()) && exact(firstChange))
            ++firstChange;
        EXPECT_GE(firstChange, int(FirstPressSeconds * Rate));
        EXPECT_LE(firstChange, int(FirstPressSeconds * Rate) + c.Cushion + 256);
        int loudest = 0;
        for (size_t frame = size_t(firstChange); frame < input.size(); ++frame)
            loudest = std::max(loudest, std::abs(int(output[frame])));
        EXPECT_LT(loudest, 8000);
    }

    // Bit for bit again once the dumped time is built up, after the time the stretch takes.
    int lastChange = int(input.size()) - 1;
    while (lastChange > std::max(firstChange, late) && exact(lastChange))
        --lastChange;
    const double dumpedSeconds = double(PlaybackDevice()->OnAirState().DumpedFrames) / Rate;
    if (c.DumpedSeconds >= 0)
        EXPECT_NEAR(dumpedSeconds, c.DumpedSeconds, 1.0 / Rate);
    else
        EXPECT_GT(dumpedSeconds, DelaySeconds - 0.5);
    const double builtUp = c.AtStart ? DelaySeconds : dumpedSeconds;
    const double buildUpSeconds = builtUp * ratio / (ratio - 1.0);
    const double builtUpIn = double(lastChange - firstChange) / Rate;
    EXPECT_GE(int(input.size()) - lastChange, 2 * Rate);
    window.ShowRunStatus();
    const TRunReport after = window.RunReport();
    if (c.StallSeconds > 0) {
        // Lost input ends the build-up: the output falls silent for the hole, and plays exactly
        // one delay late from the frame after it, never early.
        const double holeEnds = FirstPressSeconds + 1.0 + c.StallSeconds;
        EXPECT_LT(lastChange, int((holeEnds + DelaySeconds + 0.5) * Rate));
        EXPECT_GT(after.Dropouts.LostFrames, 0u);
    } else {
        EXPECT_NEAR(builtUpIn, buildUpSeconds, buildUpSeconds * 0.05);
        EXPECT_EQ(after.Dropouts, TDropouts{});
    }
    EXPECT_FALSE(after.BuildingUp);
    EXPECT_DOUBLE_EQ(after.OnAirSeconds, DelaySeconds + after.DeviceLatencySeconds);
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(u'|').toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Dumps, DumpTest,
    testing::Values(TDumpCase{"OneSecondAtThreeSeconds", 1.0, 3.0, {FirstPressSeconds}, 1.0},
                    TDumpCase{"PressedTwice", 1.0, 10.0, {FirstPressSeconds, 4.5}, 2.0},
                    TDumpCase{"LongerThanOnAir", 5.0, 10.0, {FirstPressSeconds}, -1.0},
                    TDumpCase{"DuringBuildUp", 1.0, 10.0, {FirstPressSeconds, 8.0}, 2.0},
                    TDumpCase{"StopDuringBuildUp", 1.0, 10.0, {FirstPressSeconds}, 1.0, 2.0},
                    TDumpCase{"BuildUpAtStart", 1.0, 10.0, {}, 0.0, 0.0, true},
                    TDumpCase{
                        "SeparateStreams", 1.0, 10.0, {FirstPressSeconds}, 1.0, 0.0, false, 512},
                    TDumpCase{"InputLostDuringBuildUp",
                              1.0,
                              3.0,
                              {FirstPressSeconds},
                              1.0,
                              0.0,
                              false,
                              0,
                              3 * DelaySeconds + 2.0}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
