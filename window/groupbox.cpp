#include "window/groupbox.h"

#include <QPainter>

TGroupBox::TGroupBox(const QString& caption, QWidget* parent)
    : QWidget(parent), CaptionText(caption) {}

void TGroupBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QFontMetrics metrics(font());
    const int lineY = metrics.height() / 2;
    const QRect frame = rect().adjusted(0, lineY, -2, -2);
    // Etched: a shadow line with a light line one pixel below and right of it.
    painter.setPen(palette().color(QPalette::Light));
    painter.drawRect(frame.translated(1, 1));
    painter.setPen(palette().color(QPalette::Dark));
    painter.drawRect(frame);
    const QRect caption(8, 0, metrics.horizontalAdvance(CaptionText) + 2, metrics.height());
    painter.fillRect(caption, palette().color(QPalette::Window));
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(caption, Qt::AlignCenter, CaptionText);
}
