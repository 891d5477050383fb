#include "controls/gauges.h"

#include <QPainter>
#include <QtMath>
#include <algorithm>
#include <cmath>
#include <limits>

#include "controls/colors.h"
#include "support/errors.h"
#include "support/property.h"

namespace {

constexpr int GaugeSize = 100;

// A rectangle given by its left, top and exclusive right and bottom edges.
QRect EdgeRect(int left, int top, int right, int bottom) {
    return QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
}

// The box QPainter needs for an outlined ellipse or pie that covers left up to right - 1: its
// outline runs over the box's right and bottom edge as well.
QRect OutlineBox(int left, int top, int right, int bottom) {
    return EdgeRect(left, top, right - 1, bottom - 1);
}

void FillEdges(QPainter& painter, int left, int top, int right, int bottom, const QColor& color) {
    if (right > left && bottom > top)
        painter.fillRect(EdgeRect(left, top, right, bottom), color);
}

int Round(double value) {
    return static_cast<int>(std::nearbyint(value));
}

// Angle of a point as seen from the centre of the box, in the ellipse's own terms and counted
// counter-clockwise from three o'clock, as QPainter takes it.
double EllipseAngle(const QRectF& box, QPointF point) {
    const double x = (point.x() - box.center().x()) / (box.width() / 2);
    const double y = (box.center().y() - point.y()) / (box.height() / 2);
    return qRadiansToDegrees(std::atan2(y, x));
}

// A pie in the box with exclusive right and bottom edges, its arc running counter-clockwise
// from the radial through start to the radial through end; equal points give the whole ellipse.
void DrawPie(QPainter& painter, int left, int top, int right, int bottom, QPoint start,
             QPoint end) {
    const QRect box = OutlineBox(left, top, right, bottom);
    const QRectF exactBox(left, top, right - left, bottom - top);
    double span = 360;
    if (start != end) {
        span = EllipseAngle(exactBox, end) - EllipseAngle(exactBox, start);
        while (span <= 0)
            span += 360;
        while (span > 360)
            span -= 360;
    }
    constexpr int sixteenths = 16;
    painter.drawPie(box, Round(EllipseAngle(exactBox, start) * sixteenths),
                    Round(span * sixteenths));
}

// A line as the platform draws it: every pixel but the last.
void DrawLine(QPainter& painter, QPoint from, QPoint to) {
    painter.save();
    painter.setClipRegion(QRegion(painter.viewport()).subtracted(QRegion(to.x(), to.y(), 1, 1)));
    painter.drawLine(from, to);
    painter.restore();
}

// Composes a layer onto the picture by exclusive or.
void XorInto(QImage& image, const QImage& layer) {
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.drawImage(0, 0, layer);
}

QString RangeMessage(int64_t low, int64_t high) {
    return QStringLiteral("Value must be between %1 and %2").arg(low).arg(high);
}

} // namespace

int32_t PercentOfRange(int64_t part, int64_t whole) {
    if (whole == 0)
        return 0;
    return static_cast<int32_t>(std::trunc(static_cast<long double>(part) * 100 / whole));
}

int32_t PercentOfLength(int32_t percent, int32_t length) {
    return static_cast<int32_t>(std::trunc(percent * 0.01L * length));
}

void TGaugeLayer::MakeLike(const QImage& source) {
    QImage::operator=(QImage(source.size(), QImage::Format_RGB32));
    fill(clWindowFrame);
}

TGauge::TGauge(QWidget* parent)
    : QWidget(parent), ForeColorValue(clBlack), BackColorValue(clWhite),
      ColorValue(palette().color(QPalette::Button)) {
    // The paint covers every pixel itself.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(GaugeSize, GaugeSize);
}

int32_t TGauge::Percent() const {
    return PercentOfRange(int64_t{ProgressValue} - MinValueValue,
                          int64_t{MaxValueValue} - MinValueValue);
}

void TGauge::SetMinValue(int32_t value) {
    if (value == MinValueValue)
        return;
    if (value > MaxValueValue && !Loading())
        throw EInvalidOperation(
            RangeMessage(-std::numeric_limits<int32_t>::max(), int64_t{MaxValueValue} - 1));
    MinValueValue = value;
    if (ProgressValue < value)
        ProgressValue = value;
    update();
}

void TGauge::SetMaxValue(int32_t value) {
    if (value == MaxValueValue)
        return;
    if (value < MinValueValue && !Loading())
        throw EInvalidOperation(
            RangeMessage(int64_t{MinValueValue} + 1, std::numeric_limits<int32_t>::max()));
    MaxValueValue = value;
    if (ProgressValue > value)
        ProgressValue = value;
    update();
}

void TGauge::SetProgress(int32_t value) {
    if (value < MinValueValue)
        value = MinValueValue;
    else if (value > MaxValueValue)
        value = MaxValueValue;
    if (value == ProgressValue)
        return;
    const int32_t oldPercent = Percent();
    ProgressValue = value;
    if (Percent() != oldPercent)
        update();
}

void TGauge::SetKind(TGaugeKind value) {
    if (StoreChanged(KindValue, value))
        update();
}

