#include "window/oscopepanel.h"

#include "controls/colors.h"
#include "window/oscilloscope.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

namespace {

constexpr int PanelWidth = 463;
constexpr int PanelHeight = 273;
constexpr int Border = 4;
constexpr int HorzStripHeight = 18;
constexpr int VertStripWidth = 16;
constexpr int PosPanelWidth = 192;
constexpr int LeftGraphHeight = 104;
constexpr int SplitterHeight = 8;
constexpr int SplitterMinSize = 30;

// Pans move the view by a tenth of its span; zooms scale it by these factors.
constexpr double PanFraction = 0.1;
constexpr double ZoomInFactor = 0.9;
constexpr double ZoomOutFactor = 1.1;

enum class TGlyph { Left, Right, Up, Down, ZoomIn, ZoomOut, Reset };

// The buttons' small black pictures: arrows 17 x 9 (9 x 17 upright), the rest 9 x 9.
QPixmap MakeGlyph(TGlyph glyph) {
    const bool upright = glyph == TGlyph::Up || glyph == TGlyph::Down;
    const bool arrow = upright || glyph == TGlyph::Left || glyph == TGlyph::Right;
    const QSize size = !arrow ? QSize(9, 9) : upright ? QSize(9, 17) : QSize(17, 9);
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    switch (glyph) {
    case TGlyph::Left:
        painter.drawPolygon(QPolygon({{0, 4}, {4, 0}, {4, 8}}));
        painter.drawRect(4, 3, 12, 3);
        break;
    case TGlyph::Right:
        painter.drawPolygon(QPolygon({{16, 4}, {12, 0}, {12, 8}}));
        painter.drawRect(0, 3, 12, 3);
        break;
    case TGlyph::Up:
        painter.drawPolygon(QPolygon({{4, 0}, {0, 4}, {8, 4}}));
        painter.drawRect(3, 4, 3, 12);
        break;
    case TGlyph::Down:
        painter.drawPolygon(QPolygon({{4, 16}, {0, 12}, {8, 12}}));
        painter.drawRect(3, 0, 3, 12);
        break;
    case TGlyph::ZoomIn:
        painter.drawRect(0, 3, 9, 3);
        painter.drawRect(3, 0, 3, 9);
        break;
    case TGlyph::ZoomOut:
        painter.drawRect(0, 3, 9, 3);
        break;
    case TGlyph::Reset:
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(Qt::black, 2));
        painter.drawRect(1, 1, 7, 7);
        break;
    }
    return pixmap;
}

template <class Button>
Button* MakeButton(QWidget* parent, const QRect& geometry, const QString& hint, TGlyph glyph) {
    auto* button = new Button(parent);
    button->setGeometry(geometry);
    button->setToolTip(hint);
    const QPixmap picture = MakeGlyph(glyph);
    button->setIcon(QIcon(picture));
    button->setIconSize(picture.size());
    return button;
}

TAutoButton* MakeRepeatButton(QWidget* parent, const QRect& geometry, const QString& hint,
                              TGlyph glyph) {
    auto* button = MakeButton<TAutoButton>(parent, geometry, hint, glyph);
    button->SetDoRepeat(true);
    return button;
}

QLabel* MakePosLabel(QWidget* parent) {
    auto* label = new QLabel(QStringLiteral(" "), parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

TGraphBox* MakeScopeGraph(QWidget* parent, const QString& caption) {
    auto* graph = new TGraphBox(parent);
    graph->Title()->SetCaption(caption);
    graph->Title()->SetShowCaption(true);
    graph->Title()->SetBoxed(true);
    graph->Title()->SetPosition(TTitlePosition::tpCenter);
    graph->SetGraphType(TGraphType::gtLine);
    graph->SetDefaultData(false);
    graph->SetColor(clWhite);
    graph->SetBevelOuter(TPanelBevel::bvNone);
    graph->SetXRange(4, 0, 512);
    graph->SetYRange(2, 0, 256);
    return graph;
}

int FaceBottom(QWidget* widget) {
    const auto* panel = dynamic_cast<TPanel*>(widget);
    return panel ? panel->FaceRect().bottom() + 1 : widget->height();
}

} // namespace

TSplitter::TSplitter(QWidget* parent, QWidget* above, int minSize)
    : TPanel(parent), Above(above), MinSize(minSize) {
    setCursor(Qt::SplitVCursor);
}

void TSplitter::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        GrabY = int(event->position().y());
}

