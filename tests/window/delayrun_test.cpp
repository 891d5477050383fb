#include "appfixture.h"

#include "controls/degspin.h"
#include "controls/gauges.h"
#include "controls/onoffbox.h"
#include "window/oscopepanel.h"

#include "audio/wavelib.h"
#include "audio/wavestream.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <cmath>
#include <unistd.h>
#include <vector>

namespace {

using DelayRunTest = AppTest;
using TPump = TVirtualWaveDevice::TPump;

constexpr TWaveDataFormat Mono8{11025, 1, 1};
constexpr TWaveDataFormat Stereo16{44100, 2, 2};
constexpr int Stereo16Index = 11;
// Far more than the few health checks (200 ms apart) a silent loss takes to be found.
constexpr qint64 HealthLimitMs = 5000;

QString Grouped(qulonglong value) {
    return QLocale::system().toString(value);
}

double Seconds(double s) {
    return s / 3600.0;
}

// As the operator picks a format in the list.
void ChooseFormat(TMainWindow& window, int index) {
    window.View().FormatCombo->setCurrentIndex(index);
    emit window.View().FormatCombo->activated(index);
}

TEST(DelayLimitTest, KeepsFourBuffersWithinHalfTheMemoryAndOneWithin32Bits) {
    EXPECT_EQ(MemoryBudgetFor(OneGiB), 536870912u);
    // Far beyond 32 bits the halving still holds.
    EXPECT_EQ(MemoryBudgetFor(uint64_t(24) << 30), uint64_t(12) << 30);

    struct Case {
        uint64_t budget;
        TWaveDataFormat format;
        double hours;
    };
    const Case cases[] = {
        {536870912, Mono8, 536870912.0 / 44100 / 3600},
        {536870912, Stereo16, 536870912.0 / 705600 / 3600},
        {0, Mono8, 0},
        // 12 GiB would allow 3 GiB buffers: one buffer stays within 2^31 - 1 bytes instead.
        {uint64_t(12) << 30, Mono8, 2147483647.0 / 11025 / 3600},
        {uint64_t(12) << 30, Stereo16, 2147483647.0 / 176400 / 3600},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(DelayLimitHours(c.budget, c.format), c.hours) << c.budget;
    EXPECT_NEAR(DelayLimitHours(536870912, Mono8), 3.3817, 1e-4);
    EXPECT_EQ(DelayLimitHours(OneGiB, TWaveDataFormat{}), 0.0);
}

TEST(AvailableMemoryTest, ReadsAFigureBetweenNothingAndThePhysicalMemory) {
    const uint64_t available = AvailableMemoryBytes();
    EXPECT_GT(available, uint64_t(0));
    EXPECT_LE(available, uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGE_SIZE)));
}

// A cgroup's memory.max less memory.current binds, on the process's group or any above it.
TEST(AvailableMemoryTest, CgroupLimitsOnTheGroupOrAboveBind) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const auto write = [&](const QString& group, const char* max, const char* current) {
        ASSERT_TRUE(QDir(root.path()).mkpath(root.path() + group));
        QFile maxFile(root.path() + group + "/memory.max");
        ASSERT_TRUE(maxFile.open(QIODevice::WriteOnly));
        maxFile.write(max);
        QFile currentFile(root.path() + group + "/memory.current");
        ASSERT_TRUE(currentFile.open(QIODevice::WriteOnly));
        currentFile.write(current);
    };
    write("/a", "max\n", "100\n");
    write("/a/b", "5000\n", "1000\n");
    write("/a/b/c", "max\n", "10\n");
    write("/full", "100\n", "300\n");
    const struct {
        const char* ProcCgroup;
        uint64_t Room;
    } rows[] = {
        {"0::/a/b/c\n", 4000},
        {"0::/a\n", UINT64_MAX},
        {"0::/full\n", 0},
        // cgroup v1 only: no limit read.
        {"4:memory:/a/b\n", UINT64_MAX},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CgroupRoomBytes(root.path(), row.ProcCgroup), row.Room) << row.ProcCgroup;
}

