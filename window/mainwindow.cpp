#include "window/mainwindow.h"

#include "audio/wavelib.h"
#include "controls/colors.h"
#include "controls/degspin.h"
#include "controls/gauges.h"
#include "controls/onoffbox.h"
#include "station/defaults.h"
#include "support/conversions.h"
#include "support/handlers.h"
#include "window/docklayout.h"
#include "window/groupbox.h"
#include "window/helpbridge.h"
#include "window/oscopepanel.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>

// The window as laid out for the operator: positions are left, top, width, height in pixels
// relative to the parent; docked controls take a strip of their parent's face.

namespace {

constexpr int MainPanelHeight = 265;
constexpr int OscopeHeight = 250;
constexpr int ClientWidth = 463;
constexpr int CountDisplayWidth = 81;
constexpr int LevelColumnWidth = 47;

// The layout was made for narrow 8-point fonts; where one is missing, Arial (or its metric
// twin) keeps the captions inside their panels.
QFont WindowFont(const QString& family) {
    QFont font(QFontDatabase::hasFamily(family) ? family : QStringLiteral("Arial"));
    font.setPixelSize(11);
    return font;
}

TGroupBox* NewGroupBox(const QString& caption, QWidget* parent, const QRect& bounds) {
    auto* box = new TGroupBox(caption, parent);
    box->setGeometry(bounds);
    return box;
}

QLabel* NewLabel(const QString& caption, QWidget* parent, int left, int top) {
    auto* label = new QLabel(caption, parent);
    label->move(left, top);
    label->adjustSize();
    return label;
}

QCheckBox* NewCheckBox(const QString& caption, QWidget* parent, const QRect& bounds) {
    auto* box = new QCheckBox(caption, parent);
    box->setGeometry(bounds);
    return box;
}

TPanel* NewPanel(QWidget* parent, TPanelBevel bevel) {
    auto* panel = new TPanel(parent);
    panel->SetBevelOuter(bevel);
    return panel;
}

// A lowered read-out in window colour.
TPanel* NewDisplay(QWidget* parent, const QRect& bounds) {
    TPanel* display = NewPanel(parent, TPanelBevel::bvLowered);
    display->SetColor(QApplication::palette().color(QPalette::Base));
    display->setGeometry(bounds);
    return display;
}

// A captioned strip with its value in a window-colour box docked at the right.
TPanel* NewCounterStrip(QWidget* parent, const QRect& bounds, const QString& caption,
                        const QString& hint, TPanel*& value) {
    TPanel* strip = NewPanel(parent, TPanelBevel::bvLowered);
    strip->setGeometry(bounds);
    strip->SetCaption(caption);
    strip->SetAlignment(TAlignment::taLeftJustify);
    strip->setToolTip(hint);
    value = NewPanel(strip, TPanelBevel::bvNone);
    value->SetColor(QApplication::palette().color(QPalette::Base));
    Dock(strip, value, TAlign::alRight, CountDisplayWidth, strip->FaceRect().left());
    return strip;
}

// The channel's column: peak box on top, level bar below.
TPanel* NewChannelColumn(QWidget* parent, TOnOffBox*& peak, TGauge*& bar) {
    TPanel* column = NewPanel(parent, TPanelBevel::bvLowered);
    const int inset = column->FaceRect().left();
    peak = new TOnOffBox(column);
    peak->SetOnString(QStringLiteral("ok"));
    peak->SetOffString(QStringLiteral("hi"));
    peak->SetOnColor(clLime);
    peak->SetBevelOuter(TPanelBevel::bvLowered);
    Dock(column, peak, TAlign::alTop, 26, inset);
    bar = new TGauge(column);
    bar->BeginLoading();
    bar->SetKind(TGaugeKind::gkVerticalBar);
    bar->SetMaxValue(1000);
    bar->SetProgress(0);
    bar->SetForeColor(clMaroon);
    bar->SetBackColor(QApplication::palette().color(QPalette::Button));
    bar->SetBorderStyle(TBorderStyle::bsNone);
    bar->EndLoading();
    Dock(column, bar, TAlign::alClient, 0, inset);
    return column;
}

// The Play button's picture: a green triangle on the 24 x 24 glyph.
QIcon PlayGlyph() {
    QPixmap glyph(24, 24);
    glyph.fill(Qt::transparent);
    QPainter painter(&glyph);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(clBlack);
    painter.setBrush(clGreen);
    painter.drawPolygon(QPolygon({QPoint(6, 3), QPoint(20, 12), QPoint(6, 21)}));
    return QIcon(glyph);
}

} // namespace

