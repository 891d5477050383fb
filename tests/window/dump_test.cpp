#include "appfixture.h"

#include "audio/wavelib.h"
#include "controls/degspin.h"
#include "station/dumpevidence.h"
#include "support/messageboard.h"

#include <QComboBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QStatusBar>
#include <QToolButton>
#include <algorithm>
#include <cmath>
#include <sndfile.h>
#include <vector>

namespace {

constexpr int Rate = 11025;
constexpr int DelaySeconds = 3;
constexpr int Delay = DelaySeconds * Rate;
constexpr int Mono16Index = 2;
constexpr int Period = 256;

// What happens to the card during a run, at a time in seconds from its start.
struct TCardEvent {
    enum TKind { SkipInput, Xrun } Kind;
    double Seconds;
    double Length;
};

struct TDumpCase {
    const char* Name;
    double DumpSeconds;
    double BuildUpPercent;
    // When Dump is pressed, in seconds from the start of the run.
    std::vector<double> Presses;
    // Programme dumped in all; below 0, as much as is on air less a few periods.
    double DumpedSeconds;
    // Stop the run this long after the first press; 0 lets the build-up finish.
    double StopAfter = 0.0;
    // "Build up at start": the whole delay is built up from the first frame, no press.
    bool AtStart = false;
    // Input and output on separate streams, placed this many frames apart.
    int Cushion = 0;
    // The main thread held busy this long a second after the first press, so that the input
    // loses frames during the build-up.
    double StallSeconds = 0.0;
    std::vector<TCardEvent> Events = {};
    // Time on the schedule the build-up makes up beyond the programme dumped: input lost
    // after the press, or within the stretch dumped.
    double LostInBuildUp = 0.0;
};

void PrintTo(const TDumpCase& c, std::ostream* out) {
    *out << c.Name;
}

// Quiet noise everywhere but in the second the first dump skips, which is loud: the output
// shows at once whether any of that second ever played. Never a run of digital silence.
std::vector<int16_t> Programme(int frames, double firstPress) {
    std::vector<int16_t> samples(size_t(frames), 0);
    uint32_t noise = 12345;
    const int loudFrom = int((firstPress - DelaySeconds + 0.1) * Rate);
    const int loudTo = int((firstPress - DelaySeconds + 0.9) * Rate);
    for (int frame = 0; frame < frames; ++frame) {
        noise = noise * 1664525u + 1013904223u;
        const bool loud = frame >= loudFrom && frame < loudTo;
        const int quiet = int(noise >> 21) - 1024;
        samples[size_t(frame)] =
            loud ? int16_t((frame / 10) % 2 ? 16000 : -16000) : int16_t(quiet ? quiet : 1);
    }
    return samples;
}

// Feeds input to the card and starts the window's run, on air from the end of its count-down.
void PlayInput(TMainWindow& window, TVirtualWaveDevice& device, const std::vector<int16_t>& input) {
    device.FeedInput(input.data(), input.size() * sizeof(int16_t));
    window.View().PlayBtn->click();
    for (int tick = 0; tick < DelaySeconds; ++tick)
        window.Station().OnCountDownTick();
}

// Frames of output in runs of digital silence at least this long, from frame on.
int SilentFrames(const int16_t* output, int from, int to) {
    int silent = 0;
    for (int frame = from; frame < to;) {
        int end = frame;
        while (end < to && output[end] == 0)
            ++end;
        if (end - frame >= 16)
            silent += end - frame;
        frame = std::max(end, frame + 1);
    }
    return silent;
}

class DumpTest : public AppTest, public testing::WithParamInterface<TDumpCase> {};

// A dump skips ahead within the buffers with a crossfade; the output then plays stretched
// until it is exactly one delay behind the input again, and from there on bit for bit. Losses
// and xruns on the way cost the air at most their own length in silence, and never make
// anything play before its time: what played is compared with what was captured.
TEST_P(DumpTest, SkipsAheadThenBuildsTheDelayBackToExact) {
    const TDumpCase& c = GetParam();
    TMainWindow& window = MakeWindow();
    window.View().FormatCombo->setCurrentIndex(Mono16Index);
    window.View().DelayTimeSpin->SetDegrees(DelaySeconds / 3600.0);
    ASSERT_EQ(window.Station().BufferFrames(), Delay);
    window.Station().DumpSeconds = c.DumpSeconds;
    window.Station().BuildUpPercent = c.BuildUpPercent;
    window.View().BuildUpAtStartAction->setChecked(c.AtStart);
    const double ratio = 1.0 + c.BuildUpPercent / 100.0;
    const double mostDumped = c.DumpedSeconds > 0 ? c.DumpedSeconds : DelaySeconds;
    const double firstPress = c.Presses.empty() ? DelaySeconds + 1.0 : c.Presses.front();
    // The build-up begins with the first press, or with the run.
    const double buildUpFrom = c.AtStart ? 0.0 : firstPress;
    double lostSeconds = 0.0;
    for (const TCardEvent& event : c.Events)
        lostSeconds += event.Length;
    const double buildUpSeconds =
        ((c.AtStart ? DelaySeconds : mostDumped) + c.LostInBuildUp) * ratio / (ratio - 1.0);
    const double runSeconds =
        c.StopAfter > 0 ? firstPress + c.StopAfter : buildUpFrom + buildUpSeconds + lostSeconds + 3;
    const std::vector<int16_t> input = Programme(int(runSeconds * Rate), firstPress);
    Device.SetPeriodFrames(Period);
    if (c.Cushion > 0)
        Device.SetSeparateStreams(c.Cushion);
    PlayInput(window, Device, input);
    EXPECT_FALSE(window.View().DumpBtn->isEnabled());

    // The input frames the listener can never hear, and the output frames the card played
    // nothing in.
    std::vector<bool> inputLost(input.size()), outputLost(input.size());
    const auto mark = [](std::vector<bool>& lost, int64_t from, int64_t frames) {
        for (int64_t frame = from; frame < from + frames && frame < int64_t(lost.size()); ++frame)
            lost[size_t(frame)] = true;
    };
    int64_t now = 0;
    const auto advanceTo = [&](double seconds) {
        Device.Advance(int64_t(seconds * Rate) - now);
        now = int64_t(seconds * Rate);
    };
    std::vector<std::pair<double, const TCardEvent*>> timeline;
    for (double press : c.Presses)
        timeline.emplace_back(press, nullptr);
    for (const TCardEvent& event : c.Events)
        timeline.emplace_back(event.Seconds, &event);
    std::sort(timeline.begin(), timeline.end());
    for (const auto& [seconds, event] : timeline) {
        advanceTo(seconds);
        if (event) {
            const auto frames = int64_t(event->Length * Rate);
            mark(inputLost, now, frames);
            if (event->Kind == TCardEvent::Xrun) {
                mark(outputLost, now, frames);
                Device.Xrun(frames);
            } else {
                Device.SkipInput(frames);
                Device.Advance(frames);
            }
            now += frames;
            continue;
        }
        // As the status line's timer does between buffers.
        window.Station().ShowRunStatus();
        ASSERT_TRUE(window.View().DumpBtn->isEnabled()) << seconds;
        window.View().DumpBtn->click();
    }
    advanceTo(double(now) / Rate + 1.0);
    window.Station().ShowRunStatus();
    const TRunReport during = window.Station().RunReport();
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
    const int frames = int(input.size());
    // Frame by frame: the input frame lag earlier, or silence where that frame or this
    // moment of the output was lost.
    const auto exactAt = [&](int frame, int lag) {
        if (frame < lag)
            return output[frame] == 0;
        if (outputLost[size_t(frame)] || inputLost[size_t(frame - lag)])
            return output[frame] == 0;
        return output[frame] == input[size_t(frame - lag)];
    };

    // The first frame plays one delay late, and on separate streams up to a cushion later.
    int late = 0;
    while (late < frames && output[late] == 0)
        ++late;
    int firstChange = late;
    if (c.AtStart) {
        // On air almost at once, long before the delay is up.
        EXPECT_LT(late, Rate / 5);
        firstChange = 0;
    } else {
        EXPECT_GE(late, Delay);
        EXPECT_LE(late, Delay + c.Cushion);
        // Bit for bit up to the first press; then nothing of the loud second, ever.
        while (firstChange < frames && exactAt(firstChange, late))
            ++firstChange;
        EXPECT_GE(firstChange, int(firstPress * Rate));
        EXPECT_LE(firstChange, int(firstPress * Rate) + c.Cushion + Period);
        int loudest = 0;
        for (int frame = firstChange; frame < frames; ++frame)
            loudest = std::max(loudest, std::abs(int(output[frame])));
        EXPECT_LT(loudest, 8000);
    }

    // At the end, bit for bit at the delay the run began with, never less: the lag the last
    // second plays at, searched for from the set delay on.
    int lag = Delay;
    while (lag <= Delay + c.Cushion + Period && !exactAt(frames - 1, lag))
        ++lag;
    if (!c.AtStart) {
        EXPECT_EQ(lag, late);
    }
    EXPECT_LE(lag, Delay + c.Cushion);
    int lastChange = frames - 1;
    while (lastChange > firstChange && exactAt(lastChange, lag))
        --lastChange;
    EXPECT_GE(frames - lastChange, 2 * Rate) << "not back at the set delay by the end";
    const double dumpedSeconds = double(PlaybackDevice()->OnAirState().DumpedFrames) / Rate;
    if (c.DumpedSeconds >= 0)
        EXPECT_NEAR(dumpedSeconds, c.DumpedSeconds, 1.0 / Rate);
    else
        EXPECT_GT(dumpedSeconds, DelaySeconds - 0.5);
    const double builtUp = (c.AtStart              ? DelaySeconds
                            : c.DumpedSeconds >= 0 ? mostDumped
                                                   : dumpedSeconds) +
                           c.LostInBuildUp;
    const double expected = builtUp * ratio / (ratio - 1.0);
    const double builtUpIn = double(lastChange - firstChange) / Rate;
    if (c.StallSeconds == 0.0) {
        EXPECT_NEAR(builtUpIn, expected, expected * 0.05);
    }

    window.Station().ShowRunStatus();
    const TRunReport after = window.Station().RunReport();
    // Each loss is counted once, as lost input or as an xrun, and costs the air no more
    // silence than itself, with a crossfade either side.
    const int onAirFrom = std::max(firstChange, late);
    int lost = 0;
    for (int frame = onAirFrom; frame < frames; ++frame)
        lost += inputLost[size_t(frame - std::min(frame, lag))] ? 1 : 0;
    const int silent = SilentFrames(output, onAirFrom, frames);
    EXPECT_LE(silent,
              lost + int(after.Dropouts.LostFrames) + 4 * Rate / 100 * int(c.Events.size()));
    EXPECT_EQ(after.Dropouts.DryOutputs, 0u);
    if (c.Events.empty() && c.StallSeconds == 0.0) {
        EXPECT_EQ(after.Dropouts, TDropouts{});
    }
    EXPECT_FALSE(after.BuildingUp);
    EXPECT_DOUBLE_EQ(after.OnAirSeconds, DelaySeconds + after.DeviceLatencySeconds);
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(u'|').toStdString();
}

using TKind = TCardEvent::TKind;

INSTANTIATE_TEST_SUITE_P(
    Dumps, DumpTest,
    testing::Values(TDumpCase{"OneSecondAtThreeSeconds", 1.0, 3.0, {4.0}, 1.0},
                    TDumpCase{"PressedTwice", 1.0, 10.0, {4.0, 4.5}, 2.0},
                    TDumpCase{"LongerThanOnAir", 5.0, 10.0, {4.0}, -1.0},
                    TDumpCase{"DuringBuildUp", 1.0, 10.0, {4.0, 8.0}, 2.0},
                    TDumpCase{"StopDuringBuildUp", 1.0, 10.0, {4.0}, 1.0, 2.0},
                    TDumpCase{"BuildUpAtStart", 1.0, 10.0, {}, 0.0, 0.0, true},
                    TDumpCase{"SeparateStreams", 1.0, 10.0, {4.0}, 1.0, 0.0, false, 512},
                    TDumpCase{
                        "BuildUpAtStartOnSeparateStreams", 1.0, 10.0, {}, 0.0, 0.0, true, 512},
                    // The main thread stalls so long that the input runs out of buffers for a
                    // second: the build-up goes on across the hole and makes up for it too.
                    TDumpCase{"InputLostDuringBuildUp",
                              1.0,
                              10.0,
                              {4.0},
                              1.0,
                              0.0,
                              false,
                              0,
                              3 * DelaySeconds + 2.0,
                              {},
                              1.0},
                    // A loss inside the stretch dumped counts for its time: 2.5 s off the air, of
                    // which 0.2 s had never been captured.
                    TDumpCase{"LossInsideTheDumpedStretch",
                              2.5,
                              10.0,
                              {4.0},
                              2.3,
                              0.0,
                              false,
                              0,
                              0.0,
                              {{TKind::SkipInput, 2.0, 0.2}},
                              0.2},
                    // Pressed while the air is silent for a loss: the silence still to come is part
                    // of the second dumped.
                    TDumpCase{"PressedDuringTheSilenceOfALoss",
                              1.0,
                              10.0,
                              {4.7},
                              0.7,
                              0.0,
                              false,
                              0,
                              0.0,
                              {{TKind::SkipInput, 1.5, 0.5}},
                              0.3},
                    TDumpCase{"XrunsDuringBuildUp",
                              1.0,
                              10.0,
                              {4.0},
                              1.0,
                              0.0,
                              false,
                              0,
                              0.0,
                              {{TKind::Xrun, 5.0, 0.07},
                               {TKind::Xrun, 6.5, 0.07},
                               {TKind::Xrun, 8.0, 0.07},
                               {TKind::Xrun, 12.0, 0.07}}}),
    [](const auto& info) { return std::string(info.param.Name); });

struct TEvidenceCase {
    const char* Name;
    // When Dump is pressed, in seconds from the start of the run; the last dump's files are
    // read back.
    std::vector<double> Presses;
    int Keep;
    // The dumps whose files the folder holds in the end, an earlier day's among them.
    int DumpsKept;
    // A file stands where the folder should be.
    bool Unwritable = false;
};

void PrintTo(const TEvidenceCase& c, std::ostream* out) {
    *out << c.Name;
}

// A 16-bit mono file at our rate, read back whole; empty when it cannot be read.
std::vector<int16_t> ReadFlac(const QString& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return {};
    EXPECT_EQ(info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.samplerate, Rate);
    EXPECT_EQ(info.channels, 1);
    std::vector<int16_t> samples(size_t(info.frames));
    EXPECT_EQ(sf_readf_short(file, samples.data(), info.frames), info.frames);
    sf_close(file);
    return samples;
}

class EvidenceTest : public AppTest, public testing::WithParamInterface<TEvidenceCase> {};

// Each dump leaves the programme it skipped and what went on air from 10 s before its crossfade
// to 10 s after: read back, they are what the card captured and what it played, frame for frame.
// The folder keeps the newest dumps' files, and no file of anyone else's.
TEST_P(EvidenceTest, FilesHoldWhatWasDumpedAndWhatWentOnAir) {
    const TEvidenceCase& c = GetParam();
    QTemporaryDir folder;
    // An earlier day's dump named in local time, as earlier versions did, another named in
    // UTC, and files of others.
    const QString earlier = QStringLiteral("2020-01-01T00-00-00.000");
    const QStringList others = {earlier + QStringLiteral("-dumped.flac"),
                                earlier + QStringLiteral("-aired.flac"),
                                QStringLiteral("interview.flac"), QStringLiteral("notes.txt"),
                                QStringLiteral("2020-01-01T23-59-59.999Z-aired.flac")};
    for (const QString& name : others) {
        QFile file(folder.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    const QString evidence = c.Unwritable ? folder.filePath(others[3]) : folder.path();
    WriteIni(QStringLiteral("[Dump]\nSeconds=0.5\nBuildUpPercent=10\nEvidenceFolder=%1\n"
                            "EvidenceKeep=%2\n")
                 .arg(evidence)
                 .arg(c.Keep)
                 .toUtf8());
    TMainWindow& window = MakeWindow();
    window.View().FormatCombo->setCurrentIndex(Mono16Index);
    window.View().DelayTimeSpin->SetDegrees(DelaySeconds / 3600.0);
    const double lastPress = c.Presses.back();
    const std::vector<int16_t> input = Programme(int((lastPress + 12.0) * Rate), c.Presses.front());
    Device.SetPeriodFrames(Period);
    PlayInput(window, Device, input);
    int64_t now = 0;
    for (double press : c.Presses) {
        Device.Advance(int64_t(press * Rate) - now);
        now = int64_t(press * Rate);
        window.Station().ShowRunStatus();
        window.View().DumpBtn->click();
    }
    Device.Advance(int64_t(input.size()) - now);
    window.Station().ShowRunStatus();
    window.View().DumpEvidence->WaitForWritten();
    const std::optional<TLastDump> dump = window.Station().RunReport().LastDump;
    ASSERT_TRUE(dump);
    const QByteArray played = Device.TakeOutput();
    const auto* output = reinterpret_cast<const int16_t*>(played.constData());
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(u'|').toStdString();
    if (c.Unwritable) {
        EXPECT_TRUE(dump->Files.isEmpty());
        EXPECT_TRUE(MessageBoard().Last().Text.contains(evidence));
        EXPECT_TRUE(window.statusBar()->currentMessage().contains(evidence));
        return;
    }

    const QStringList names = EvidenceFileNames(dump->Time);
    EXPECT_EQ(dump->Files,
              QStringList({QDir(evidence).filePath(names[0]), QDir(evidence).filePath(names[1])}));
    const QStringList files = QDir(evidence).entryList(QDir::Files);
    const bool earlierKept = c.Keep > int(c.Presses.size());
    EXPECT_EQ(files.size(), 2 + 2 * c.DumpsKept + (earlierKept ? 1 : 0))
        << files.join(u' ').toStdString();
    EXPECT_EQ(files.contains(others[0]), earlierKept);
    EXPECT_EQ(files.contains(others[4]), earlierKept);
    EXPECT_TRUE(files.contains(others[2]) && files.contains(others[3]));
    // Named by the time in UTC, and for the station's user alone: it is the sound kept off air.
    EXPECT_TRUE(names[0].startsWith(dump->Time.toUTC().toString(u"yyyy-MM-ddTHH-mm-ss.zzz'Z'")));
    for (const QString& file : dump->Files)
        EXPECT_EQ(QFileInfo(file).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
                  QFile::ReadOwner | QFile::WriteOwner)
            << file.toStdString();

    // What aired: exactly what the card played, starting 10 s before the crossfade, which began
    // in the period after the press.
    const std::vector<int16_t> aired = ReadFlac(dump->Files[1]);
    const int around = TDumpEvidence::AiredSeconds * Rate;
    ASSERT_EQ(int(aired.size()), 2 * around + Rate / 100);
    int fadeStart = int(lastPress * Rate);
    while (fadeStart <= int(lastPress * Rate) + 2 * Period &&
           !std::equal(aired.begin(), aired.end(), output + fadeStart - around))
        ++fadeStart;
    EXPECT_LE(fadeStart, int(lastPress * Rate) + 2 * Period) << "the aired file is not what played";

    // What was dumped: as long as the dump, and exactly the programme that played no more. In
    // plain play, that is what was due at the crossfade; during a build-up, a little later.
    const std::vector<int16_t> dumped = ReadFlac(dump->Files[0]);
    EXPECT_EQ(int(dumped.size()), std::lround(dump->Seconds * Rate));
    ASSERT_FALSE(dumped.empty());
    int skipped = fadeStart - Delay;
    while (skipped <= fadeStart &&
           !std::equal(dumped.begin(), dumped.end(), input.begin() + skipped))
        ++skipped;
    EXPECT_LE(skipped, fadeStart) << "the dumped file is not the programme";
    // In plain play the crossfade begins on the first frame that is not the programme one delay
    // late.
    if (c.Presses.size() == 1) {
        int firstChange = int(lastPress * Rate) - Period;
        while (output[firstChange] == input[size_t(firstChange - Delay)])
            ++firstChange;
        EXPECT_EQ(fadeStart, firstChange);
        EXPECT_EQ(skipped, fadeStart - Delay);
    }
}

INSTANTIATE_TEST_SUITE_P(Evidence, EvidenceTest,
                         testing::Values(TEvidenceCase{"OneDump", {14.0}, 100, 2},
                                         TEvidenceCase{"KeepsTheNewest", {14.0, 14.5, 15.0}, 2, 2},
                                         TEvidenceCase{"FolderIsAFile", {14.0}, 100, 0, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

using ConsoleTest = AppTest;

// Ctrl+K held keeps the input off the delay, whichever key is let go of first ends it, and the
// delay on air is that much shorter; Exit then winds the rest down until what plays is what
// the card captures, the status line reading "Live: no delay" and the button "Build".
TEST_F(ConsoleTest, CoughHeldByTheKeyThenExitToLive) {
    TMainWindow& window = MakeWindow();
    window.View().FormatCombo->setCurrentIndex(Mono16Index);
    window.View().DelayTimeSpin->SetDegrees(DelaySeconds / 3600.0);
    window.Station().ExitPercent = 10.0;
    const std::vector<int16_t> input = Programme(60 * Rate, 100.0);
    Device.SetPeriodFrames(Period);
    PlayInput(window, Device, input);
    int64_t now = 0;
    const auto advance = [&](int64_t frames) {
        Device.Advance(frames);
        now += frames;
    };
    advance(4 * Rate);
    const auto key = [&](QEvent::Type type, Qt::Key code, Qt::KeyboardModifiers modifiers,
                         bool repeat = false) {
        QKeyEvent event(type, code, modifiers, QString(), repeat);
        QCoreApplication::sendEvent(&window, &event);
    };
    const auto status = [&] {
        window.Station().ShowRunStatus();
        return window.findChild<QLabel*>(QStringLiteral("OnAirStatus"))->text();
    };
    key(QEvent::KeyPress, Qt::Key_K, Qt::ControlModifier);
    advance(Rate / 2);
    // A key held down repeats: neither the repeats nor letting go of them ends the hold.
    key(QEvent::KeyRelease, Qt::Key_K, Qt::ControlModifier, true);
    key(QEvent::KeyPress, Qt::Key_K, Qt::ControlModifier, true);
    advance(Rate / 2);
    EXPECT_TRUE(window.Station().RunReport().Coughing);
    EXPECT_TRUE(status().startsWith(QStringLiteral("Cough held. "))) << status().toStdString();
    key(QEvent::KeyRelease, Qt::Key_Control, Qt::NoModifier);
    EXPECT_FALSE(window.Station().RunReport().Coughing);
    // The second held off reaches the air a delay later, and the delay is that much shorter.
    advance(DelaySeconds * Rate);
    EXPECT_NEAR(window.Station().RunReport().OnAirSeconds -
                    window.Station().RunReport().DeviceLatencySeconds,
                DelaySeconds - 1.0, 0.1);

    window.View().ExitBtn->click();
    advance(Period);
    EXPECT_EQ(window.Station().RunReport().State, TRunState::Exiting);
    // Two seconds and what the build-up has made good since, wound down at 10 %.
    advance(30 * Rate);
    EXPECT_EQ(status(), QStringLiteral("Live: no delay"));
    EXPECT_EQ(window.View().ExitBtn->text(), QStringLiteral("Build"));
    advance(int64_t(input.size()) - now);
    const QByteArray played = Device.TakeOutput();
    ASSERT_EQ(played.size(), int(input.size() * sizeof(int16_t)));
    const auto* output = reinterpret_cast<const int16_t*>(played.constData());
    // The last two seconds are the input, bit for bit, as late as the card makes them.
    const int frames = int(input.size());
    const auto liveAt = [&](int lag) {
        for (int frame = frames - 2 * Rate; frame < frames; ++frame)
            if (output[frame] != input[size_t(frame - lag)])
                return false;
        return true;
    };
    int lag = 0;
    while (lag <= 2 * Period && !liveAt(lag))
        ++lag;
    EXPECT_LE(lag, 2 * Period);
    EXPECT_TRUE(Errors.isEmpty()) << Errors.join(u'|').toStdString();
}

} // namespace