void TSplitter::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const int most = FaceBottom(parentWidget()) - MinSize - height() - Above->y();
    const int wanted = Above->height() + int(event->position().y()) - GrabY;
    const int newHeight = std::max(MinSize, std::min(wanted, most));
    if (newHeight == Above->height())
        return;
    Above->resize(Above->width(), newHeight);
    if (OnMoved)
        OnMoved();
}

TOscopePanel::TOscopePanel(QWidget* parent) : TPanel(parent), LeftGraphWanted(LeftGraphHeight) {
    SetBevelOuter(TPanelBevel::bvNone);
    SetBorderWidth(Border);

    HorzButtonStrip = new TPanel(this);
    HorzButtonStrip->SetBevelOuter(TPanelBevel::bvNone);
    LeftRawBtn = MakeRepeatButton(HorzButtonStrip, {10, 1, 23, 15}, "Move Left", TGlyph::Left);
    ZoomInRawHBtn = MakeRepeatButton(HorzButtonStrip, {32, 1, 16, 15}, "Zoom In", TGlyph::ZoomIn);
    ResetRawHBtn =
        MakeButton<QToolButton>(HorzButtonStrip, {48, 1, 16, 15}, "Reset", TGlyph::Reset);
    ZoomOutRawHBtn = MakeRepeatButton(HorzButtonStrip, {64, 1, 16, 15}, "ZoomOut", TGlyph::ZoomOut);
    PanRightRawHBtn =
        MakeRepeatButton(HorzButtonStrip, {80, 1, 23, 15}, "Move Right", TGlyph::Right);
    PositionPanel = new TPanel(HorzButtonStrip);
    PositionPanel->SetBevelOuter(TPanelBevel::bvLowered);
    PositionPanel->SetCaption(QStringLiteral(" Pos:"));
    PositionPanel->SetAlignment(TAlignment::taLeftJustify);
    PosXDis = MakePosLabel(PositionPanel);
    PositionGap = new TPanel(PositionPanel);
    PosYDis = MakePosLabel(PositionPanel);

    VertButtonStrip = new TPanel(this);
    VertButtonStrip->SetBevelOuter(TPanelBevel::bvNone);
    PanUpRawVBtn = MakeRepeatButton(VertButtonStrip, {1, 2, 15, 23}, "Move Up", TGlyph::Up);
    ZoomInRawVBtn = MakeRepeatButton(VertButtonStrip, {1, 25, 15, 16}, "Zoom In", TGlyph::ZoomIn);
    ResetRawVBtn =
        MakeButton<QToolButton>(VertButtonStrip, {1, 41, 15, 16}, "Reset", TGlyph::Reset);
    ZoomOutRawVBtn =
        MakeRepeatButton(VertButtonStrip, {1, 57, 15, 16}, "Zoom Out", TGlyph::ZoomOut);
    PanDownRawVBtn = MakeRepeatButton(VertButtonStrip, {1, 73, 15, 23}, "Move Down", TGlyph::Down);

    GraphsPanel = new TPanel(this);
    LeftGraph = MakeScopeGraph(GraphsPanel, QStringLiteral("Left Channel"));
    GraphSplitter = new TSplitter(GraphsPanel, LeftGraph, SplitterMinSize);
    GraphSplitter->OnMoved = [this] {
        LeftGraphWanted = LeftGraph->height();
        LayOut();
    };
    RightGraph = MakeScopeGraph(GraphsPanel, QStringLiteral("Right Channel"));

    const std::pair<QAbstractButton*, void (TOscopePanel::*)()> handlers[] = {
        {PanUpRawVBtn, &TOscopePanel::PanUpRawVBtnClick},
        {PanDownRawVBtn, &TOscopePanel::PanDownRawVBtnClick},
        {ZoomInRawVBtn, &TOscopePanel::ZoomInRawVBtnClick},
        {ZoomOutRawVBtn, &TOscopePanel::ZoomOutRawVBtnClick},
        {ResetRawVBtn, &TOscopePanel::ResetRawVBtnClick},
        {LeftRawBtn, &TOscopePanel::LeftRawBtnClick},
        {PanRightRawHBtn, &TOscopePanel::PanRightRawHBtnClick},
        {ZoomInRawHBtn, &TOscopePanel::ZoomInRawHBtnClick},
        {ZoomOutRawHBtn, &TOscopePanel::ZoomOutRawHBtnClick},
        {ResetRawHBtn, &TOscopePanel::ResetRawHBtnClick},
    };
    for (const auto& [button, handler] : handlers)
        connect(button, &QAbstractButton::clicked, this, handler);

    resize(PanelWidth, PanelHeight);
    LayOut();
    AttachScopeGraphs(LeftGraph, RightGraph);
}