TMainWindow::TMainWindow(TStation& station, QWidget* parent)
    : TMainWindow(&station, false, parent) {}

TMainWindow::TMainWindow(TMemoryProbe probe, QWidget* parent)
    : TMainWindow(new TStation(std::move(probe)), true, parent) {
    Station_.StartUp();
}

TMainWindow::TMainWindow(TStation* station, bool owned, QWidget* parent)
    : QMainWindow(parent), OwnStation(owned ? station : nullptr), Station_(*station) {
    setWindowTitle(QStringLiteral("Lagvane"));
    setFont(WindowFont(QStringLiteral("MS Sans Serif")));
    move(348, 129);
    resize(ClientWidth, MainPanelHeight);

    BuildMenu();
    auto* client = new QWidget(this);
    setCentralWidget(client);
    MainPanel = NewPanel(client, TPanelBevel::bvRaised);
    Dock(client, MainPanel, TAlign::alTop, MainPanelHeight);
    BuildSettings();
    BuildPlayback();
    BuildDumpButton();
    OscopeChk = NewCheckBox(QStringLiteral("Show Osciloscope"), MainPanel, {192, 240, 137, 17});
    OscopeChk->setToolTip(QStringLiteral("Draw each captured buffer"));
    connect(OscopeChk, &QCheckBox::clicked, this,
            [this] { RunHandler([this] { OscopeChkClick(); }); });
    BuildLevelMeter();

    OscopePanel = new TOscopePanel(client);
    OscopePanel->hide();
    Dock(client, OscopePanel, TAlign::alClient);

    HelpBridge = new THelpBridge(this);
    MakeHelpFileAbsolute();
    BuildStatusLine();
    NameObjects();
    BindStation();
    // Qt paints every widget through a back buffer, the graphs included: nothing to switch on.
    OscopeChkClick();
}

TMainWindow::~TMainWindow() {
    // A station of its own stops its run as it goes, after the window's parts are gone.
    Station_.disconnect(this);
}

TMainWindowView TMainWindow::View() const {
    return {
        .OptionsMenu = OptionsMenu,
        .ExitAction = ExitAction,
        .ChooseInputOutputAction = ChooseInputOutputAction,
        .SaveDefaultsAction = SaveDefaultsAction,
        .LagvaneHelpAction = LagvaneHelpAction,
        .PlayOnStartChk = PlayOnStartChk,
        .FormatCombo = FormatCombo,
        .DelayTimeSpin = DelayTimeSpin,
        .BufferSizeDis = BufferSizeDis,
        .MemoryDis = MemoryDis,
        .CountDownDis = CountDownDis,
        .PendingDis = PendingDis,
        .FramesDis = FramesDis,
        .PlayBtn = PlayBtn,
        .DumpBtn = DumpBtn,
        .ExitBtn = ExitBtn,
        .CoughBtn = CoughBtn,
        .BuildUpAtStartAction = BuildUpAtStartAction,
        .KeepOnAirAction = KeepOnAirAction,
        .OscopeChk = OscopeChk,
        .VUMeterChk = VUMeterChk,
        .LeftPeak = LeftPeak,
        .LeftVU = LeftVU,
        .RightPeak = RightPeak,
        .RightVU = RightVU,
        .OscopePanel = OscopePanel,
        .DropoutStatus = DropoutStatus,
        .Capture = Station_.Capture(),
        .DumpEvidence = Station_.Evidence(),
        .CountDownTimer = Station_.CountDownTimer(),
        .OffAirRetryTimer = Station_.OffAirRetryTimer(),
    };
}

