#include "controls/panel.h"

#include <QMouseEvent>
#include <QPainter>

#include "support/property.h"

namespace {

// Default size of a new panel.
constexpr int PanelWidth = 185;
constexpr int PanelHeight = 41;

// Draws width rings of a 3-D frame inside rect and returns what is left inside them.
QRect Frame3D(QPainter& painter, QRect rect, const QColor& topColor, const QColor& bottomColor,
              int width) {
    for (int ring = 0; ring < width && rect.isValid(); ++ring) {
        painter.setPen(topColor);
        painter.drawLine(rect.left(), rect.top(), rect.right() - 1, rect.top());
        painter.drawLine(rect.left(), rect.top(), rect.left(), rect.bottom());
        painter.setPen(bottomColor);
        painter.drawLine(rect.right(), rect.top(), rect.right(), rect.bottom());
        painter.drawLine(rect.left(), rect.bottom(), rect.right(), rect.bottom());
        rect.adjust(1, 1, -1, -1);
    }
    return rect;
}

int BevelRing(TPanelBevel bevel, int width) {
    return bevel == TPanelBevel::bvNone ? 0 : width;
}

} // namespace

TPanel::TPanel(QWidget* parent) : QFrame(parent), ColorValue(palette().color(QPalette::Button)) {
    setFrameShape(QFrame::NoFrame);
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(PanelWidth, PanelHeight);
}

void TPanel::SetBevelInner(TPanelBevel value) {
    if (StoreChanged(BevelInnerValue, value))
        update();
}

void TPanel::SetBevelOuter(TPanelBevel value) {
    if (StoreChanged(BevelOuterValue, value))
        update();
}

void TPanel::SetBevelWidth(int value) {
    if (StoreChanged(BevelWidthValue, value))
        update();
}

void TPanel::SetBorderWidth(int value) {
    if (StoreChanged(BorderWidthValue, value))
        update();
}

void TPanel::SetCaption(const QString& value) {
    if (StoreChanged(CaptionText, value))
        update();
}

void TPanel::SetAlignment(TAlignment value) {
    if (StoreChanged(AlignmentValue, value))
        update();
}

void TPanel::SetColor(const QColor& value) {
    if (StoreChanged(ColorValue, value))
        update();
}

QRect TPanel::FaceRect() const {
    const int inset = BevelRing(BevelOuterValue, BevelWidthValue) + BorderWidthValue +
                      BevelRing(BevelInnerValue, BevelWidthValue);
    return rect().adjusted(inset, inset, -inset, -inset);
}

void TPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QColor light = palette().color(QPalette::Light);
    const QColor shadow = palette().color(QPalette::Dark);
    const auto bevel = [&](QRect rect, TPanelBevel kind) {
        if (kind == TPanelBevel::bvNone)
            return rect;
        const bool lowered = kind == TPanelBevel::bvLowered;
        return Frame3D(painter, rect, lowered ? shadow : light, lowered ? light : shadow,
                       BevelWidthValue);
    };
    QRect face = bevel(rect(), BevelOuterValue);
    painter.fillRect(face, ColorValue);
    face.adjust(BorderWidthValue, BorderWidthValue, -BorderWidthValue, -BorderWidthValue);
    face = bevel(face, BevelInnerValue);
    painter.fillRect(face, ColorValue);
    if (CaptionText.isEmpty())
        return;
    painter.setPen(palette().color(QPalette::Active, QPalette::WindowText));
    painter.setFont(font());
    painter.drawText(face,
                     Qt::AlignVCenter | Qt::TextSingleLine | HorizontalAlignment(AlignmentValue),
                     CaptionText);
}

void TPanel::mousePressEvent(QMouseEvent* event) {
    if (OnMouseDown)
        OnMouseDown(this, event->button());
    QFrame::mousePressEvent(event);
}
