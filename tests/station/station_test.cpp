#include "tests/station/stationfixture.h"

namespace {

using StationTest = TStationTest;

// The input's capabilities make the list; its first entry is the format until a choice, which
// must be in the list.
TEST_F(StationTest, ReadsTheFormatsAndChoosesOnlyWhatTheListHolds) {
    const struct {
        uint32_t Capabilities;
        int Chosen;
        int Entries;
        int Index;
        TWaveDataFormat Format;
    } rows[] = {
        {0x0C4, -1, 3, 0, {11025, 2, 1}},
        {0x0C4, 2, 3, 2, {22050, 2, 2}},
        // Out of the list: the choice before stays.
        {0x0C4, 3, 3, 0, {11025, 2, 1}},
        // No format at all: "No Wave Mapper" is the one entry, and nothing can play.
        {0x000, -1, 1, 0, {0, 0, 0}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Chosen);
        Device.SetCapabilities(row.Capabilities);
        TStation station([] { return OneGiB; });
        station.StartUp();
        ASSERT_EQ(station.Formats().size(), row.Entries);
        if (row.Chosen >= 0)
            station.SelectFormat(row.Chosen);
        EXPECT_EQ(station.FormatIndex(), row.Index);
        EXPECT_EQ(station.CurrentFormat().SamplesPerSec, row.Format.SamplesPerSec);
        EXPECT_EQ(station.CurrentFormat().BytesPerSample, row.Format.BytesPerSample);
        EXPECT_EQ(station.CurrentFormat().Channels, row.Format.Channels);
        EXPECT_EQ(station.HasFormat(), row.Format.Channels > 0);
    }
}

// The whole way a headless station goes: the saved settings start a run, the console answers
// each press as a remote face sees it, the output is the input one delay later, and Stop ends
// it with the signals every face follows.
TEST_F(StationTest, RunsFromItsSettingsAndAnswersTheConsoleWithoutAWindow) {
    WriteSettings("[Actions]\nPlayOnStart=1\n\n[Settings]\nDelayTime=0.1\nAudioFormat=0\n");
    TStation station([] { return OneGiB; });
    int runStates = 0;
    int buffers = 0;
    QObject::connect(&station, &TStation::runStateChanged, [&] { ++runStates; });
    QObject::connect(&station, &TStation::bufferCaptured, [&] { ++buffers; });
    station.StartUp();
    ASSERT_TRUE(station.RunWanted()) << (Errors + WaveMessages).join(u'\n').toStdString();
    EXPECT_GE(runStates, 1);
    const int delayFrames = station.BufferFrames();
    ASSERT_EQ(delayFrames, 1102);

    EXPECT_EQ(station.Play().Error, QString()) << "Play while playing does nothing";
    EXPECT_EQ(station.Dump().Error,
              QStringLiteral("Nothing to dump: a run must have at least 1 s on air"));
    QByteArray input(delayFrames * 4, '\0');
    for (int frame = 0; frame < input.size(); ++frame)
        input[frame] = char(frame * 7 % 251 + 1);
    Device.FeedInput(input.constData(), size_t(input.size()));
    Device.Advance(input.size());
    const QByteArray output = Device.TakeOutput();
    ASSERT_EQ(output.size(), input.size());
    EXPECT_EQ(output.left(delayFrames), QByteArray(delayFrames, char(128)));
    EXPECT_EQ(output.mid(delayFrames), input.left(input.size() - delayFrames));
    EXPECT_EQ(buffers, 4);
    EXPECT_EQ(station.FrameCounter, 4);
    // The count-down runs on the main thread's clock, a second a tick.
    EXPECT_EQ(station.Report().State, TRunState::CountingDown);
    station.OnCountDownTick();
    EXPECT_EQ(station.Report().State, TRunState::OnAir);

    EXPECT_EQ(station.Stop().Error, QString());
    EXPECT_FALSE(station.RunWanted());
    EXPECT_FALSE(station.Report().Running);
    EXPECT_EQ(station.CoughStart().Error, QStringLiteral("Nothing to hold off: no run is on air"));
    EXPECT_TRUE((Errors + WaveMessages).isEmpty())
        << (Errors + WaveMessages).join(u'\n').toStdString();
}

} // namespace