// The widget tree reads as the code does, in a debugger or an accessibility tool.
void TMainWindow::NameObjects() {
    const std::pair<QObject*, const char*> objects[] = {
        {FileMenu, "FileMenu"},
        {ExitAction, "ExitAction"},
        {OptionsMenu, "OptionsMenu"},
        {ChooseInputOutputAction, "ChooseInputOutputAction"},
        {SaveDefaultsAction, "SaveDefaultsAction"},
        {HelpMenu, "HelpMenu"},
        {LagvaneHelpAction, "LagvaneHelpAction"},
        {MainPanel, "MainPanel"},
        {SettingGroup, "SettingGroup"},
        {PlayOnStartChk, "PlayOnStartChk"},
        {DataFormatLabel, "DataFormatLabel"},
        {FormatCombo, "FormatCombo"},
        {DelayTimeLabel, "DelayTimeLabel"},
        {DelayTimeSpin, "DelayTimeSpin"},
        {BufferSizeLabel, "BufferSizeLabel"},
        {BufferSizeDis, "BufferSizeDis"},
        {AvailableMemoryLabel, "AvailableMemoryLabel"},
        {MemoryDis, "MemoryDis"},
        {PlaybackGroup, "PlaybackGroup"},
        {LiveInStrip, "LiveInStrip"},
        {CountDownDis, "CountDownDis"},
        {PendingBuffersStrip, "PendingBuffersStrip"},
        {PendingDis, "PendingDis"},
        {FramesStrip, "FramesStrip"},
        {FramesDis, "FramesDis"},
        {PlayBtn, "PlayBtn"},
        {DumpBtn, "DumpBtn"},
        {ExitBtn, "ExitBtn"},
        {CoughBtn, "CoughBtn"},
        {BuildUpAtStartAction, "BuildUpAtStartAction"},
        {KeepOnAirAction, "KeepOnAirAction"},
        {OscopeChk, "OscopeChk"},
        {LevelMeterPanel, "LevelMeterPanel"},
        {VUSwitchPanel, "VUSwitchPanel"},
        {VUMeterChk, "VUMeterChk"},
        {ChannelsPanel, "ChannelsPanel"},
        {LeftChannelPanel, "LeftChannelPanel"},
        {LeftPeak, "LeftPeak"},
        {LeftVU, "LeftVU"},
        {RightChannelPanel, "RightChannelPanel"},
        {RightPeak, "RightPeak"},
        {RightVU, "RightVU"},
        {OscopePanel, "OscopePanel"},
        {OnAirStatus, "OnAirStatus"},
        {DropoutStatus, "DropoutStatus"},
        {HelpBridge, "HelpBridge"},
    };
    for (const auto& [object, name] : objects)
        object->setObjectName(QLatin1String(name));
}

void TMainWindow::BuildMenu() {
    FileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    ExitAction = FileMenu->addAction(QStringLiteral("&Exit"));
    connect(ExitAction, &QAction::triggered, this, &QWidget::close);
    OptionsMenu = menuBar()->addMenu(QStringLiteral("&Options"));
    ChooseInputOutputAction = OptionsMenu->addAction(QStringLiteral("&Choose Input/Output,,"));
    connect(ChooseInputOutputAction, &QAction::triggered, this,
            [] { RunHandler([] { OpenSoundControlPanel(); }); });
    BuildUpAtStartAction = OptionsMenu->addAction(QStringLiteral("&Build up at start"));
    BuildUpAtStartAction->setCheckable(true);
    BuildUpAtStartAction->setToolTip(
        QStringLiteral("Start on air at once and build the delay up, instead of the count-down"));
    KeepOnAirAction = OptionsMenu->addAction(QStringLiteral("&Keep On Air"));
    KeepOnAirAction->setCheckable(true);
    KeepOnAirAction->setToolTip(QStringLiteral(
        "When a sound device fails or is missing, try it every second and play again by itself"));
    SaveDefaultsAction = OptionsMenu->addAction(QStringLiteral("&Save Defaults"));
    connect(SaveDefaultsAction, &QAction::triggered, this,
            [this] { RunHandler([this] { SaveDefaults(Station_); }); });
    HelpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    LagvaneHelpAction = HelpMenu->addAction(QStringLiteral("&Lagvane Help"));
    connect(LagvaneHelpAction, &QAction::triggered, this,
            [] { RunHandler([] { ApplicationHelpCommand(HelpContents, 0); }); });
}

