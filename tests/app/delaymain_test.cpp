#include "appfixture.h"

#include "app/groupbox.h"
#include "app/oscopepanel.h"
#include "controls/degspin.h"
#include "controls/gauges.h"
#include "controls/onoffbox.h"
#include "support/conversions.h"
#include "support/helpbridge.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
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
    TForm1& form = MakeForm();
    form.show();
    struct Case {
        const char* name;
        QWidget* widget;
        QRect bounds;
        const char* caption;
    };
    const Case cases[] = {
        {"MainPanel", form.MainPanel, {0, 0, 463, 265}, ""},
        {"Setting", form.Setting, {8, 8, 177, 249}, "Setting"},
        {"PlayOnStartChk", form.PlayOnStartChk, {8, 16, 97, 17}, "Play On Start"},
        {"FormatCombo", form.FormatCombo, {8, 52, 153, 21}, ""},
        {"DelayTimeSpin", form.DelayTimeSpin, {8, 95, 152, 50}, ""},
        {"BufferSizeDis", form.BufferSizeDis, {9, 171, 153, 21}, nullptr},
        {"MemoryDis", form.MemoryDis, {9, 211, 153, 21}, nullptr},
        {"GroupBox1", form.GroupBox1, {192, 8, 185, 161}, "Playback"},
        {"Panel7", form.Panel7, {8, 19, 169, 20}, " Live In:"},
        {"CountDownDis", form.CountDownDis, {87, 1, 81, 18}, ""},
        {"Panel6", form.Panel6, {8, 56, 169, 20}, " Pending Buffers: "},
        {"PendingDis", form.PendingDis, {87, 1, 81, 18}, ""},
        {"ScalePnl", form.ScalePnl, {8, 94, 169, 21}, " Frames:"},
        {"FramesDis", form.FramesDis, {87, 1, 81, 19}, ""},
        {"PlayBtn", form.PlayBtn, {8, 124, 169, 29}, "Play"},
        {"OscopeChk", form.OscopeChk, {192, 240, 137, 17}, "Show Osciloscope"},
        {"Panel3", form.Panel3, {415, 1, 47, 263}, ""},
        {"Panel5", form.Panel5, {1, 238, 45, 24}, ""},
        {"VUMeterChk", form.VUMeterChk, {6, 4, 44, 17}, "VU"},
        {"Panel4", form.Panel4, {1, 1, 45, 237}, ""},
        {"Panel1", form.Panel1, {2, 2, 17, 233}, ""},
        {"LeftPeak", form.LeftPeak, {1, 1, 15, 26}, "ok"},
        {"LeftVU", form.LeftVU, {1, 27, 15, 205}, nullptr},
        {"Panel2", form.Panel2, {26, 2, 17, 233}, ""},
        {"RightPeak", form.RightPeak, {1, 1, 15, 26}, "ok"},
        {"RightVU", form.RightVU, {1, 27, 15, 205}, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.widget->geometry(), c.bounds) << c.name;
        if (c.caption) {
            EXPECT_EQ(Caption(c.widget), QString::fromUtf8(c.caption)) << c.name;
        }
    }
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Lagvane"));
    EXPECT_EQ(form.Label1->text(), QStringLiteral("Data Format"));
    EXPECT_EQ(form.Label3->text(), QStringLiteral("Buffer Size"));
    EXPECT_EQ(form.Label4->text(), QStringLiteral("Available Memory"));
    EXPECT_EQ(form.DelayTimeSpin->UnitsString(), QStringLiteral("Hours"));
    EXPECT_EQ(form.LeftVU->MaxValue(), 1000);
    EXPECT_EQ(form.LeftVU->Kind(), TGaugeKind::gkVerticalBar);
    EXPECT_EQ(form.RightPeak->OffString(), QStringLiteral("hi"));
    EXPECT_TRUE(form.PlayBtn->isCheckable());
    EXPECT_FALSE(form.VUMeterChk->isChecked());
    EXPECT_FALSE(form.OscopeChk->isChecked());
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_EQ(form.Timer1->interval(), 1000);
    for (const TPanel* hinted : {form.Panel7, form.Panel6, form.ScalePnl})
        EXPECT_FALSE(hinted->toolTip().isEmpty());
}

