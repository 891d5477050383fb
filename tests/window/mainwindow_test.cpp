#include "appfixture.h"

#include "controls/degspin.h"
#include "controls/gauges.h"
#include "controls/onoffbox.h"
#include "support/conversions.h"
#include "window/groupbox.h"
#include "window/helpbridge.h"
#include "window/oscopepanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QToolButton>

namespace {

using MainWindowTest = AppTest;

QString Caption(const QWidget* widget) {
    if (const auto* panel = dynamic_cast<const TPanel*>(widget))
        return panel->Caption();
    if (const auto* box = dynamic_cast<const TGroupBox*>(widget))
        return box->Caption();
    if (const auto* label = dynamic_cast<const QLabel*>(widget))
        return label->text();
    if (const auto* button = dynamic_cast<const QAbstractButton*>(widget))
        return button->text();
    return {};
}

TEST_F(MainWindowTest, PlacesEveryControlWhereTheLayoutPutsIt) {
    TMainWindow& window = MakeWindow();
    window.show();
    struct Case {
        const char* name;
        QRect bounds;
        const char* caption;
    };
    const Case cases[] = {
        {"MainPanel", {0, 0, 463, 265}, ""},
        {"SettingGroup", {8, 8, 177, 249}, "Setting"},
        {"PlayOnStartChk", {8, 16, 97, 17}, "Play On Start"},
        {"FormatCombo", {8, 52, 153, 21}, ""},
        {"DelayTimeSpin", {8, 95, 152, 50}, ""},
        {"BufferSizeDis", {9, 171, 153, 21}, nullptr},
        {"MemoryDis", {9, 211, 153, 21}, nullptr},
        {"PlaybackGroup", {192, 8, 185, 161}, "Playback"},
        {"LiveInStrip", {8, 19, 169, 20}, " Live In:"},
        {"CountDownDis", {87, 1, 81, 18}, ""},
        {"PendingBuffersStrip", {8, 56, 169, 20}, " Pending Buffers: "},
        {"PendingDis", {87, 1, 81, 18}, ""},
        {"FramesStrip", {8, 94, 169, 21}, " Frames:"},
        {"FramesDis", {87, 1, 81, 19}, ""},
        {"PlayBtn", {8, 124, 169, 29}, "Play"},
        {"ExitBtn", {301, 175, 76, 26}, "Exit"},
        {"CoughBtn", {301, 205, 76, 26}, "Cough"},
        {"OscopeChk", {192, 240, 137, 17}, "Show Osciloscope"},
        {"LevelMeterPanel", {415, 1, 47, 263}, ""},
        {"VUSwitchPanel", {1, 238, 45, 24}, ""},
        {"VUMeterChk", {6, 4, 44, 17}, "VU"},
        {"ChannelsPanel", {1, 1, 45, 237}, ""},
        {"LeftChannelPanel", {2, 2, 17, 233}, ""},
        {"LeftPeak", {1, 1, 15, 26}, "ok"},
        {"LeftVU", {1, 27, 15, 205}, nullptr},
        {"RightChannelPanel", {26, 2, 17, 233}, ""},
        {"RightPeak", {1, 1, 15, 26}, "ok"},
        {"RightVU", {1, 27, 15, 205}, nullptr},
    };
    // Found by object name, as a debugger or an accessibility tool sees the widget tree.
    for (const Case& c : cases) {
        const QWidget* widget = window.findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(widget, nullptr) << c.name;
        EXPECT_EQ(widget->geometry(), c.bounds) << c.name;
        if (c.caption) {
            EXPECT_EQ(Caption(widget), QString::fromUtf8(c.caption)) << c.name;
        }
    }
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Lagvane"));
    const auto labelText = [&window](const char* name) {
        return window.findChild<QLabel*>(QString::fromLatin1(name))->text();
    };
    EXPECT_EQ(labelText("DataFormatLabel"), QStringLiteral("Data Format"));
    EXPECT_EQ(labelText("BufferSizeLabel"), QStringLiteral("Buffer Size"));
    EXPECT_EQ(labelText("AvailableMemoryLabel"), QStringLiteral("Available Memory"));
    EXPECT_EQ(window.View().DelayTimeSpin->UnitsString(), QStringLiteral("Hours"));
    EXPECT_EQ(window.View().LeftVU->MaxValue(), 1000);
    EXPECT_EQ(window.View().LeftVU->Kind(), TGaugeKind::gkVerticalBar);
    EXPECT_EQ(window.View().RightPeak->OffString(), QStringLiteral("hi"));
    EXPECT_TRUE(window.View().PlayBtn->isCheckable());
    EXPECT_FALSE(window.View().VUMeterChk->isChecked());
    EXPECT_FALSE(window.View().OscopeChk->isChecked());
    EXPECT_FALSE(window.View().CountDownTimer->isActive());
    EXPECT_EQ(window.View().CountDownTimer->interval(), 1000);
    for (const char* hinted : {"LiveInStrip", "PendingBuffersStrip", "FramesStrip"})
        EXPECT_FALSE(window.findChild<QWidget*>(QString::fromLatin1(hinted))->toolTip().isEmpty())
            << hinted;
}

TEST_F(MainWindowTest, MenusCarryTheirItems) {
    TMainWindow& window = MakeWindow();
    const QList<QAction*> menus = window.menuBar()->actions();
    ASSERT_EQ(menus.size(), 3);
    EXPECT_EQ(menus[0]->text(), QStringLiteral("&File"));
    EXPECT_EQ(menus[1]->text(), QStringLiteral("&Options"));
    EXPECT_EQ(menus[2]->text(), QStringLiteral("&Help"));
    EXPECT_EQ(window.View().ExitAction->text(), QStringLiteral("&Exit"));
    EXPECT_EQ(window.View().ChooseInputOutputAction->text(),
              QStringLiteral("&Choose Input/Output,,"));
    EXPECT_EQ(window.View().SaveDefaultsAction->text(), QStringLiteral("&Save Defaults"));
    EXPECT_EQ(window.View().LagvaneHelpAction->text(), QStringLiteral("&Lagvane Help"));
    EXPECT_EQ(window.View().BuildUpAtStartAction->text(), QStringLiteral("&Build up at start"));
    EXPECT_TRUE(window.View().BuildUpAtStartAction->isCheckable());
    EXPECT_EQ(window.View().KeepOnAirAction->text(), QStringLiteral("&Keep On Air"));
    EXPECT_TRUE(window.View().KeepOnAirAction->isCheckable());
    EXPECT_FALSE(window.View().KeepOnAirAction->isChecked());
    EXPECT_EQ(
        window.View().OptionsMenu->actions(),
        (QList<QAction*>{window.View().ChooseInputOutputAction, window.View().BuildUpAtStartAction,
                         window.View().KeepOnAirAction, window.View().SaveDefaultsAction}));
}

TEST_F(MainWindowTest, HelpItemOpensTheContentsOfTheProgramsHelpFile) {
    TMainWindow& window = MakeWindow();
    QList<THtmlHelpCommand> commands;
    QStringList files;
    SetHtmlHelpFunction(
        [&](QWidget*, const QString& file, THtmlHelpCommand command, const THelpData&) {
            commands << command;
            files << file;
        });
    window.View().LagvaneHelpAction->trigger();
    SetHtmlHelpFunction({});
    EXPECT_EQ(commands, QList<THtmlHelpCommand>{THtmlHelpCommand::DisplayToc});
    EXPECT_EQ(files, QStringList{ApplicationHelpFile()});
    EXPECT_TRUE(QFileInfo(ApplicationHelpFile()).isAbsolute());
}

TEST_F(MainWindowTest, OscilloscopeTickAddsItsHeightAndUntickRestoresIt) {
    TMainWindow& window = MakeWindow();
    window.show();
    const auto clientHeight = [&window] { return window.centralWidget()->height(); };
    // Below the menu bar the window is exactly the upper panel, then the scope's 250 pixels.
    EXPECT_EQ(clientHeight(), 265);
    EXPECT_TRUE(window.View().OscopePanel->isHidden());
    const int windowHeight = window.height();
    window.View().OscopeChk->click();
    EXPECT_EQ(clientHeight(), 515);
    EXPECT_EQ(window.height(), windowHeight + 250);
    EXPECT_FALSE(window.View().OscopePanel->isHidden());
    EXPECT_EQ(window.View().OscopePanel->geometry(), QRect(0, 265, 463, 250));
    window.View().OscopeChk->click();
    EXPECT_EQ(clientHeight(), 265);
    EXPECT_EQ(window.height(), windowHeight);
    EXPECT_TRUE(window.View().OscopePanel->isHidden());
}

TEST_F(MainWindowTest, NoInputDeviceIsReportedAndLeavesNoFormat) {
    Device.SetInputDeviceCount(0);
    TMainWindow& window = MakeWindow();
    EXPECT_EQ(WaveMessages, QStringList{QStringLiteral("No Wave Device Available")});
    ASSERT_EQ(window.View().FormatCombo->count(), 1);
    EXPECT_EQ(window.View().FormatCombo->itemText(0), QStringLiteral("No Wave Mapper"));
    EXPECT_FALSE(window.Station().HasFormat());
}

TEST_F(MainWindowTest, WithoutAFormatSizesShowZeroAndPlayExplainsInsteadOfStarting) {
    Device.SetCapabilities(0);
    TMainWindow& window = MakeWindow();
    EXPECT_TRUE(WaveMessages.isEmpty());
    EXPECT_EQ(window.View().BufferSizeDis->Caption(), QStringLiteral("0 / 0"));
    window.View().PlayBtn->click();
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].startsWith(QStringLiteral("No audio format"))) << Errors[0].toStdString();
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
    EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Play"));
    EXPECT_FALSE(window.View().CountDownTimer->isActive());
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());

    // The device offers formats again (its server came up): Play reads them and starts.
    Device.SetCapabilities(WaveTypeToCapsBit(wf48Khz_Mono_8Bit));
    window.View().PlayBtn->click();
    EXPECT_EQ(Errors.size(), 1);
    ASSERT_EQ(window.View().FormatCombo->count(), 1);
    EXPECT_EQ(window.View().FormatCombo->itemText(0), QStringLiteral("48 kHz, Mono, 8-bit"));
    EXPECT_TRUE(window.View().PlayBtn->isChecked());
    EXPECT_TRUE(Device.InputStarted());
    EXPECT_EQ(window.View().BufferSizeDis->Caption(), QStringLiteral("4,800 / 4,800"));
}

