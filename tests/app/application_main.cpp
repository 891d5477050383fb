// The top-level handler needs the program's own application object, so these tests bring
// their own main instead of the shared one.

#include "app/application.h"

#include "audio/devices/virtualwavedevice.h"
#include "controls/panel.h"
#include "support/errors.h"
#include "window/mainwindow.h"

#include <QCoreApplication>
#include <QEvent>
#include <QStringList>
#include <QTemporaryDir>
#include <QToolButton>
#include <functional>
#include <gtest/gtest.h>
#include <new>
#include <stdexcept>

namespace {

// Throws from its event handler whatever the test hands it.
class TThrower : public QObject {
public:
    std::function<void()> Throw;

protected:
    bool event(QEvent*) override {
        Throw();
        return true;
    }
};

class TopLevelHandlerTest : public testing::Test {
protected:
    void SetUp() override {
        Previous = SetExceptionMessageFunction([this](const QString& text) { Shown << text; });
    }
    void TearDown() override { SetExceptionMessageFunction(std::move(Previous)); }

    QStringList Shown;
    TExceptionMessageFunction Previous;
};

struct EscapeCase {
    const char* name;
    std::function<void()> raise;
    const char* message;
};

const EscapeCase Escapes[] = {
    {"Own", [] { throw Exception(QStringLiteral("Can't play format")); }, "Can't play format"},
    {"Range", [] { throw ERangeError(); }, "Range check error"},
    {"Memory", [] { throw std::bad_alloc(); }, "Out of memory"},
    {"Standard", [] { throw std::runtime_error("disk on fire"); }, "disk on fire"},
    {"Other", [] { throw 42; }, "Unknown error"},
};

TEST_F(TopLevelHandlerTest, ExceptionLeavingAnEventHandlerIsShownAndTheProgramGoesOn) {
    TThrower thrower;
    for (const EscapeCase& c : Escapes) {
        Shown.clear();
        thrower.Throw = c.raise;
        QEvent event(QEvent::User);
        EXPECT_FALSE(QCoreApplication::sendEvent(&thrower, &event)) << c.name;
        EXPECT_EQ(Shown, QStringList{QString::fromUtf8(c.message)}) << c.name;
    }
}

TEST_F(TopLevelHandlerTest, ExceptionLeavingAHandlerRunIsShown) {
    for (const EscapeCase& c : Escapes) {
        Shown.clear();
        RunHandler(c.raise);
        EXPECT_EQ(Shown, QStringList{QString::fromUtf8(c.message)}) << c.name;
    }
    bool ran = false;
    Shown.clear();
    RunHandler([&ran] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(Shown.isEmpty());
}

// A playback write the output refuses ends the run from the event loop, and its one message
// goes where the application shows errors; the next Play runs normally.
TEST_F(TopLevelHandlerTest, FailedPlaybackWriteStopsTheRunWithOneMessage) {
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    TVirtualWaveDevice device;
    SetWaveDeviceFactory(&device);
    {
        TMainWindow window([] { return uint64_t(1) << 30; });
        window.View().PlayBtn->click();
        const int frames = window.Station().BufferFrames();
        device.FailWrites(WaveErrorInvalidHandle);
        device.Advance(frames);
        QCoreApplication::processEvents();
        EXPECT_EQ(Shown, QStringList{QStringLiteral(
                             "The output device stopped: it refused a buffer (5: Specified "
                             "device handle is invalid). The run has been stopped.")});
        EXPECT_EQ(window.View().FramesDis->Caption(), QString());
        EXPECT_FALSE(window.View().PlayBtn->isChecked());
        EXPECT_FALSE(device.InputOpen());
        EXPECT_FALSE(device.OutputOpen());

        device.FailWrites(WaveNoError);
        window.View().PlayBtn->click();
        device.Advance(frames);
        EXPECT_EQ(window.View().FramesDis->Caption(), QStringLiteral("1"));
        window.View().PlayBtn->click();
        EXPECT_FALSE(device.InputOpen());
        EXPECT_EQ(Shown.size(), 1);
    }
    SetWaveDeviceFactory(nullptr);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
