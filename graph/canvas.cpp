#include "graph/canvas.h"

#include <QFontMetrics>
#include <algorithm>

TCanvas::TCanvas(QPainter& painter) : Target(painter) {
    Target.setRenderHint(QPainter::Antialiasing, false);
    Target.setBackgroundMode(Qt::TransparentMode);
    Target.setBrush(Qt::NoBrush);
    Applied = Target.pen();
}

void TCanvas::ApplyPen() {
    QPen pen(PenColor);
    pen.setWidth(PenWidth <= 1 ? 1 : PenWidth);
    // A one-pixel flat-capped line leaves out its last pixel; wide pens get round ends.
    pen.setCapStyle(PenWidth <= 1 ? Qt::FlatCap : Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setStyle(PenDotted ? Qt::DotLine : Qt::SolidLine);
    // Re-setting an equal pen still costs the painter a state change per segment.
    if (pen != Applied) {
        Target.setPen(pen);
        Applied = pen;
    }
}

void TCanvas::MoveTo(int32_t x, int32_t y) {
    Pos = QPoint(x, y);
}

void TCanvas::LineTo(int32_t x, int32_t y) {
    const QPoint end(x, y);
    if (end != Pos) {
        ApplyPen();
        Target.drawLine(Pos, end);
    }
    Pos = end;
}

void TCanvas::Rectangle(int32_t x1, int32_t y1, int32_t x2, int32_t y2) {
    const QRect rect(QPoint(std::min(x1, x2), std::min(y1, y2)),
                     QPoint(std::max(x1, x2) - 1, std::max(y1, y2) - 1));
    if (rect.isEmpty())
        return;
    Target.fillRect(rect.adjusted(1, 1, -1, -1), BrushColor);
    FrameRect(rect, PenColor);
}

void TCanvas::FrameRect(const QRect& rect, const QColor& color) {
    if (rect.isEmpty())
        return;
    Target.fillRect(QRect(rect.left(), rect.top(), rect.width(), 1), color);
    Target.fillRect(QRect(rect.left(), rect.bottom(), rect.width(), 1), color);
    Target.fillRect(QRect(rect.left(), rect.top(), 1, rect.height()), color);
    Target.fillRect(QRect(rect.right(), rect.top(), 1, rect.height()), color);
}

void TCanvas::TextOut(int32_t x, int32_t y, const QString& text) {
    const int32_t baseline =
        TextAlign == TTextAlign::TopLeft ? y + Target.fontMetrics().ascent() : y;
    Target.setPen(FontColor);
    Applied = Target.pen();
    Target.drawText(x, baseline, text);
}

void TCanvas::TextRect(const QRect& clip, int32_t x, int32_t y, const QString& text) {
    Target.save();
    Target.setClipRect(clip, Qt::IntersectClip);
    TextOut(x, y, text);
    Target.restore();
    Applied = Target.pen();
}

int32_t TCanvas::TextWidth(const QString& text) const {
    return Target.fontMetrics().horizontalAdvance(text);
}

int32_t TCanvas::TextHeight(const QString&) const {
    return Target.fontMetrics().height();
}

void TCanvas::SetClip(const QRect& rect) {
    Target.setClipRect(rect);
}

void TCanvas::RemoveClip() {
    Target.setClipping(false);
}
