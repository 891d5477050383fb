#include "tests/audio/audiotestapp.h"

#include "support/errors.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(PlaybackErrorTextTest, CodeThenItsSuffix) {
    const std::pair<uint32_t, const char*> rows[] = {
        {5, "5: Specified device handle is invalid."},
        {6, "6: No device driver is present."},
        {7, "7 Unable to allocate or lock memory."},
        {34, "34 The data block pointed to by the pwh parameter hasn''t been prepared."},
        {11, "11"},
        {0, "0"},
        {32, "32"},
        {4294967295u, "4294967295"},
    };
    for (const auto& [code, text] : rows)
        EXPECT_EQ(PlaybackErrorText(code), QString::fromLatin1(text)) << code;
}

using PlaybackTest = TVirtualDeviceTest;

QString RaisedBy(const std::function<void()>& call) {
    try {
        call();
    } catch (const Exception& exception) {
        return exception.Message();
    }
    return QString();
}

TEST_F(PlaybackTest, OpenFailures) {
    const TWaveFormat format = RecordOf(wf44Khz_Stereo_16Bit);
    Device.RefuseFormat(true);
    EXPECT_EQ(RaisedBy([&] { OpenPlayback(format); }), QStringLiteral("Can't play format"));
    EXPECT_EQ(Device.OutputOpenCount(), 0);
    Device.RefuseFormat(false);
    Device.FailOutputOpen(true);
    EXPECT_EQ(RaisedBy([&] { OpenPlayback(format); }),
              QStringLiteral("Failed to open output device"));
    EXPECT_FALSE(Device.OutputOpen());
    EXPECT_EQ(RaisedBy([&] { PlayBuffer("x", 1); }), QStringLiteral("Unable to prepare header"));
}

// Buffers play straight from the caller's memory, in order, each released as it comes back.
TEST_F(PlaybackTest, PlaysBuffersInOrder) {
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    const std::vector<uint8_t> memory = NoisePcm(300, 11);
    PlayBuffer(memory.data(), 100);
    PlayBuffer(memory.data() + 100, 150);
    PlayBuffer(memory.data() + 250, 50);
    EXPECT_EQ(PlaybackPending(), 3);
    Device.Advance(120);
    EXPECT_EQ(PlaybackPending(), 2);
    Device.Advance(280);
    EXPECT_EQ(PlaybackPending(), 0);
    const QByteArray played = Device.TakeOutput();
    EXPECT_EQ(played.left(300),
              QByteArray(reinterpret_cast<const char*>(memory.data()), qsizetype(memory.size())));
    EXPECT_EQ(played.mid(300), QByteArray(100, char(128)));
    StopPlayback();
    EXPECT_FALSE(Device.OutputOpen());
}

// Every header still queued when playback stops comes back and is released once; under the
// address sanitizer a leak or a second release fails the run.
TEST_F(PlaybackTest, StopReleasesEveryQueuedHeader) {
    OpenPlayback(RecordOf(wf22Khz_Stereo_16Bit));
    const std::vector<uint8_t> memory = NoisePcm(4000, 12);
    for (int index = 0; index < 10; ++index)
        PlayBuffer(memory.data() + index * 400, 400);
    // One played, one half played, eight waiting.
    Device.Advance(150);
    EXPECT_EQ(PlaybackPending(), 9);
    StopPlayback();
    EXPECT_EQ(PlaybackPending(), 0);
    EXPECT_EQ(Device.OutputQueued(), 0);
    EXPECT_FALSE(Device.OutputOpen());
}

// With nothing queued, StopPlayback returns after the reset without handling any event.
TEST_F(PlaybackTest, StopWithNothingQueuedDoesNotPump) {
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    bool pumped = false;
    QTimer::singleShot(0, [&] { pumped = true; });
    StopPlayback();
    EXPECT_FALSE(pumped);
    EXPECT_EQ(PlaybackPending(), 0);
    EXPECT_FALSE(Device.OutputOpen());
    QCoreApplication::processEvents();
    EXPECT_TRUE(pumped);
}

// Opening again closes the earlier device first, releasing what it still held.
TEST_F(PlaybackTest, ReopenClosesTheOldDevice) {
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    const std::vector<uint8_t> memory = NoisePcm(100, 13);
    PlayBuffer(memory.data(), 100);
    OpenPlayback(RecordOf(wf44Khz_Mono_16Bit));
    EXPECT_EQ(Device.OutputOpenCount(), 2);
    EXPECT_TRUE(Device.OutputOpen());
    EXPECT_EQ(PlaybackPending(), 0);
    EXPECT_EQ(Device.OutputQueued(), 0);
}

// A refused write raises the device's text; the buffer is neither queued nor counted.
TEST_F(PlaybackTest, RefusedWriteRaisesItsText) {
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    const std::vector<uint8_t> memory = NoisePcm(100, 14);
    PlayBuffer(memory.data(), 50);
    Device.FailWrites(WaveErrorNoMemory);
    EXPECT_EQ(RaisedBy([&] { PlayBuffer(memory.data() + 50, 50); }),
              QStringLiteral("7 Unable to allocate or lock memory."));
    EXPECT_EQ(PlaybackPending(), 1);
    EXPECT_EQ(Device.OutputQueued(), 1);
    Device.FailWrites(WaveNoError);
    Device.FailOutputPrepare(true);
    EXPECT_EQ(RaisedBy([&] { PlayBuffer(memory.data() + 50, 50); }),
              QStringLiteral("Unable to prepare header"));
    EXPECT_EQ(PlaybackPending(), 1);
    Device.FailOutputPrepare(false);
    Device.LoseDevice();
    EXPECT_EQ(RaisedBy([&] { PlayBuffer(memory.data() + 50, 50); }),
              QStringLiteral("6: No device driver is present."));
    StopPlayback();
    EXPECT_EQ(PlaybackPending(), 0);
}