TEST(NoFormatMessageTest, NamesARateNoFormatHas) {
    const QString none = QStringLiteral(
        "No audio format to play: the input device offers none of the formats in the list");
    EXPECT_EQ(NoFormatMessage(0), none);
    EXPECT_EQ(NoFormatMessage(48000), none);
    EXPECT_EQ(NoFormatMessage(96000),
              QStringLiteral("No audio format to play: the JACK server runs at 96000 Hz, and "
                             "Lagvane plays 11025, 22050, 44100 or 48000 Hz. Restart the server "
                             "at one of these rates."));
}

TEST_F(DelayRunTest, MemoryDisplayShowsHalfTheAvailableMemoryIn64Bits) {
    TMainWindow& window = MakeWindow(uint64_t(64) << 30);
    EXPECT_EQ(window.Station().MemoryBudget, uint64_t(32) << 30);
    EXPECT_EQ(window.View().MemoryDis->Caption(), Grouped(34359738368ull));
}

TEST_F(DelayRunTest, LargeMemoryKeepsEveryBufferSizeWithin32Bits) {
    TMainWindow& window = MakeWindow(uint64_t(64) << 30);
    for (int index = 0; index < window.View().FormatCombo->count(); ++index) {
        ChooseFormat(window, index);
        window.View().DelayTimeSpin->SetDegrees(window.View().DelayTimeSpin->MaxValue());
        TWaveDataFormat format{};
        window.View().Capture->GetFormat(format);
        // The longest delay's sizes, worked out in 64 bits, fit 32 and are what the window uses.
        const double seconds = window.View().DelayTimeSpin->Degrees() * 3600.0;
        const auto frames = int64_t(std::trunc(seconds * format.SamplesPerSec));
        const auto bytes = int64_t(
            std::trunc(seconds * format.SamplesPerSec * format.BytesPerSample * format.Channels));
        EXPECT_LE(bytes, int64_t(INT32_MAX)) << index;
        EXPECT_GT(bytes, int64_t(INT32_MAX) - 2 * 176400) << index;
        EXPECT_EQ(window.Station().BufferBytes(), bytes) << index;
        EXPECT_EQ(window.Station().BufferFrames(), frames) << index;
    }
}

TEST_F(DelayRunTest, BufferSizeShowsFramesThenBytesOfOneDelay) {
    TMainWindow& window = MakeWindow();
    struct Case {
        int formatIndex;
        double hours;
        qulonglong frames;
        qulonglong bytes;
    };
    const Case cases[] = {
        {0, 1.0, 39690000, 39690000},
        {Stereo16Index, 7.5 / 60, 19845000, 79380000},
        {0, Seconds(0.1), 1102, 1102},
    };
    for (const Case& c : cases) {
        ChooseFormat(window, c.formatIndex);
        window.View().DelayTimeSpin->SetDegrees(c.hours);
        EXPECT_EQ(window.Station().BufferFrames(), int32_t(c.frames));
        EXPECT_EQ(window.Station().BufferBytes(), int32_t(c.bytes));
        EXPECT_EQ(window.View().BufferSizeDis->Caption(),
                  Grouped(c.frames) + QStringLiteral(" / ") + Grouped(c.bytes));
    }
}

TEST_F(DelayRunTest, LargerFormatLowersTheDelayToItsLimit) {
    TMainWindow& window = MakeWindow();
    window.View().DelayTimeSpin->SetDegrees(3.0);
    EXPECT_DOUBLE_EQ(window.View().DelayTimeSpin->Degrees(), 3.0);
    ChooseFormat(window, Stereo16Index);
    const double limit = 536870912.0 / 705600 / 3600;
    EXPECT_LE(window.View().DelayTimeSpin->Degrees(), limit);
    EXPECT_GT(window.View().DelayTimeSpin->Degrees(), limit - Seconds(0.1));
    EXPECT_LE(4 * int64_t(window.Station().BufferBytes()), int64_t(window.Station().MemoryBudget));
    EXPECT_EQ(window.View().BufferSizeDis->Caption(), Grouped(window.Station().BufferFrames()) +
                                                          QStringLiteral(" / ") +
                                                          Grouped(window.Station().BufferBytes()));
}

TEST_F(DelayRunTest, ProgramSelectionOfAFormatRunsNoChangeHandler) {
    TMainWindow& window = MakeWindow();
    const QString before = window.View().BufferSizeDis->Caption();
    window.View().FormatCombo->setCurrentIndex(Stereo16Index);
    EXPECT_EQ(window.View().BufferSizeDis->Caption(), before);
}

