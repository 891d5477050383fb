#include "app/delaymain.h"

#include "app/application.h"
#include "app/defaults.h"
#include "app/docklayout.h"
#include "app/groupbox.h"
#include "app/oscopepanel.h"
#include "audio/wavedevice.h"
#include "audio/wavelib.h"
#include "controls/degspin.h"
#include "controls/gauges.h"
#include "controls/onoffbox.h"
#include "support/colors.h"
#include "support/conversions.h"
#include "support/errors.h"
#include "support/helpbridge.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QScopeGuard>
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
constexpr int RunStatusMs = 250;

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

TForm1::TForm1(TMemoryProbe probe, QWidget* parent)
    : QMainWindow(parent), MemoryProbe(std::move(probe)) {
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
    OscopeChk = NewCheckBox(QStringLiteral("Show Osciloscope"), MainPanel, {192, 240, 137, 17});
    OscopeChk->setToolTip(QStringLiteral("Draw each captured buffer"));
    connect(OscopeChk, &QCheckBox::clicked, this,
            [this] { RunHandler([this] { OscopeChkClick(); }); });
    BuildLevelMeter();

    OscopePanel = new TOscopePanel(client);
    OscopePanel->hide();
    Dock(client, OscopePanel, TAlign::alClient);

    WaveReader1 = new TWaveReader(this);
    WaveReader1->OnWaveIn = [this](QObject* sender, void* buffer, int32_t sampleCount,
                                   const TWaveDataFormat& format) {
        WaveReader1WaveIn(sender, buffer, sampleCount, format);
    };
    WaveReader1->OnFault = [this](QObject* sender, TWaveResult code) {
        WaveReader1Fault(sender, code);
    };
    SetPlaybackFaultEvent([this](TWaveResult code) { PlaybackFault(code); });
    WaveReader1->SetWaveType(wf11Khz_Mono_8Bit);
    WaveReader1->SetComboBox(FormatCombo);
    HelpBridge = new THelpBridge(this);
    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, [this] { RunHandler([this] { Timer1Timer(); }); });
    RunStatusTimer = new QTimer(this);
    RunStatusTimer->setInterval(RunStatusMs);
    connect(RunStatusTimer, &QTimer::timeout, this,
            [this] { RunHandler([this] { ShowRunStatus(); }); });
    BuildStatusLine();

    FormCreate();
}

TForm1::~TForm1() {
    // The capture buffers must outlive the output that plays from them: stop in order.
    if (PlayBtn->isChecked())
        RunHandler([this] { StopDelay(); });
    SetPlaybackFaultEvent({});
}

void TForm1::BuildMenu() {
    File1 = menuBar()->addMenu(QStringLiteral("&File"));
    Exit1 = File1->addAction(QStringLiteral("&Exit"));
    connect(Exit1, &QAction::triggered, this, &QWidget::close);
    Options1 = menuBar()->addMenu(QStringLiteral("&Options"));
    ChooseInputOutput1 = Options1->addAction(QStringLiteral("&Choose Input/Output,,"));
    connect(ChooseInputOutput1, &QAction::triggered, this,
            [this] { RunHandler([this] { InputsBtnClick(); }); });
    SaveDefaults1 = Options1->addAction(QStringLiteral("&Save Defaults"));
    connect(SaveDefaults1, &QAction::triggered, this,
            [this] { RunHandler([this] { SaveDefaults1Click(); }); });
    Help1 = menuBar()->addMenu(QStringLiteral("&Help"));
    LagvaneHelp1 = Help1->addAction(QStringLiteral("&Lagvane Help"));
    connect(LagvaneHelp1, &QAction::triggered, this,
            [this] { RunHandler([this] { HelpBtnClick(); }); });
}

void TForm1::BuildSettings() {
    Setting = NewGroupBox(QStringLiteral("Setting"), MainPanel, {8, 8, 177, 249});
    PlayOnStartChk = NewCheckBox(QStringLiteral("Play On Start"), Setting, {8, 16, 97, 17});
    PlayOnStartChk->setToolTip(QStringLiteral("Start playing as soon as Lagvane starts"));
    Label1 = NewLabel(QStringLiteral("Data Format"), Setting, 8, 40);
    FormatCombo = new QComboBox(Setting);
    FormatCombo->setGeometry(8, 52, 153, 21);
    // activated, not currentIndexChanged: only the operator's choice resizes the delay.
    connect(FormatCombo, &QComboBox::activated, this,
            [this] { RunHandler([this] { DelayTimeSpinChange(); }); });
    Label2 = NewLabel(QStringLiteral("Delay Time"), Setting, 12, 80);

    DelayTimeSpin = new TDegreeSpin(Setting);
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
    DelayTimeSpin->OnChange = [this](QObject*) { DelayTimeSpinChange(); };
    DelayTimeSpin->EndLoading();

    Label3 = NewLabel(QStringLiteral("Buffer Size"), Setting, 12, 157);
    BufferSizeDis = NewDisplay(Setting, {9, 171, 153, 21});
    BufferSizeDis->setToolTip(QStringLiteral("Sample frames / bytes of one delay buffer"));
    Label4 = NewLabel(QStringLiteral("Available Memory"), Setting, 12, 197);
    MemoryDis = NewDisplay(Setting, {9, 211, 153, 21});
    MemoryDis->setToolTip(QStringLiteral("Bytes the four delay buffers may take"));
}