TEST_F(MainWindowTest, MenusCarryTheirItems) {
    TForm1& form = MakeForm();
    const QList<QAction*> menus = form.menuBar()->actions();
    ASSERT_EQ(menus.size(), 3);
    EXPECT_EQ(menus[0]->text(), QStringLiteral("&File"));
    EXPECT_EQ(menus[1]->text(), QStringLiteral("&Options"));
    EXPECT_EQ(menus[2]->text(), QStringLiteral("&Help"));
    EXPECT_EQ(form.Exit1->text(), QStringLiteral("&Exit"));
    EXPECT_EQ(form.ChooseInputOutput1->text(), QStringLiteral("&Choose Input/Output,,"));
    EXPECT_EQ(form.SaveDefaults1->text(), QStringLiteral("&Save Defaults"));
    EXPECT_EQ(form.LagvaneHelp1->text(), QStringLiteral("&Lagvane Help"));
    EXPECT_EQ(form.Options1->actions(),
              (QList<QAction*>{form.ChooseInputOutput1, form.SaveDefaults1}));
}

TEST_F(MainWindowTest, HelpItemOpensTheContentsOfTheProgramsHelpFile) {
    TForm1& form = MakeForm();
    QList<THtmlHelpCommand> commands;
    QStringList files;
    SetHtmlHelpFunction(
        [&](QWidget*, const QString& file, THtmlHelpCommand command, const THelpData&) {
            commands << command;
            files << file;
        });
    form.LagvaneHelp1->trigger();
    SetHtmlHelpFunction({});
    EXPECT_EQ(commands, QList<THtmlHelpCommand>{THtmlHelpCommand::DisplayToc});
    EXPECT_EQ(files, QStringList{ApplicationHelpFile()});
    EXPECT_TRUE(QFileInfo(ApplicationHelpFile()).isAbsolute());
}

TEST_F(MainWindowTest, OscilloscopeTickAddsItsHeightAndUntickRestoresIt) {
    TForm1& form = MakeForm();
    form.show();
    const auto clientHeight = [&form] { return form.centralWidget()->height(); };
    // Below the menu bar the window is exactly the upper panel, then the scope's 250 pixels.
    EXPECT_EQ(clientHeight(), 265);
    EXPECT_TRUE(form.OscopePanel->isHidden());
    const int windowHeight = form.height();
    form.OscopeChk->click();
    EXPECT_EQ(clientHeight(), 515);
    EXPECT_EQ(form.height(), windowHeight + 250);
    EXPECT_FALSE(form.OscopePanel->isHidden());
    EXPECT_EQ(form.OscopePanel->geometry(), QRect(0, 265, 463, 250));
    form.OscopeChk->click();
    EXPECT_EQ(clientHeight(), 265);
    EXPECT_EQ(form.height(), windowHeight);
    EXPECT_TRUE(form.OscopePanel->isHidden());
}

TEST_F(MainWindowTest, NoInputDeviceIsReportedAndLeavesNoFormat) {
    Device.SetInputDeviceCount(0);
    TForm1& form = MakeForm();
    EXPECT_EQ(WaveMessages, QStringList{QStringLiteral("No Wave Device Available")});
    ASSERT_EQ(form.FormatCombo->count(), 1);
    EXPECT_EQ(form.FormatCombo->itemText(0), QStringLiteral("No Wave Mapper"));
    EXPECT_FALSE(form.HasFormat());
}

TEST_F(MainWindowTest, WithoutAFormatSizesShowZeroAndPlayExplainsInsteadOfStarting) {
    Device.SetCapabilities(0);
    TForm1& form = MakeForm();
    EXPECT_TRUE(WaveMessages.isEmpty());
    EXPECT_EQ(form.BufferSizeDis->Caption(), QStringLiteral("0 / 0"));
    form.PlayBtn->click();
    ASSERT_EQ(Errors.size(), 1);
    EXPECT_TRUE(Errors[0].startsWith(QStringLiteral("No audio format"))) << Errors[0].toStdString();
    EXPECT_FALSE(form.PlayBtn->isChecked());
    EXPECT_EQ(form.PlayBtn->text(), QStringLiteral("Play"));
    EXPECT_FALSE(form.Timer1->isActive());
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());

    // The device offers formats again (its server came up): Play reads them and starts.
    Device.SetCapabilities(WaveTypeToCapsBit(wf48Khz_Mono_8Bit));
    form.PlayBtn->click();
    EXPECT_EQ(Errors.size(), 1);
    ASSERT_EQ(form.FormatCombo->count(), 1);
    EXPECT_EQ(form.FormatCombo->itemText(0), QStringLiteral("48 kHz, Mono, 8-bit"));
    EXPECT_TRUE(form.PlayBtn->isChecked());
    EXPECT_TRUE(Device.InputStarted());
    EXPECT_EQ(form.BufferSizeDis->Caption(), QStringLiteral("4,800 / 4,800"));
}

} // namespace