TEST_F(DelayRunTest, CountDownOfTwoAndAHalfSecondsStopsAtTheThirdTick) {
    TMainWindow& window = MakeWindow();
    window.View().DelayTimeSpin->SetDegrees(Seconds(2.5));
    window.View().PlayBtn->click();
    EXPECT_TRUE(window.View().CountDownTimer->isActive());
    EXPECT_EQ(window.View().CountDownDis->Caption(), QStringLiteral("0:00:02"));
    const char* afterTick[] = {"0:00:01", "0:00:00", "0:00:00"};
    for (int tick = 0; tick < 3; ++tick) {
        window.Station().OnCountDownTick();
        EXPECT_EQ(window.View().CountDownDis->Caption(), QString::fromUtf8(afterTick[tick]))
            << tick;
        EXPECT_EQ(window.View().CountDownTimer->isActive(), tick < 2) << tick;
    }
    EXPECT_EQ(window.Station().CountDownSecs, 0.0);
}

TEST_F(DelayRunTest, PlayGreysOutDelayAndFormatAndStopBringsThemBack) {
    TMainWindow& window = MakeWindow();
    window.View().PlayBtn->click();
    EXPECT_TRUE(window.View().PlayBtn->isChecked());
    EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Stop"));
    EXPECT_FALSE(window.View().DelayTimeSpin->isEnabled());
    EXPECT_FALSE(window.View().FormatCombo->isEnabled());
    EXPECT_TRUE(Device.InputStarted());
    EXPECT_TRUE(Device.OutputOpen());

    window.View().PlayBtn->click();
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
    EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Play"));
    EXPECT_TRUE(window.View().DelayTimeSpin->isEnabled());
    EXPECT_TRUE(window.View().FormatCombo->isEnabled());
    EXPECT_FALSE(window.View().CountDownTimer->isActive());
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());
    EXPECT_TRUE(Errors.isEmpty());
}

TEST_F(DelayRunTest, PlayPressedWhileAStopDrainsTheDevicesStartsNothing) {
    TMainWindow& window = MakeWindow();
    window.View().PlayBtn->click();
    // Runs inside the stop's event pumping, while the capture buffers come back.
    bool pressedDuringStop = false;
    QTimer::singleShot(0, &window, [&] {
        pressedDuringStop = true;
        window.View().PlayBtn->click();
    });
    window.View().PlayBtn->click();
    ASSERT_TRUE(pressedDuringStop);
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
    EXPECT_TRUE(window.View().PlayBtn->isEnabled());
    EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Play"));
    EXPECT_FALSE(window.View().CountDownTimer->isActive());
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());
    EXPECT_TRUE(Errors.isEmpty());
}

// A ramp that never repeats within the test, so any shift, loss or repeat shows.
QByteArray Ramp8(int frames) {
    QByteArray bytes(frames, '\0');
    for (int i = 0; i < frames; ++i)
        bytes[i] = char((i * 7 + i / 256) & 0xFF);
    return bytes;
}

TEST_F(DelayRunTest, OutputIsTheInputExactlyOneDelayLater) {
    TMainWindow& window = MakeWindow();
    window.View().DelayTimeSpin->SetDegrees(Seconds(0.1));
    const int delayFrames = window.Station().BufferFrames();
    ASSERT_EQ(delayFrames, 1102);
    const QByteArray input = Ramp8(delayFrames * 5);
    window.View().PlayBtn->click();
    Device.FeedInput(input.constData(), size_t(input.size()));
    Device.Advance(input.size());
    const QByteArray output = Device.TakeOutput();
    ASSERT_EQ(output.size(), input.size());
    EXPECT_EQ(output.left(delayFrames), QByteArray(delayFrames, char(128)));
    EXPECT_EQ(output.mid(delayFrames), input.left(input.size() - delayFrames));
    EXPECT_EQ(window.View().FramesDis->Caption(), QStringLiteral("5"));
    EXPECT_EQ(window.View().PendingDis->Caption(), QStringLiteral("3"));
    EXPECT_EQ(window.View().FramesDis->toolTip(),
              QStringLiteral("Input overruns: 0, output underruns: 0"));

    // Stopping keeps the last counts on show.
    window.View().PlayBtn->click();
    EXPECT_EQ(window.View().FramesDis->Caption(), QStringLiteral("5"));
    EXPECT_EQ(window.View().PendingDis->Caption(), QStringLiteral("3"));
    EXPECT_TRUE(Errors.isEmpty());
}