void TForm1::BuildPlayback() {
    GroupBox1 = NewGroupBox(QStringLiteral("Playback"), MainPanel, {192, 8, 185, 161});
    Panel7 =
        NewCounterStrip(GroupBox1, {8, 19, 169, 20}, QStringLiteral(" Live In:"),
                        QStringLiteral("Time until the delayed sound is on air"), CountDownDis);
    Panel6 = NewCounterStrip(GroupBox1, {8, 56, 169, 20}, QStringLiteral(" Pending Buffers: "),
                             QStringLiteral("Buffers queued on the input"), PendingDis);
    ScalePnl = NewCounterStrip(GroupBox1, {8, 94, 169, 21}, QStringLiteral(" Frames:"),
                               QStringLiteral("Buffers played in this run"), FramesDis);
    PlayBtn = new QToolButton(GroupBox1);
    PlayBtn->setGeometry(8, 124, 169, 29);
    PlayBtn->setText(QStringLiteral("Play"));
    PlayBtn->setCheckable(true);
    PlayBtn->setIcon(PlayGlyph());
    PlayBtn->setIconSize(QSize(24, 24));
    PlayBtn->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    PlayBtn->setToolTip(QStringLiteral("Start or stop the delay"));
    connect(PlayBtn, &QToolButton::clicked, this,
            [this] { RunHandler([this] { PlayBtnClick(); }); });
}

void TForm1::BuildStatusLine() {
    OnAirStatus = new QLabel(QStringLiteral("Not on air"));
    OnAirStatus->setToolTip(QStringLiteral("The delay on air: the set delay and the devices' own"));
    DropoutStatus = new QLabel(DropoutText({}));
    DropoutStatus->setToolTip(
        QStringLiteral("Input frames lost, times the output ran dry, xruns the host reported"));
    statusBar()->addWidget(OnAirStatus, 1);
    statusBar()->addPermanentWidget(DropoutStatus);
    statusBar()->setSizeGripEnabled(false);
}

void TForm1::BuildLevelMeter() {
    Panel3 = NewPanel(MainPanel, TPanelBevel::bvRaised);
    Dock(MainPanel, Panel3, TAlign::alRight, LevelColumnWidth, MainPanel->FaceRect().left());
    const int inset = Panel3->FaceRect().left();
    Panel5 = NewPanel(Panel3, TPanelBevel::bvRaised);
    Dock(Panel3, Panel5, TAlign::alBottom, 24, inset);
    VUMeterChk = NewCheckBox(QStringLiteral("VU"), Panel5, {6, 4, 44, 17});
    VUMeterChk->setToolTip(QStringLiteral("Show the input level of each buffer"));
    Panel4 = NewPanel(Panel3, TPanelBevel::bvRaised);
    Panel4->SetBorderWidth(1);
    Dock(Panel3, Panel4, TAlign::alClient, 0, inset);
    const int columnInset = Panel4->FaceRect().left();
    Panel1 = NewChannelColumn(Panel4, LeftPeak, LeftVU);
    Dock(Panel4, Panel1, TAlign::alLeft, 17, columnInset);
    Panel2 = NewChannelColumn(Panel4, RightPeak, RightVU);
    Dock(Panel4, Panel2, TAlign::alRight, 17, columnInset);
}

void TForm1::FormCreate() {
    MemoryBudget = MemoryBudgetFor(MemoryProbe());
    MemoryDis->SetCaption(NumberText(MemoryBudget));
    UpdateBufferSize();
    MakeHelpFileAbsolute();
    LoadDefaults(*this);
    // Qt paints every widget through a back buffer, the graphs included: nothing to switch on.
    OscopeChkClick();
}

void TForm1::PlayBtnClick() {
    if (PlayBtn->isChecked()) {
        try {
            // A server that was down when the list was made may be up now: ask again.
            if (!HasFormat())
                ReadFormats();
            if (!HasFormat())
                throw Exception(NoFormatMessage(WaveDeviceFactory().FixedRate()));
            CountDownSecs = DelayHours() * 3600.0;
            Timer1->start();
            ShowCountDown();
            StartDelay();
        } catch (...) {
            // StartDelay has closed whatever it opened; put the window back to idle too.
            Timer1->stop();
            CountDownSecs = 0.0;
            CountDownDis->SetCaption(QString());
            DropBuffers = true;
            PlayBtn->setChecked(false);
            ShowRunState();
            throw;
        }
    } else {
        Timer1->stop();
        // The stop pumps events while the devices drain: no new run may start inside it.
        PlayBtn->setEnabled(false);
        const auto enable = qScopeGuard([this] { PlayBtn->setEnabled(true); });
        StopDelay();
    }
    ShowRunState();
}

void TForm1::ReadFormats() {
    WaveReader1->FillFormatList();
    WaveReader1->SetComboBox(FormatCombo);
    UpdateBufferSize();
}

void TForm1::ShowRunState() {
    const bool running = PlayBtn->isChecked();
    PlayBtn->setText(running ? QStringLiteral("Stop") : QStringLiteral("Play"));
    // Neither the delay nor the format may change under a run.
    DelayTimeSpin->setEnabled(!running);
    FormatCombo->setEnabled(!running);
}

void TForm1::DelayTimeSpinChange() {
    UpdateBufferSize();
}

void TForm1::OscopeChkClick() {
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

void TForm1::InputsBtnClick() {
    OpenSoundControlPanel();
}

void TForm1::SaveDefaults1Click() {
    SaveDefaults(*this);
}

void TForm1::HelpBtnClick() {
    ApplicationHelpCommand(HelpContents, 0);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (PlayBtn->isChecked()) {
        PlayBtn->setChecked(false);
        RunHandler([this] { PlayBtnClick(); });
    }
    event->accept();
}
