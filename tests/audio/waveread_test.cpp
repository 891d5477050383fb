#include "tests/audio/audiotestapp.h"

#include "support/errors.h"

#include <QCoreApplication>

namespace {

using TPump = TVirtualWaveDevice::TPump;

struct TWaveTypeRow {
    TWaveTypes WaveType;
    uint32_t CapsBit;
    const char* Text;
    TWaveDataFormat Format;
    // The device record: channels, rate, bytes per second, block alignment, bits.
    TWaveFormat Record;
};

const TWaveTypeRow WaveTypeRows[] = {
    {wf11Khz_Mono_8Bit,
     0x001,
     "11.025 kHz, Mono, 8-bit",
     {11025, 1, 1},
     {1, 1, 11025, 11025, 1, 8, 0}},
    {wf11Khz_Stereo_8Bit,
     0x002,
     "11.025 kHz, Stereo, 8-bit",
     {11025, 1, 2},
     {1, 2, 11025, 22050, 2, 8, 0}},
    {wf11Khz_Mono_16Bit,
     0x004,
     "11.025 kHz, Mono, 16-bit",
     {11025, 2, 1},
     {1, 1, 11025, 22050, 2, 16, 0}},
    {wf11Khz_Stereo_16Bit,
     0x008,
     "11.025 kHz, Stereo, 16-bit",
     {11025, 2, 2},
     {1, 2, 11025, 44100, 4, 16, 0}},
    {wf22Khz_Mono_8Bit,
     0x010,
     "22.05 kHz, Mono, 8-bit",
     {22050, 1, 1},
     {1, 1, 22050, 22050, 1, 8, 0}},
    {wf22Khz_Stereo_8Bit,
     0x020,
     "22.05 kHz, Stereo, 8-bit",
     {22050, 1, 2},
     {1, 2, 22050, 44100, 2, 8, 0}},
    {wf22Khz_Mono_16Bit,
     0x040,
     "22.05 kHz, Mono, 16-bit",
     {22050, 2, 1},
     {1, 1, 22050, 44100, 2, 16, 0}},
    {wf22Khz_Stereo_16Bit,
     0x080,
     "22.05 kHz, Stereo, 16-bit",
     {22050, 2, 2},
     {1, 2, 22050, 88200, 4, 16, 0}},
    {wf44Khz_Mono_8Bit,
     0x100,
     "44.1 kHz, Mono, 8-bit",
     {44100, 1, 1},
     {1, 1, 44100, 44100, 1, 8, 0}},
    {wf44Khz_Stereo_8Bit,
     0x200,
     "44.1 kHz, Stereo, 8-bit",
     {44100, 1, 2},
     {1, 2, 44100, 88200, 2, 8, 0}},
    {wf44Khz_Mono_16Bit,
     0x400,
     "44.1 kHz, Mono, 16-bit",
     {44100, 2, 1},
     {1, 1, 44100, 88200, 2, 16, 0}},
    {wf44Khz_Stereo_16Bit,
     0x800,
     "44.1 kHz, Stereo, 16-bit",
     {44100, 2, 2},
     {1, 2, 44100, 176400, 4, 16, 0}},
};

bool operator==(const TWaveDataFormat& a, const TWaveDataFormat& b) {
    return a.SamplesPerSec == b.SamplesPerSec && a.BytesPerSample == b.BytesPerSample &&
           a.Channels == b.Channels;
}

TEST(WaveTypesTest, EveryFormatsBitTextTripleAndRecord) {
    for (const TWaveTypeRow& row : WaveTypeRows) {
        SCOPED_TRACE(row.Text);
        EXPECT_EQ(WaveTypeToCapsBit(row.WaveType), row.CapsBit);
        EXPECT_EQ(WaveTypeText(row.WaveType), QString::fromLatin1(row.Text));
        TWaveDataFormat format{-1, -1, -1};
        WaveTypeToFormat(row.WaveType, format);
        EXPECT_TRUE(format == row.Format);
        TWaveFormat record;
        std::memset(&record, 0xAB, sizeof record);
        TWaveReader::MakeWaveFormat(record, format);
        EXPECT_EQ(std::memcmp(&record, &row.Record, sizeof record), 0);
    }
}

TEST(WaveTypesTest, NoneAndOutOfRangeTypes) {
    EXPECT_EQ(WaveTypeToCapsBit(wfNone), 0u);
    EXPECT_EQ(WaveTypeToCapsBit(static_cast<TWaveTypes>(WaveTypeCount)), 0u);
    EXPECT_EQ(WaveTypeToCapsBit(static_cast<TWaveTypes>(255)), 0u);
    EXPECT_EQ(WaveTypeText(wfNone), QStringLiteral("No Wave Mapper"));
    TWaveDataFormat format{1, 2, 3};
    WaveTypeToFormat(wfNone, format);
    EXPECT_TRUE(format == (TWaveDataFormat{1, 2, 3}));
}

struct TFormatListCase {
    uint32_t Capabilities;
    std::vector<TWaveTypes> Expected;
};

TEST(WaveTypesTest, BuildFormatListKeepsSupportedTypesInOrder) {
    const TFormatListCase cases[] = {
        {0, {wfNone}},
        {0x001, {wf11Khz_Mono_8Bit}},
        {0x801, {wf11Khz_Mono_8Bit, wf44Khz_Stereo_16Bit}},
        {0x0A0, {wf22Khz_Stereo_8Bit, wf22Khz_Stereo_16Bit}},
        {0x9000, {wf48Khz_Mono_8Bit, wf48Khz_Stereo_16Bit}},
        // Bits of formats we do not offer count as none.
        {0xF0000, {wfNone}},
        {0x10004, {wf11Khz_Mono_16Bit}},
    };
    for (const TFormatListCase& row : cases) {
        TFormatList list{{QStringLiteral("stale"), wf44Khz_Mono_8Bit}};
        BuildFormatList(list, row.Capabilities);
        std::vector<TWaveTypes> types;
        for (const TFormatListEntry& entry : list) {
            types.push_back(entry.WaveType);
            EXPECT_EQ(entry.Text, WaveTypeText(entry.WaveType));
        }
        EXPECT_EQ(types, row.Expected) << std::hex << row.Capabilities;
    }
    TFormatList all;
    BuildFormatList(all, 0xFFFF);
    EXPECT_EQ(all.size(), 16);
}

using WaveReaderTest = TVirtualDeviceTest;

TEST_F(WaveReaderTest, NoInputDeviceShowsMessageAndNoWaveMapper) {
    Device.SetInputDeviceCount(0);
    TWaveReader reader;
    EXPECT_EQ(ShownMessages(), QStringList{QStringLiteral("No Wave Device Available")});
    ASSERT_EQ(reader.FormatList().size(), 1);
    EXPECT_EQ(reader.FormatList()[0].Text, QStringLiteral("No Wave Mapper"));
    EXPECT_EQ(reader.FormatList()[0].WaveType, wfNone);
}

TEST_F(WaveReaderTest, DeviceWithoutFormatsGivesNoWaveMapperSilently) {
    Device.SetCapabilities(0);
    TWaveReader reader;
    EXPECT_TRUE(ShownMessages().isEmpty());
    ASSERT_EQ(reader.FormatList().size(), 1);
    EXPECT_EQ(reader.FormatList()[0].WaveType, wfNone);
}

// What OnWaveIn saw.
struct TWaveInLog {
    void Attach(TWaveReader& reader) {
        reader.OnWaveIn = [this, &reader](QObject* sender, void* buffer, int32_t sampleCount,
                                          const TWaveDataFormat& format) {
            Senders.push_back(sender);
            Buffers.push_back(buffer);
            SampleCounts.push_back(sampleCount);
            Formats.push_back(format);
            PendingDuring.push_back(reader.PendingCount());
            FirstBytes.push_back(*static_cast<uint8_t*>(buffer));
        };
    }
    std::vector<QObject*> Senders;
    std::vector<void*> Buffers;
    std::vector<int32_t> SampleCounts;
    std::vector<TWaveDataFormat> Formats;
    std::vector<int32_t> PendingDuring;
    std::vector<uint8_t> FirstBytes;
};

// A reader nobody configures captures 256-frame buffers; they come back in turn, each queued
// again behind the others once its event returned, with three pending while it runs.
TEST_F(WaveReaderTest, CapturesInTurnWithDefaultBuffers) {
    TWaveReader reader;
    reader.SetWaveType(wf22Khz_Mono_16Bit);
    EXPECT_EQ(reader.SampleCount, 256);
    TWaveInLog log;
    log.Attach(reader);
    const std::vector<uint8_t> fed = NoisePcm(256 * 2 * 6, 9);
    Device.FeedInput(fed.data(), fed.size());
    reader.Start();
    EXPECT_TRUE(reader.Running());
    EXPECT_EQ(reader.PendingCount(), 4);
    Device.Advance(256 * 6);

    ASSERT_EQ(log.Buffers.size(), 6u);
    for (size_t index = 0; index < 6; ++index) {
        EXPECT_EQ(log.Senders[index], &reader);
        EXPECT_EQ(log.SampleCounts[index], 256);
        EXPECT_TRUE(log.Formats[index] == (TWaveDataFormat{22050, 2, 1}));
        EXPECT_EQ(log.PendingDuring[index], 3);
        EXPECT_EQ(log.FirstBytes[index], fed[index * 512]);
    }
    EXPECT_EQ(log.Buffers[4], log.Buffers[0]);
    EXPECT_EQ(log.Buffers[5], log.Buffers[1]);
    EXPECT_NE(log.Buffers[0], log.Buffers[1]);
    EXPECT_EQ(reader.PendingCount(), 4);
    reader.Stop();
    EXPECT_FALSE(reader.Running());
    EXPECT_FALSE(reader.Stopping());
    EXPECT_EQ(reader.PendingCount(), 0);
    EXPECT_FALSE(Device.InputOpen());
}

// Buffers that come back once Stop began are reported with the configured count, partly
// filled or not, and never queued again.
TEST_F(WaveReaderTest, BuffersReturnedDuringStopAreReportedNotRequeued) {
    TWaveReader reader;
    reader.SetWaveType(wf11Khz_Mono_8Bit);
    reader.SampleCount = 100;
    TWaveInLog log;
    log.Attach(reader);
    reader.Start();
    Device.Advance(150, TPump::Never);
    reader.Stop();
    EXPECT_EQ(log.SampleCounts, std::vector<int32_t>(4, 100));
    EXPECT_EQ(log.PendingDuring, (std::vector<int32_t>{3, 2, 1, 0}));
    EXPECT_EQ(reader.PendingCount(), 0);
    EXPECT_EQ(Device.InputQueued(), 0);
    EXPECT_FALSE(Device.InputOpen());
}

TEST_F(WaveReaderTest, SecondStartAndIdleStopDoNothing) {
    TWaveReader reader;
    reader.SetWaveType(wf11Khz_Mono_8Bit);
    reader.Stop();
    EXPECT_EQ(Device.InputOpenCount(), 0);
    reader.Start();
    reader.Start();
    EXPECT_EQ(Device.InputOpenCount(), 1);
    EXPECT_EQ(reader.PendingCount(), 4);
    reader.Stop();
    reader.Stop();
    EXPECT_FALSE(Device.InputOpen());
    reader.Start();
    EXPECT_EQ(Device.InputOpenCount(), 2);
    reader.Stop();
}

// A handler's exception reaches the top-level handler once; its buffer is queued again all the
// same, so capture goes on with all four and Stop still returns.
TEST_F(WaveReaderTest, HandlerExceptionStillQueuesItsBuffer) {
    TWaveReader reader;
    reader.SetWaveType(wf11Khz_Mono_8Bit);
    reader.SampleCount = 64;
    int events = 0;
    reader.OnWaveIn = [&](QObject*, void*, int32_t, const TWaveDataFormat&) {
        if (++events == 2)
            throw Exception(QStringLiteral("Playback failed"));
    };
    reader.Start();
    Device.Advance(64 * 2);
    EXPECT_EQ(CaughtExceptions(), QStringList{QStringLiteral("Playback failed")});
    EXPECT_EQ(reader.PendingCount(), 4);
    EXPECT_EQ(Device.InputQueued(), 4);
    Device.Advance(64 * 6);
    EXPECT_EQ(events, 8);
    EXPECT_EQ(reader.PendingCount(), 4);
    EXPECT_EQ(CaughtExceptions().size(), 1);
    reader.Stop();
    EXPECT_EQ(reader.PendingCount(), 0);
    EXPECT_FALSE(Device.InputOpen());
}

// A handler may stop capture itself; Stop returns and the rest of the run unwinds cleanly.
TEST_F(WaveReaderTest, StopFromInsideTheHandler) {
    TWaveReader reader;
    reader.SetWaveType(wf11Khz_Mono_8Bit);
    int events = 0;
    reader.OnWaveIn = [&](QObject*, void*, int32_t, const TWaveDataFormat&) {
        if (++events == 1)
            reader.Stop();
    };
    reader.Start();
    Device.Advance(256);
    EXPECT_FALSE(reader.Running());
    EXPECT_EQ(events, 4);
    EXPECT_EQ(reader.PendingCount(), 0);
    EXPECT_FALSE(Device.InputOpen());
}

// A handler may stop capture and start it again: the old device goes only once its delivery
// has returned, the buffer of that event stays with the old run, and the new run holds four.
TEST_F(WaveReaderTest, StopAndStartFromInsideTheHandler) {
    TWaveReader reader;
    reader.SetWaveType(wf11Khz_Mono_8Bit);
    reader.SampleCount = 64;
    reader.OnFault = [](QObject*, TWaveResult code) { ADD_FAILURE() << "fault " << code; };
    int events = 0;
    reader.OnWaveIn = [&](QObject*, void*, int32_t, const TWaveDataFormat&) {
        if (++events == 1) {
            reader.Stop();
            reader.Start();
        }
    };
    reader.Start();
    // The first buffer, then the three the stop drained; the old device goes after it all.
    Device.Advance(64);
    EXPECT_EQ(events, 4);
    EXPECT_EQ(Device.InputOpenCount(), 2);
    EXPECT_EQ(Device.InputQueued(), 4);
    QCoreApplication::processEvents();
    Device.Advance(64 * 6);
    EXPECT_EQ(events, 10);
    EXPECT_EQ(reader.PendingCount(), 4);
    reader.Stop();
}

struct TStartFailure {
    const char* Name;
    std::function<void(TVirtualWaveDevice&, TWaveReader&)> Arrange;
    QString Message;
};

// A failed Start raises a clear message and leaves nothing open, allocated or running.
TEST_F(WaveReaderTest, FailedStartLeavesNothingBehind) {
    const QString openFailed = QStringLiteral("Failed to open input device");
    const TStartFailure failures[] = {
        {"device refuses to open",
         [](TVirtualWaveDevice& device, TWaveReader&) { device.FailInputOpen(true); }, openFailed},
        {"format refused",
         [](TVirtualWaveDevice& device, TWaveReader&) { device.RefuseFormat(true); }, openFailed},
        {"device does not start",
         [](TVirtualWaveDevice& device, TWaveReader&) { device.FailInputStart(true); }, openFailed},
        {"no format selected",
         [](TVirtualWaveDevice&, TWaveReader& reader) { reader.SetWaveType(wfNone); }, openFailed},
        {"buffers too large",
         [](TVirtualWaveDevice&, TWaveReader& reader) {
             reader.SetWaveType(wf44Khz_Stereo_16Bit);
             reader.SampleCount = 1 << 30;
         },
         QStringLiteral("Not enough memory for the delay buffers")},
    };
    for (const TStartFailure& failure : failures) {
        TVirtualWaveDevice device;
        SetWaveDeviceFactory(&device);
        TWaveReader reader;
        failure.Arrange(device, reader);
        try {
            reader.Start();
            ADD_FAILURE() << failure.Name << ": Start did not raise";
        } catch (const Exception& exception) {
            EXPECT_EQ(exception.Message(), failure.Message) << failure.Name;
        }
        EXPECT_FALSE(reader.Running()) << failure.Name;
        EXPECT_EQ(reader.PendingCount(), 0) << failure.Name;
        EXPECT_FALSE(device.InputOpen()) << failure.Name;
        reader.Stop();
        SetWaveDeviceFactory(&Device);
    }
}

TEST_F(WaveReaderTest, NonPositiveSampleCountIsARangeError) {
    TWaveReader reader;
    reader.SampleCount = 0;
    EXPECT_THROW(reader.Start(), ERangeError);
    EXPECT_FALSE(Device.InputOpen());
}

// An input lost during capture raises OnFault, on the main thread and only while running; Stop
// still gets every buffer back, and Start works again once the device is back.
TEST_F(WaveReaderTest, LostInputRaisesOnFaultAndStopStillReturns) {
    TWaveReader reader;
    reader.SetWaveType(wf11Khz_Mono_8Bit);
    reader.SampleCount = 100;
    std::vector<TWaveResult> faults;
    int buffers = 0;
    reader.OnFault = [&](QObject* sender, TWaveResult code) {
        EXPECT_EQ(sender, &reader);
        faults.push_back(code);
    };
    reader.OnWaveIn = [&](QObject*, void*, int32_t, const TWaveDataFormat&) { ++buffers; };
    reader.Start();
    Device.Advance(150);
    Device.LoseInput();
    EXPECT_TRUE(faults.empty()) << "raised outside the main thread's events";
    QCoreApplication::processEvents();
    EXPECT_EQ(faults, std::vector<TWaveResult>{WaveErrorNoDriver});
    Device.Advance(500);
    EXPECT_EQ(buffers, 1);

    reader.Stop();
    EXPECT_EQ(faults.size(), 1u);
    EXPECT_EQ(reader.PendingCount(), 0);
    EXPECT_FALSE(Device.InputOpen());
    try {
        reader.Start();
        ADD_FAILURE() << "Start on a lost input did not raise";
    } catch (const Exception& exception) {
        EXPECT_EQ(exception.Message(), QStringLiteral("Failed to open input device"));
    }
    Device.RestoreDevice();
    reader.Start();
    Device.Advance(100);
    EXPECT_EQ(buffers, 6);
    EXPECT_EQ(faults.size(), 1u);
    reader.Stop();
}

// A buffer that comes back after the loss cannot be queued again: that raises OnFault too,
// before the loss itself is told, and Stop waits only for the buffers the device still holds.
TEST_F(WaveReaderTest, BufferTheLostInputRefusesBackRaisesOnFault) {
    TWaveReader reader;
    reader.SetWaveType(wf11Khz_Mono_8Bit);
    reader.SampleCount = 100;
    std::vector<TWaveResult> faults;
    // How many faults each buffer's event saw raised before it.
    std::vector<size_t> faultsBefore;
    reader.OnFault = [&](QObject*, TWaveResult code) { faults.push_back(code); };
    reader.OnWaveIn = [&](QObject*, void*, int32_t, const TWaveDataFormat&) {
        faultsBefore.push_back(faults.size());
    };
    reader.Start();
    Device.Advance(100, TPump::Never);
    Device.LoseInput();
    QCoreApplication::processEvents();
    EXPECT_EQ(faultsBefore, std::vector<size_t>{0});
    EXPECT_EQ(faults, std::vector<TWaveResult>(2, WaveErrorNoDriver));
    EXPECT_EQ(reader.PendingCount(), 3);
    reader.Stop();
    EXPECT_EQ(faultsBefore, (std::vector<size_t>{0, 2, 2, 2}));
    EXPECT_EQ(faults.size(), 2u);
    EXPECT_EQ(reader.PendingCount(), 0);
    EXPECT_FALSE(Device.InputOpen());
}

// Buffers the main thread holds too long leave the input with none to fill: the reader
// reports each loss; buffers handed back in time report none.
TEST_F(WaveReaderTest, OverrunsCountInputLostForWantOfBuffers) {
    Device.SetPeriodFrames(100);
    TWaveReader reader;
    reader.SetWaveType(wf11Khz_Mono_8Bit);
    reader.SampleCount = 100;
    EXPECT_EQ(reader.Overruns(), 0u);
    reader.Start();
    Device.Advance(1000);
    EXPECT_EQ(reader.Overruns(), 0u);
    // Four periods fill the four buffers, the next three find none.
    Device.Advance(700, TPump::Never);
    EXPECT_EQ(reader.Overruns(), 3u);
    QCoreApplication::processEvents();
    Device.Advance(1000);
    EXPECT_EQ(reader.Overruns(), 3u);
    reader.Stop();
    // Still readable after the run, until the next one starts.
    EXPECT_EQ(reader.Overruns(), 3u);
    reader.Start();
    EXPECT_EQ(reader.Overruns(), 0u);
    reader.Stop();
}

// An owner that destroys a running reader without Stop still leaves no device open.
TEST_F(WaveReaderTest, DestroyingARunningReaderClosesTheDevice) {
    {
        TWaveReader reader;
        reader.SetWaveType(wf11Khz_Mono_8Bit);
        reader.Start();
        Device.Advance(300);
        EXPECT_TRUE(Device.InputOpen());
    }
    EXPECT_FALSE(Device.InputOpen());
}

} // namespace