// The controls follow the station: its settings from the file, and while Keep On Air waits,
// Stop and the wait on the status line; Stop ends the wait, and so does Keep On Air turned off.
TEST_F(MainWindowTest, ControlsShowTheWaitAndEndIt) {
    WriteIni("[Actions]\nPlayOnStart=1\nKeepOnAir=1\n[Dump]\nBuildUpAtStart=1\n");
    Device.FailOutputOpen(true);
    TMainWindow& window = MakeWindow();
    // The menu shows what the station read from the file.
    EXPECT_TRUE(window.View().KeepOnAirAction->isChecked());
    EXPECT_TRUE(window.View().BuildUpAtStartAction->isChecked());
    const auto onAirStatus = [&window] {
        return window.findChild<QLabel*>(QStringLiteral("OnAirStatus"))->text();
    };
    ASSERT_TRUE(window.Station().WaitingForDevices());
    EXPECT_TRUE(window.View().PlayBtn->isChecked());
    EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Stop"));
    EXPECT_EQ(onAirStatus(), QStringLiteral("Waiting for the sound server (0:00)"));
    window.View().PlayBtn->click();
    EXPECT_FALSE(window.Station().WaitingForDevices());
    EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Play"));
    EXPECT_EQ(onAirStatus(), QStringLiteral("Not on air"));

    TMainWindow& again = MakeWindow();
    ASSERT_TRUE(again.Station().WaitingForDevices());
    again.View().KeepOnAirAction->trigger();
    EXPECT_FALSE(again.Station().WaitingForDevices());
    EXPECT_FALSE(again.View().PlayBtn->isChecked());
}

// Nothing the station may say at start comes before the remote control listens: a panel can
// connect while "No Wave Device Available" is up.
TEST_F(MainWindowTest, RemoteControlListensBeforeTheFirstMessage) {
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    WriteIni(QByteArray("[Remote]\nPort=") + QByteArray::number(port) + '\n');
    Device.SetInputDeviceCount(0);
    bool connected = false;
    SetWaveMessageFunction([&](const QString& text) {
        WaveMessages << text;
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        connected = socket.waitForConnected(2000);
    });
    const TProgramParts program(true, [] { return OneGiB; });
    EXPECT_EQ(WaveMessages, QStringList{QStringLiteral("No Wave Device Available")});
    EXPECT_TRUE(connected);
}

} // namespace