TOscopePanel::~TOscopePanel() {
    DetachScopeGraphs(LeftGraph);
}

void TOscopePanel::resizeEvent(QResizeEvent* event) {
    TPanel::resizeEvent(event);
    LayOut();
}

void TOscopePanel::LayOut() {
    const QRect face = FaceRect();
    HorzButtonStrip->setGeometry(face.left(), face.top(), face.width(), HorzStripHeight);
    const int below = face.top() + HorzStripHeight;
    const int restHeight = std::max(0, face.bottom() + 1 - below);
    VertButtonStrip->setGeometry(face.right() + 1 - VertStripWidth, below, VertStripWidth,
                                 restHeight);
    GraphsPanel->setGeometry(face.left(), below, std::max(0, face.width() - VertStripWidth),
                             restHeight);

    PositionPanel->setGeometry(HorzButtonStrip->width() - PosPanelWidth, 0, PosPanelWidth,
                               HorzStripHeight);
    const QRect pos = PositionPanel->FaceRect();
    const int labelWidth = 79;
    PosYDis->setGeometry(pos.right() + 1 - labelWidth, pos.top(), labelWidth, pos.height());
    PositionGap->setGeometry(PosYDis->x() - 3, pos.top(), 3, pos.height());
    PosXDis->setGeometry(PositionGap->x() - labelWidth, pos.top(), labelWidth, pos.height());

    const QRect client = GraphsPanel->FaceRect();
    const int most = client.height() - SplitterHeight - SplitterMinSize;
    // A squeezed panel shrinks the left graph only for now; it gets its height back on growing.
    const int topHeight = std::max(0, std::min(LeftGraphWanted, most));
    LeftGraph->setGeometry(client.left(), client.top(), client.width(), topHeight);
    GraphSplitter->setGeometry(client.left(), client.top() + topHeight, client.width(),
                               SplitterHeight);
    const int rightTop = GraphSplitter->y() + SplitterHeight;
    RightGraph->setGeometry(client.left(), rightTop, client.width(),
                            std::max(0, client.bottom() + 1 - rightTop));
}

void TOscopePanel::PanUpRawVBtnClick() {
    PanAxis(*RightGraph, true, PanFraction);
    PanAxis(*LeftGraph, true, PanFraction);
}

void TOscopePanel::PanDownRawVBtnClick() {
    PanAxis(*RightGraph, true, -PanFraction);
    PanAxis(*LeftGraph, true, -PanFraction);
}

void TOscopePanel::ZoomInRawVBtnClick() {
    ZoomAxis(*LeftGraph, true, ZoomInFactor);
    ZoomAxis(*RightGraph, true, ZoomInFactor);
}

void TOscopePanel::ZoomOutRawVBtnClick() {
    ZoomAxis(*LeftGraph, true, ZoomOutFactor);
    ZoomAxis(*RightGraph, true, ZoomOutFactor);
}

void TOscopePanel::ResetRawVBtnClick() {
    ResetAxis(*LeftGraph, ResetRanges(), false);
    ResetAxis(*RightGraph, ResetRanges(), false);
}

void TOscopePanel::LeftRawBtnClick() {
    PanAxis(*RightGraph, false, -PanFraction);
    PanAxis(*LeftGraph, false, -PanFraction);
}

void TOscopePanel::PanRightRawHBtnClick() {
    PanAxis(*RightGraph, false, PanFraction);
    PanAxis(*LeftGraph, false, PanFraction);
}

void TOscopePanel::ZoomInRawHBtnClick() {
    ZoomAxis(*LeftGraph, false, ZoomInFactor);
    ZoomAxis(*RightGraph, false, ZoomInFactor);
}

void TOscopePanel::ZoomOutRawHBtnClick() {
    ZoomAxis(*LeftGraph, false, ZoomOutFactor);
    ZoomAxis(*RightGraph, false, ZoomOutFactor);
}

void TOscopePanel::ResetRawHBtnClick() {
    ResetAxis(*LeftGraph, ResetRanges(), true);
    ResetAxis(*RightGraph, ResetRanges(), true);
}