void TGauge::SetShowText(bool value) {
    if (StoreChanged(ShowTextValue, value))
        update();
}

void TGauge::SetBorderStyle(TBorderStyle value) {
    if (StoreChanged(BorderStyleValue, value))
        update();
}

void TGauge::SetForeColor(const QColor& value) {
    if (StoreChanged(ForeColorValue, value))
        update();
}

void TGauge::SetBackColor(const QColor& value) {
    if (StoreChanged(BackColorValue, value))
        update();
}

void TGauge::SetColor(const QColor& value) {
    if (StoreChanged(ColorValue, value))
        update();
}

void TGauge::DrawKind(QPainter& painter, int left, int top, int right, int bottom) const {
    const int percent = Percent();
    const int border = BorderStyleValue == TBorderStyle::bsSingle ? 1 : 0;
    // Flat caps: nothing beyond a line's ends.
    painter.setPen(QPen(ForeColorValue, 1, Qt::SolidLine, Qt::FlatCap));
    switch (KindValue) {
    case TGaugeKind::gkText:
        FillEdges(painter, left, top, right, bottom, BackColorValue);
        break;
    case TGaugeKind::gkHorizontalBar:
    case TGaugeKind::gkVerticalBar: {
        FillEdges(painter, left, top, right, bottom, BackColorValue);
        const int w = right - left + 1;
        const int h = bottom - top + 1;
        if (KindValue == TGaugeKind::gkHorizontalBar) {
            const int fill = std::min(PercentOfLength(percent, w), w);
            if (fill > 0)
                FillEdges(painter, left, top, fill, h, ForeColorValue);
        } else {
            int fill = PercentOfLength(percent, h);
            // The top row always stays empty.
            if (fill >= h)
                fill = h - 1;
            if (fill > 0)
                FillEdges(painter, left, h - fill, w, h, ForeColorValue);
        }
        break;
    }
    case TGaugeKind::gkPie: {
        const int w = right - left + border;
        const int h = bottom - top + border;
        FillEdges(painter, left, top, right, bottom, ColorValue);
        painter.setBrush(BackColorValue);
        painter.drawEllipse(OutlineBox(left, top, w, h));
        if (percent > 0) {
            painter.setBrush(ForeColorValue);
            const int mx = w / 2;
            const int my = h / 2;
            const double angle = M_PI * (percent / 50.0 + 0.5);
            DrawPie(painter, left, top, w, h,
                    QPoint(Round(mx * (1 - std::cos(angle))), Round(my * (1 - std::sin(angle)))),
                    QPoint(mx, 0));
        }
        break;
    }
    case TGaugeKind::gkNeedle: {
        const int w = right - left + border;
        const int h = bottom - top + border;
        FillEdges(painter, left, top, right, bottom, ColorValue);
        painter.setBrush(BackColorValue);
        // The upper half of an ellipse standing on the bottom edge.
        DrawPie(painter, left, top, w, 2 * h - 1, QPoint(left + w, bottom - 1),
                QPoint(left, bottom - 1));
        DrawLine(painter, QPoint(left, bottom), QPoint(left + w, bottom));
        if (percent > 0) {
            const int cx = width() / 2;
            const double angle = percent * M_PI / 100;
            DrawLine(painter, QPoint(cx, bottom - 1),
                     QPoint(Round(cx * (1 - std::cos(angle))),
                            Round((bottom - 1) * (1 - std::sin(angle)))));
        }
        break;
    }
    }
}

QImage TGauge::PaintImage() const {
    QImage image(size(), QImage::Format_RGB32);
    image.fill(clBlack);
    int left = 0;
    int top = 0;
    int right = width();
    int bottom = height();
    // The outermost ring stays black and makes the frame.
    if (BorderStyleValue == TBorderStyle::bsSingle) {
        ++left;
        ++top;
        --right;
        --bottom;
    }
    TGaugeLayer overlay;
    overlay.MakeLike(image);
    overlay.fill(clBlack);
    {
        QPainter painter(&overlay);
        DrawKind(painter, left, top, right, bottom);
    }
    XorInto(image, overlay);
    if (ShowTextValue) {
        TGaugeLayer textLayer;
        textLayer.MakeLike(image);
        textLayer.fill(clBlack);
        QPainter painter(&textLayer);
        const QString text = QStringLiteral("%1%").arg(Percent());
        // Plain white pixels, so the exclusive or inverts exactly what lies under the text.
        QFont textFont = font();
        textFont.setStyleStrategy(QFont::NoAntialias);
        painter.setFont(textFont);
        painter.setPen(clWhite);
        const QFontMetrics metrics(textFont);
        const int x = (right - left + 1 - metrics.horizontalAdvance(text)) / 2;
        const int y = (bottom - top + 1 - metrics.height()) / 2;
        painter.setClipRect(EdgeRect(left, top, right, bottom));
        painter.drawText(x, y + metrics.ascent(), text);
        painter.end();
        // Text over the bar and over the background shows as the inverse of each.
        XorInto(image, textLayer);
    }
    return image;
}

void TGauge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, PaintImage());
}