TEST_F(DelayRunTest, LevelMeterFollowsEachBufferOnlyWhileTicked) {
    TMainWindow& window = MakeWindow();
    const int frames = window.Station().BufferFrames();
    const QByteArray loud(frames, char(192));
    window.View().PlayBtn->click();
    Device.FeedInput(loud.constData(), size_t(loud.size()));
    Device.Advance(frames);
    EXPECT_EQ(window.View().LeftVU->Progress(), 0);
    EXPECT_TRUE(window.View().LeftPeak->BoxOn());

    window.View().VUMeterChk->setChecked(true);
    Device.FeedInput(loud.constData(), size_t(loud.size()));
    Device.Advance(frames);
    EXPECT_EQ(window.View().LeftVU->Progress(), 1000);
    EXPECT_FALSE(window.View().LeftPeak->BoxOn());
    EXPECT_EQ(window.View().RightVU->Progress(), 0);
    EXPECT_TRUE(window.View().RightPeak->BoxOn());
}

TEST_F(DelayRunTest, ScopeFitsTheBufferAndDrawsEachBufferOnlyWhileShown) {
    TMainWindow& window = MakeWindow();
    const int frames = window.Station().BufferFrames();
    TGraphBox& left = *window.View().OscopePanel->LeftGraph;
    EXPECT_EQ(left.XAxis()->Max(), frames - 1);
    window.View().DelayTimeSpin->SetDegrees(Seconds(0.2));
    EXPECT_EQ(left.XAxis()->Max(), window.Station().BufferFrames() - 1);

    const QByteArray tone(window.Station().BufferFrames(), char(160));
    window.View().PlayBtn->click();
    Device.FeedInput(tone.constData(), size_t(tone.size()));
    Device.Advance(tone.size());
    EXPECT_EQ(left.PointCount(), 0);
    window.View().OscopeChk->click();
    Device.FeedInput(tone.constData(), size_t(tone.size()));
    Device.Advance(tone.size());
    EXPECT_EQ(left.PointCount(), window.Station().BufferFrames());
}

// Memory taken by others since the delay was sized: the start is refused before anything opens,
// rather than the buffers being committed into a shortage.
TEST_F(DelayRunTest, StartIsRefusedWhenTheMemoryHasGoneSince) {
    TMainWindow& window = MakeWindow();
    window.View().DelayTimeSpin->SetDegrees(Seconds(10));
    AvailableMemory = 4 * uint64_t(window.Station().BufferBytes()) * 2 - 1;
    window.View().PlayBtn->click();
    EXPECT_EQ(Errors, QStringList{QStringLiteral("Not enough memory for the delay buffers")});
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());
    AvailableMemory += 1;
    window.View().PlayBtn->click();
    EXPECT_TRUE(window.View().PlayBtn->isChecked());
    EXPECT_TRUE(Device.InputStarted());
}

struct StartFault {
    const char* name;
    void (*inject)(TVirtualWaveDevice&);
    const char* message;
};

void PrintTo(const StartFault& c, std::ostream* out) {
    *out << c.name;
}

class StartFaultTest : public AppTest, public testing::WithParamInterface<StartFault> {};