void TMainWindow::BuildSettings() {
    SettingGroup = NewGroupBox(QStringLiteral("Setting"), MainPanel, {8, 8, 177, 249});
    PlayOnStartChk = NewCheckBox(QStringLiteral("Play On Start"), SettingGroup, {8, 16, 97, 17});
    PlayOnStartChk->setToolTip(QStringLiteral("Start playing as soon as Lagvane starts"));
    DataFormatLabel = NewLabel(QStringLiteral("Data Format"), SettingGroup, 8, 40);
    FormatCombo = new QComboBox(SettingGroup);
    FormatCombo->setGeometry(8, 52, 153, 21);
    // Every selection is the station's format; only the operator's choice resizes the delay.
    connect(FormatCombo, &QComboBox::currentIndexChanged, this,
            [this](int index) { Station_.SetFormatIndex(index); });
    connect(FormatCombo, &QComboBox::activated, this,
            [this] { RunHandler([this] { Station_.UpdateBufferSize(); }); });
    DelayTimeLabel = NewLabel(QStringLiteral("Delay Time"), SettingGroup, 12, 80);

    DelayTimeSpin = new TDegreeSpin(SettingGroup);
    DelayTimeSpin->BeginLoading();
    DelayTimeSpin->SetBounds(8, 95, 152, 50);
    DelayTimeSpin->SetDegrees(2.77777777777778e-05);
    DelayTimeSpin->SetHours(0);
    DelayTimeSpin->SetMinutes(0);
    DelayTimeSpin->SetSeconds(0.1);
    DelayTimeSpin->SetMaxValue(24);
    DelayTimeSpin->SetMinValue(2.77777777777778e-05);
    DelayTimeSpin->SetUseLimit(true);
    DelayTimeSpin->SetUnitsString(QStringLiteral("Hours"));
    DelayTimeSpin->SetAlignment(TAlignment::taLeftJustify);
    DelayTimeSpin->SetSecInc(0.1);
    DelayTimeSpin->SetBevelOuter(TPanelBevel::bvLowered);
    DelayTimeSpin->SetSpinFont(WindowFont(QStringLiteral("MS Sans Serif")));
    DelayTimeSpin->SetLabelFont(WindowFont(QStringLiteral("Arial")));
    DelayTimeSpin->OnChange = [this](QObject*) { OnDelayTimeSpinChange(); };
    DelayTimeSpin->EndLoading();

    BufferSizeLabel = NewLabel(QStringLiteral("Buffer Size"), SettingGroup, 12, 157);
    BufferSizeDis = NewDisplay(SettingGroup, {9, 171, 153, 21});
    BufferSizeDis->setToolTip(QStringLiteral("Sample frames / bytes of one delay buffer"));
    AvailableMemoryLabel = NewLabel(QStringLiteral("Available Memory"), SettingGroup, 12, 197);
    MemoryDis = NewDisplay(SettingGroup, {9, 211, 153, 21});
    MemoryDis->setToolTip(QStringLiteral("Bytes the four delay buffers may take"));
}

void TMainWindow::BuildPlayback() {
    PlaybackGroup = NewGroupBox(QStringLiteral("Playback"), MainPanel, {192, 8, 185, 161});
    LiveInStrip =
        NewCounterStrip(PlaybackGroup, {8, 19, 169, 20}, QStringLiteral(" Live In:"),
                        QStringLiteral("Time until the delayed sound is on air"), CountDownDis);
    PendingBuffersStrip =
        NewCounterStrip(PlaybackGroup, {8, 56, 169, 20}, QStringLiteral(" Pending Buffers: "),
                        QStringLiteral("Buffers queued on the input"), PendingDis);
    FramesStrip = NewCounterStrip(PlaybackGroup, {8, 94, 169, 21}, QStringLiteral(" Frames:"),
                                  QStringLiteral("Buffers played in this run"), FramesDis);
    PlayBtn = new QToolButton(PlaybackGroup);
    PlayBtn->setGeometry(8, 124, 169, 29);
    PlayBtn->setText(QStringLiteral("Play"));
    PlayBtn->setCheckable(true);
    PlayBtn->setIcon(PlayGlyph());
    PlayBtn->setIconSize(QSize(24, 24));
    PlayBtn->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    PlayBtn->setToolTip(QStringLiteral("Start or stop the delay"));
    connect(PlayBtn, &QToolButton::clicked, this,
            [this] { RunHandler([this] { OnPlayBtnClick(); }); });
}

