// Every control in one window, as the main window uses them. With LAGVANE_CONTROLS_SCREENSHOT
// set to a file name the window's picture is saved there (docs/controls.png is made this way,
// under xvfb-run with QT_QPA_PLATFORM=xcb).

#include <gtest/gtest.h>

#include <QLabel>

#include "controls/colors.h"
#include "controls/degspin.h"
#include "controls/gauges.h"
#include "controls/onoffbox.h"
#include "controls/spinbuttons.h"
#include "tests/controls/controltest.h"

namespace {

TGauge* AddGauge(QWidget* parent, QRect bounds, TGaugeKind kind, int32_t progress) {
    auto* gauge = new TGauge(parent);
    gauge->setGeometry(bounds);
    gauge->SetKind(kind);
    gauge->SetProgress(progress);
    return gauge;
}

TOnOffBox* AddPeakBox(QWidget* parent, QPoint at, bool on) {
    auto* box = new TOnOffBox(parent);
    box->setGeometry(QRect(at, QSize(15, 26)));
    box->SetOnString("ok");
    box->SetOffString("hi");
    box->SetOnColor(clLime);
    box->SetBoxOn(on);
    return box;
}

TEST(ControlsWindow, ShowsEveryControl) {
    QWidget window;
    window.resize(400, 250);
    window.setWindowTitle("Lagvane controls");
    // The main window's font.
    QFont windowFont("MS Sans Serif");
    windowFont.setPixelSize(11);
    window.setFont(windowFont);

    auto* spin = new TDegreeSpin(&window);
    spin->BeginLoading();
    spin->SetBounds(8, 8, 152, 50);
    spin->SetDegrees(10.5 / 3600);
    spin->SetMaxValue(24);
    spin->SetMinValue(0.1 / 3600);
    spin->SetUseLimit(true);
    spin->SetUnitsString("Hours");
    spin->SetSecInc(0.1);
    spin->SetBevelOuter(TPanelBevel::bvLowered);
    spin->SetSpinFont(windowFont);
    QFont labelFont("Arial");
    labelFont.setPixelSize(11);
    spin->SetLabelFont(labelFont);
    spin->EndLoading();

    auto* button = new TAutoButton(&window);
    button->setGeometry(8, 70, 70, 23);
    button->setText("Repeat");
    button->SetDoRepeat(true);
    auto* upDown = new TUpDownButton(&window);
    upDown->SetBounds(86, 70, 17, 23);
    auto* edit = new TEditEx(&window);
    edit->setGeometry(110, 70, 50, 23);
    edit->SetAlignment(TAlignment::taRightJustify);
    edit->setText("right");

    AddPeakBox(&window, QPoint(180, 8), true);
    AddPeakBox(&window, QPoint(200, 8), false);
    auto* plainBox = new TOnOffBox(&window);
    plainBox->move(220, 8);
    auto* disabledBox = new TOnOffBox(&window);
    disabledBox->move(250, 8);
    disabledBox->setEnabled(false);
    disabledBox->SetBoxOn(false);

    TGauge* levelBar = AddGauge(&window, {180, 38, 15, 205}, TGaugeKind::gkVerticalBar, 500);
    levelBar->SetMaxValue(1000);
    levelBar->SetProgress(500);
    levelBar->SetForeColor(clMaroon);
    levelBar->SetBackColor(window.palette().color(QPalette::Button));
    levelBar->SetBorderStyle(TBorderStyle::bsNone);
    AddGauge(&window, {8, 105, 152, 20}, TGaugeKind::gkHorizontalBar, 42);
    AddGauge(&window, {8, 135, 60, 20}, TGaugeKind::gkText, 73);
    AddGauge(&window, {210, 45, 80, 80}, TGaugeKind::gkPie, 30);
    AddGauge(&window, {210, 140, 100, 55}, TGaugeKind::gkNeedle, 70);
    TGauge* redBar = AddGauge(&window, {325, 45, 20, 150}, TGaugeKind::gkVerticalBar, 80);
    redBar->SetForeColor(clRed);

    ShowAndSettle(window);
    const QImage picture = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
    if (const QString path = qEnvironmentVariable("LAGVANE_CONTROLS_SCREENSHOT"); !path.isEmpty()) {
        EXPECT_TRUE(picture.save(path));
    }

    EXPECT_EQ(picture.copy(levelBar->geometry()), levelBar->PaintImage());
    EXPECT_EQ(spin->HoursEdit()->text(), "0");
    EXPECT_EQ(spin->MinutesEdit()->text(), "0");
    EXPECT_EQ(spin->SecondsEdit()->text(), "10.5");
    EXPECT_EQ(picture.pixelColor(disabledBox->geometry().topLeft() + QPoint(3, 3)), clSilver);
}

} // namespace