TEST_P(StartFaultTest, FailedStartIsShownAndFullyUndone) {
    TMainWindow& window = MakeWindow();
    window.View().DelayTimeSpin->SetDegrees(Seconds(2.5));
    GetParam().inject(Device);
    window.View().PlayBtn->click();
    EXPECT_EQ(Errors, QStringList{QString::fromUtf8(GetParam().message)});
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
    EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Play"));
    EXPECT_FALSE(window.View().CountDownTimer->isActive());
    EXPECT_EQ(window.View().CountDownDis->Caption(), QString());
    EXPECT_TRUE(window.View().DelayTimeSpin->isEnabled());
    EXPECT_TRUE(window.View().FormatCombo->isEnabled());
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());

    // The next press starts cleanly once the fault is gone.
    Device.RefuseFormat(false);
    Device.FailOutputOpen(false);
    Device.FailInputOpen(false);
    Device.FailInputStart(false);
    window.View().PlayBtn->click();
    EXPECT_TRUE(window.View().PlayBtn->isChecked());
    EXPECT_TRUE(Device.InputStarted());
    EXPECT_TRUE(Device.OutputOpen());
    EXPECT_EQ(Errors.size(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StartFaultTest,
    testing::Values(StartFault{"RefusedFormat", [](TVirtualWaveDevice& d) { d.RefuseFormat(true); },
                               "Can't play format"},
                    StartFault{"OutputOpen", [](TVirtualWaveDevice& d) { d.FailOutputOpen(true); },
                               "Failed to open output device"},
                    StartFault{"InputOpen", [](TVirtualWaveDevice& d) { d.FailInputOpen(true); },
                               "Failed to open input device"},
                    StartFault{"InputStart", [](TVirtualWaveDevice& d) { d.FailInputStart(true); },
                               "Failed to open input device"}),
    [](const testing::TestParamInfo<StartFault>& info) { return std::string(info.param.name); });

void ExpectIdle(TMainWindow& window, const TVirtualWaveDevice& device) {
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
    EXPECT_TRUE(window.View().PlayBtn->isEnabled());
    EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Play"));
    EXPECT_FALSE(window.View().CountDownTimer->isActive());
    EXPECT_TRUE(window.View().DelayTimeSpin->isEnabled());
    EXPECT_TRUE(window.View().FormatCombo->isEnabled());
    EXPECT_FALSE(device.InputOpen());
    EXPECT_FALSE(device.OutputOpen());
    EXPECT_EQ(PlaybackPending(), 0);
    EXPECT_EQ(window.View().Capture->PendingCount(), 0);
}

struct RunFault {
    const char* name;
    void (*inject)(TVirtualWaveDevice&);
    // Either device may be the first to tell when both fail.
    std::vector<const char*> messages;
};

void PrintTo(const RunFault& c, std::ostream* out) {
    *out << c.name;
}

class RunFaultTest : public AppTest, public testing::WithParamInterface<RunFault> {};

TEST_P(RunFaultTest, StopsTheRunCleanlyWithOneMessageAndPlayWorksOnceTheDeviceIsBack) {
    TMainWindow& window = MakeWindow();
    const int frames = window.Station().BufferFrames();
    window.View().PlayBtn->click();
    Device.Advance(2 * frames);
    ASSERT_EQ(window.View().FramesDis->Caption(), QStringLiteral("2"));

    GetParam().inject(Device);
    Device.Advance(2 * frames);
    HandleEvents();
    ASSERT_EQ(Errors.size(), 1);
    QStringList expected;
    for (const char* message : GetParam().messages)
        expected << QString::fromUtf8(message);
    EXPECT_TRUE(expected.contains(Errors[0])) << Errors[0].toStdString();
    ExpectIdle(window, Device);
    // Nothing more is told, whatever the devices do now.
    Device.Advance(2 * frames);
    HandleEvents();
    EXPECT_EQ(Errors.size(), 1);

    Device.RestoreDevice();
    Device.FailWrites(WaveNoError);
    Device.TakeOutput();
    const QByteArray input = Ramp8(frames * 3);
    window.View().PlayBtn->click();
    EXPECT_TRUE(window.View().PlayBtn->isChecked());
    Device.FeedInput(input.constData(), size_t(input.size()));
    Device.Advance(input.size());
    const QByteArray output = Device.TakeOutput();
    EXPECT_EQ(output.mid(frames), input.left(input.size() - frames));
    EXPECT_EQ(window.View().FramesDis->Caption(), QStringLiteral("3"));
    EXPECT_EQ(Errors.size(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RunFaultTest,
    testing::Values(
        RunFault{"InputLost",
                 [](TVirtualWaveDevice& d) { d.LoseInput(); },
                 {"The input device stopped: it is no longer available. The run has been "
                  "stopped."}},
        RunFault{"OutputLost",
                 [](TVirtualWaveDevice& d) { d.LoseOutput(); },
                 {"The output device stopped: it is no longer available. The run has been "
                  "stopped."}},
        RunFault{"CardLost",
                 [](TVirtualWaveDevice& d) { d.LoseDevice(); },
                 {"The input device stopped: it is no longer available. The run has been "
                  "stopped.",
                  "The output device stopped: it is no longer available. The run has been "
                  "stopped."}},
        RunFault{"WriteRefused",
                 [](TVirtualWaveDevice& d) { d.FailWrites(WaveErrorNoMemory); },
                 {"The output device stopped: it refused a buffer (7 Unable to allocate or lock "
                  "memory). The run has been stopped."}}),
    [](const testing::TestParamInfo<RunFault>& info) { return std::string(info.param.name); });

struct TSilentFault {
    const char* Name;
    // The card's host, steady as a real one: quiet for long means it hung.
    bool Steady;
    void (*Inject)(TVirtualWaveDevice&);
    std::vector<const char*> Messages;
    // The host called the streams before the fault: a quiet one counts as hung sooner than one
    // whose server never linked it.
    bool CalledFirst = true;
};

class SilentFaultTest : public AppTest, public testing::WithParamInterface<TSilentFault> {};

// A host that leaves the input inactive and tells nobody, or one that stops calling at all (a
// hung or vanished server): the streams' health check and watchdog, on the wall clock, find it
// within a second, or within the first call's grace where the host never called, and the run
// stops as for any lost device.
TEST_P(SilentFaultTest, IsFoundWithinASecondAndStopsTheRun) {
    const TSilentFault& fault = GetParam();
    Device.SetSteady(fault.Steady);
    TMainWindow& window = MakeWindow();
    const int frames = window.Station().BufferFrames();
    window.View().PlayBtn->click();
    if (fault.CalledFirst) {
        Device.Advance(2 * frames);
        fault.Inject(Device);
        Device.Advance(2 * frames);
    }
    HandleEvents();
    ASSERT_TRUE(Errors.isEmpty());
    ASSERT_TRUE(window.View().PlayBtn->isChecked());

    QElapsedTimer clock;
    clock.start();
    while (Errors.isEmpty() && clock.elapsed() < HealthLimitMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    ASSERT_EQ(Errors.size(), 1);
    if (fault.CalledFirst) {
        EXPECT_LT(clock.elapsed(), 1000);
    } else {
        EXPECT_GE(clock.elapsed(), TWaveStream::FirstCallMs - TWaveStream::HealthCheckMs);
        EXPECT_LT(clock.elapsed(), TWaveStream::FirstCallMs + 1000);
    }
    QStringList expected;
    for (const char* message : fault.Messages)
        expected << QString::fromUtf8(message);
    EXPECT_TRUE(expected.contains(Errors[0])) << Errors[0].toStdString();
    ExpectIdle(window, Device);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SilentFaultTest,
    testing::Values(
        TSilentFault{"InputInactive",
                     false,
                     [](TVirtualWaveDevice& d) { d.LoseInputSilently(); },
                     {"The input device stopped: it is no longer available. The run has been "
                      "stopped."}},
        TSilentFault{"ServerHung",
                     true,
                     [](TVirtualWaveDevice&) {},
                     {"The input device stopped: its sound server no longer answers. The run "
                      "has been stopped.",
                      "The output device stopped: its sound server no longer answers. The run "
                      "has been stopped."}},
        TSilentFault{"ServerNeverCalled",
                     true,
                     [](TVirtualWaveDevice&) {},
                     {"The input device stopped: its sound server no longer answers. The run "
                      "has been stopped.",
                      "The output device stopped: its sound server no longer answers. The run "
                      "has been stopped."},
                     false}),
    [](const testing::TestParamInfo<TSilentFault>& info) { return std::string(info.param.Name); });

TEST(DeviceFaultMessageTest, NamesTheDeviceAndWhyInOneSentence) {
    struct Case {
        TRunDevice device;
        TWaveResult code;
        const char* message;
    };
    const Case cases[] = {
        {TRunDevice::Input, WaveErrorNoDriver,
         "The input device stopped: it is no longer available. The run has been stopped."},
        {TRunDevice::Output, WaveErrorNoMemory,
         "The output device stopped: it failed with error 7 Unable to allocate or lock memory. "
         "The run has been stopped."},
        {TRunDevice::Input, WaveErrorUnspecified,
         "The input device stopped: it failed with error 1. The run has been stopped."},
        {TRunDevice::Output, WaveErrorOwnThreadStalled,
         "The output device stopped: Lagvane's own audio thread stalled while the sound server "
         "ran on. The run has been stopped."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DeviceFaultMessage(c.device, DeviceFaultReason(c.code)),
                  QString::fromUtf8(c.message));
}

struct TStallCase {
    const char* Name;
    // How long the main thread is held busy, in delays, after two delays of running.
    double Delays;
    // Input frames lost for want of a queued buffer, in delays.
    int LostDelays;
};

// The main thread held busy mid-run: the audio side keeps the delay whatever the window does.
// The input holds four delays of buffers; a longer stall loses the rest, counted and shown, and
// the output plays silence for the hole and then the input exactly one delay later again.
class StallTest : public AppTest, public testing::WithParamInterface<TStallCase> {};

TEST_P(StallTest, DelayStaysExactAndLossIsCountedAndShown) {
    const TStallCase& stall = GetParam();
    TMainWindow& window = MakeWindow();
    window.View().DelayTimeSpin->SetDegrees(Seconds(0.1));
    const int delay = window.Station().BufferFrames();
    Device.SetPeriodFrames(64);
    const int stallFrames = int(stall.Delays * delay);
    const QByteArray input = Ramp8(delay * 8 + stallFrames);
    Device.FeedInput(input.constData(), size_t(input.size()));
    window.View().PlayBtn->click();
    EXPECT_EQ(window.View().DropoutStatus->text(), DropoutText({}));
    Device.Advance(2 * delay);
    Device.Advance(stallFrames, TPump::Never);
    HandleEvents();
    Device.Advance(input.size() - 2 * delay - stallFrames);

    const QByteArray output = Device.TakeOutput();
    ASSERT_EQ(output.size(), input.size());
    EXPECT_EQ(output.left(delay), QByteArray(delay, char(128)));
    // Where the input lost frames the output is silent; everywhere else it is the input one
    // delay earlier.
    const int lost = stall.LostDelays * delay;
    const int holeStart = (2 + TWaveReader::BufferCount) * delay + delay;
    int mismatches = 0;
    for (int frame = delay; frame < output.size(); ++frame) {
        const bool inHole = frame >= holeStart && frame < holeStart + lost;
        const char expected = inHole ? char(128) : input[frame - delay];
        if (output[frame] != expected && ++mismatches <= 3)
            ADD_FAILURE() << "frame " << frame << " plays " << int(uint8_t(output[frame]))
                          << ", not " << int(uint8_t(expected));
    }
    EXPECT_EQ(mismatches, 0);
    // One loss, counted once: as the frames the input lost, not also as the output running dry.
    const TDropouts dropouts{uint64_t(lost), 0, 0};
    EXPECT_EQ(window.Station().Dropouts(), dropouts);
    EXPECT_EQ(window.View().DropoutStatus->text(), DropoutText(dropouts));
    EXPECT_EQ(window.View().DropoutStatus->styleSheet().contains(QStringLiteral("red")), lost > 0);
    EXPECT_EQ(window.View().FramesDis->toolTip().startsWith(QStringLiteral("Input overruns: 0")),
              lost == 0);
    // The counts stay on show once the run is over.
    window.View().PlayBtn->click();
    EXPECT_EQ(window.View().DropoutStatus->text(), DropoutText(dropouts));
    EXPECT_TRUE(Errors.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Stalls, StallTest,
                         testing::Values(TStallCase{"HalfADelay", 0.5, 0},
                                         TStallCase{"TwoDelays", 2, 0},
                                         TStallCase{"ThreeDelays", 3, 0},
                                         TStallCase{"SevenDelays", 7, 3}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(DelayRunTest, ClosingTheWindowStopsTheRunFirst) {
    TMainWindow& window = MakeWindow();
    window.show();
    window.View().PlayBtn->click();
    ASSERT_TRUE(Device.InputStarted());
    EXPECT_TRUE(window.close());
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
}

TEST_F(DelayRunTest, ExitClosesTheWindowAndStopsTheRun) {
    TMainWindow& window = MakeWindow();
    window.show();
    window.View().PlayBtn->click();
    window.View().ExitAction->trigger();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());
}

} // namespace