void TMainWindow::BuildDumpButton() {
    DumpBtn = new QToolButton(MainPanel);
    DumpBtn->setGeometry(192, 175, 105, 56);
    DumpBtn->setText(QStringLiteral("Dump"));
    DumpBtn->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_D));
    DumpBtn->setToolTip(
        QStringLiteral("Skip what waits to go on air, then build the delay up again (Ctrl+D)"));
    QFont font = DumpBtn->font();
    font.setBold(true);
    font.setPixelSize(20);
    DumpBtn->setFont(font);
    // Red whether it can be pressed or not, so that the eye finds it before the hand does.
    DumpBtn->setStyleSheet(QStringLiteral(
        "QToolButton { background-color: #d01818; color: white; border: 2px outset #901010; }"
        "QToolButton:pressed { border-style: inset; }"
        "QToolButton:disabled { background-color: #d89a9a; color: #f4e4e4; }"));
    DumpBtn->setEnabled(false);
    connect(DumpBtn, &QToolButton::clicked, this,
            [this] { RunHandler([this] { Station_.DumpOnAir(); }); });
    ExitBtn = new QToolButton(MainPanel);
    ExitBtn->setGeometry(301, 175, 76, 26);
    ExitBtn->setText(QStringLiteral("Exit"));
    ExitBtn->setToolTip(QStringLiteral(
        "Exit (Ctrl+E): wind the delay down to none and play live; Build (Ctrl+B): wind it up "
        "again"));
    ExitBtn->setEnabled(false);
    connect(ExitBtn, &QToolButton::clicked, this, [this] {
        RunHandler([this] {
            const TRunState state = Station_.RunReport().State;
            if (state == TRunState::Live || state == TRunState::Exiting)
                Station_.BuildFromLive();
            else
                Station_.ExitToLive();
        });
    });
    // Each key does one thing whatever the button reads.
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_E), this), &QShortcut::activated, this,
            [this] { RunHandler([this] { Station_.ExitToLive(); }); });
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_B), this), &QShortcut::activated, this,
            [this] { RunHandler([this] { Station_.BuildFromLive(); }); });
    CoughBtn = new QToolButton(MainPanel);
    CoughBtn->setGeometry(301, 205, 76, 26);
    CoughBtn->setText(QStringLiteral("Cough"));
    CoughBtn->setToolTip(
        QStringLiteral("Hold (or hold Ctrl+K): the input stays off the delay while held"));
    CoughBtn->setEnabled(false);
    connect(CoughBtn, &QToolButton::pressed, this,
            [this] { RunHandler([this] { Station_.HoldCough(true); }); });
    connect(CoughBtn, &QToolButton::released, this,
            [this] { RunHandler([this] { Station_.HoldCough(false); }); });
}

void TMainWindow::BuildStatusLine() {
    OnAirStatus = new QLabel(QStringLiteral("Not on air"));
    OnAirStatus->setToolTip(QStringLiteral("The delay on air: the set delay and the devices' own; "
                                           "after a dump, how far the build-up has come"));
    DropoutStatus = new QLabel(DropoutText({}));
    DropoutStatus->setToolTip(
        QStringLiteral("Input frames lost, times the output ran dry, xruns the host reported"));
    statusBar()->addWidget(OnAirStatus, 1);
    statusBar()->addPermanentWidget(DropoutStatus);
    statusBar()->setSizeGripEnabled(false);
}

void TMainWindow::BuildLevelMeter() {
    LevelMeterPanel = NewPanel(MainPanel, TPanelBevel::bvRaised);
    Dock(MainPanel, LevelMeterPanel, TAlign::alRight, LevelColumnWidth,
         MainPanel->FaceRect().left());
    const int inset = LevelMeterPanel->FaceRect().left();
    VUSwitchPanel = NewPanel(LevelMeterPanel, TPanelBevel::bvRaised);
    Dock(LevelMeterPanel, VUSwitchPanel, TAlign::alBottom, 24, inset);
    VUMeterChk = NewCheckBox(QStringLiteral("VU"), VUSwitchPanel, {6, 4, 44, 17});
    VUMeterChk->setToolTip(QStringLiteral("Show the input level of each buffer"));
    ChannelsPanel = NewPanel(LevelMeterPanel, TPanelBevel::bvRaised);
    ChannelsPanel->SetBorderWidth(1);
    Dock(LevelMeterPanel, ChannelsPanel, TAlign::alClient, 0, inset);
    const int columnInset = ChannelsPanel->FaceRect().left();
    LeftChannelPanel = NewChannelColumn(ChannelsPanel, LeftPeak, LeftVU);
    Dock(ChannelsPanel, LeftChannelPanel, TAlign::alLeft, 17, columnInset);
    RightChannelPanel = NewChannelColumn(ChannelsPanel, RightPeak, RightVU);
    Dock(ChannelsPanel, RightChannelPanel, TAlign::alRight, 17, columnInset);
}

void TMainWindow::OscopeChkClick() {
    const bool shown = OscopeChk->isChecked();
    // The window manager adds its frame around the client area Qt sizes; within it the menu
    // bar sits above the panels.
    const int extra = menuBar()->sizeHint().height() + statusBar()->sizeHint().height();
    // Grow before showing and hide before shrinking, so the scope is never laid out squeezed.
    if (!shown)
        OscopePanel->hide();
    resize(width(), MainPanelHeight + extra + (shown ? OscopeHeight : 0));
    if (shown)
        OscopePanel->show();
}

void TMainWindow::closeEvent(QCloseEvent* event) {
    Station_.Close(false);
    event->accept();
}