// An output lost while playing raises the fault event once, on the main thread; the stop still
// releases every header, and the event is quiet once it is removed.
TEST_F(PlaybackTest, LostOutputRaisesTheFaultEventOnce) {
    std::vector<TWaveResult> faults;
    const TPlaybackFaultEvent previous =
        SetPlaybackFaultEvent([&](TWaveResult code) { faults.push_back(code); });
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    const std::vector<uint8_t> memory = NoisePcm(300, 16);
    for (int index = 0; index < 3; ++index)
        PlayBuffer(memory.data() + index * 100, 100);
    Device.Advance(150);
    Device.LoseOutput();
    EXPECT_TRUE(faults.empty()) << "raised outside the main thread's events";
    QCoreApplication::processEvents();
    EXPECT_EQ(faults, std::vector<TWaveResult>{WaveErrorNoDriver});
    Device.Advance(300);
    EXPECT_EQ(PlaybackPending(), 2);
    EXPECT_EQ(RaisedBy([&] { PlayBuffer(memory.data(), 100); }),
              QStringLiteral("6: No device driver is present."));
    StopPlayback();
    EXPECT_EQ(PlaybackPending(), 0);
    EXPECT_EQ(faults.size(), 1u);

    Device.RestoreDevice();
    SetPlaybackFaultEvent(previous);
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    PlayBuffer(memory.data(), 100);
    Device.LoseOutput();
    QCoreApplication::processEvents();
    EXPECT_EQ(faults.size(), 1u);
}

// The underruns of the output opened last stay readable once it is closed, until the next open.
TEST_F(PlaybackTest, UnderrunsOutliveTheOutputUntilTheNextOpen) {
    EXPECT_EQ(PlaybackUnderruns(), 0u);
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    const std::vector<uint8_t> memory = NoisePcm(100, 17);
    for (int round = 0; round < 2; ++round) {
        PlayBuffer(memory.data(), 100);
        Device.Advance(200);
    }
    EXPECT_EQ(PlaybackUnderruns(), 2u);
    StopPlayback();
    EXPECT_EQ(PlaybackUnderruns(), 2u);
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    EXPECT_EQ(PlaybackUnderruns(), 0u);
}

TEST_F(PlaybackTest, NegativeLengthIsARangeError) {
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    EXPECT_THROW(PlayBuffer("x", -1), ERangeError);
    EXPECT_EQ(PlaybackPending(), 0);
}

// The waiting form returns once the device has played the buffer, pumping events meanwhile.
TEST_F(PlaybackTest, WaitingQueueReturnsOncePlayed) {
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    const std::vector<uint8_t> memory = NoisePcm(200, 15);
    PlayBuffer(memory.data(), 100);
    QTimer::singleShot(0, [&] { Device.Advance(250); });
    QueuePlayback(memory.data() + 100, 100, true);
    EXPECT_EQ(PlaybackPending(), 0);
    EXPECT_EQ(Device.TakeOutput().left(200),
              QByteArray(reinterpret_cast<const char*>(memory.data()), 200));
}

TEST_F(PlaybackTest, DoneIgnoresOtherMessages) {
    OpenPlayback(RecordOf(wf11Khz_Mono_8Bit));
    PlayBuffer("abc", 3);
    PlaybackDone(nullptr, 0x3BB, 0, 0, 0);
    PlaybackDone(nullptr, 0x3BC, 0, 0, 0);
    EXPECT_EQ(PlaybackPending(), 1);
    StopPlayback();
}

// The sound settings tool is found on PATH and started without waiting for it.
class SoundControlPanelTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Folder.isValid());
        SavedPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(Folder.path()));
        ShownMessages().clear();
    }
    void TearDown() override { qputenv("PATH", SavedPath); }

    QTemporaryDir Folder;
    QByteArray SavedPath;
};

TEST_F(SoundControlPanelTest, NoToolInstalledSaysSo) {
    OpenSoundControlPanel();
    ASSERT_EQ(ShownMessages().size(), 1);
    EXPECT_TRUE(ShownMessages()[0].contains(QStringLiteral("pavucontrol")));
}

TEST_F(SoundControlPanelTest, StartsTheToolWithoutWaiting) {
    // The tool blocks on a fifo until the test writes to it, which the test only does after
    // OpenSoundControlPanel returned; opening the fifo's other end proves the tool started.
    const QString fifo = Folder.filePath(QStringLiteral("gate"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QFile tool(Folder.filePath(QStringLiteral("pavucontrol")));
    ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
    tool.write("#!/bin/sh\nread line < '" + QFile::encodeName(fifo) + "'\n");
    tool.close();
    tool.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    OpenSoundControlPanel();
    EXPECT_TRUE(ShownMessages().isEmpty());
    const int gate = ::open(QFile::encodeName(fifo).constData(), O_WRONLY);
    ASSERT_GE(gate, 0);
    EXPECT_EQ(::write(gate, "\n", 1), 1);
    ::close(gate);
}

} // namespace
