#include "graph/graphaxes.h"

#include "graph/graphbox.h"
#include "graph/graphicslib.h"
#include "support/conversions.h"

#include <QLocale>
#include <algorithm>
#include <cmath>

TAxisParams::TAxisParams(QObject* parent) : QObject(parent) {}

template <class T> void TAxisParams::Assign(T& field, const T& value, bool checkLog) {
    if (!Change(field, value))
        return;
    if (checkLog)
        CheckLogRange();
    if (OnChange)
        OnChange(this);
}

void TAxisParams::SetExponentLabels(bool value) {
    Assign(ExponentLabels_, value);
}
void TAxisParams::SetLog(bool value) {
    Assign(Log_, value, true);
}
void TAxisParams::SetMinorLabels(bool value) {
    Assign(MinorLabels_, value);
}
void TAxisParams::SetMinorLines(bool value) {
    Assign(MinorLines_, value);
}
void TAxisParams::SetMin(double value) {
    Assign(Min_, value, true);
}
void TAxisParams::SetMax(double value) {
    Assign(Max_, value, true);
}
void TAxisParams::SetMultiplier(double value) {
    Assign(Multiplier_, value);
}
void TAxisParams::SetOffset(double value) {
    Assign(Offset_, value);
}
void TAxisParams::SetLines(int32_t value) {
    Assign(Lines_, value);
}
void TAxisParams::SetShowLabels(bool value) {
    Assign(ShowLabels_, value);
}
void TAxisParams::SetUnits(const QString& value) {
    Assign(Units_, value);
}
void TAxisParams::SetCycle(double value) {
    Assign(Cycle_, value);
}

void TAxisParams::SetLabelModulo(int32_t value) {
    if (value >= 1)
        Assign(LabelModulo_, value);
}

void TAxisParams::CheckLogRange() {
    if (!Log_)
        return;
    if (!(Max_ > 0))
        Max_ = 1.0;
    if (!(Min_ > 0))
        Min_ = 1.0;
}

double TAxisParams::LabelValue(double v) const {
    const double value = (v + Offset_) * Multiplier_;
    return Cycle_ != 0 ? double(RealMod(value, Cycle_)) : value;
}

QString TAxisParams::LabelText(double v, int32_t decimals) const {
    return FixedText(LabelValue(v), decimals) + Units_;
}

TGraphTitle::TGraphTitle(QObject* parent) : QObject(parent) {}

template <class T> void TGraphTitle::Assign(T& field, const T& value) {
    if (Change(field, value) && OnChange)
        OnChange(this);
}

void TGraphTitle::SetCaption(const QString& value) {
    Assign(Caption_, value);
}
void TGraphTitle::SetShowCaption(bool value) {
    Assign(ShowCaption_, value);
}
void TGraphTitle::SetBoxed(bool value) {
    Assign(Boxed_, value);
}
void TGraphTitle::SetPosition(TTitlePosition value) {
    Assign(Position_, value);
}

namespace {

// Decades a double can span: ticks beyond them are infinite or zero.
constexpr int32_t MaxExponent = 310;

} // namespace

TLogTick FirstLogTick(double v) {
    const long double decade = std::floor(Log10(v));
    TLogTick tick;
    // A value without a finite logarithm (0, infinity, NaN) starts at the first tick of 10^0.
    tick.Exponent = std::isfinite(decade)
                        ? int32_t(std::clamp<long double>(decade, -MaxExponent, MaxExponent))
                        : 0;
    const double mantissa = std::trunc(v / PowerOfTen(tick.Exponent));
    tick.Mantissa = mantissa >= 0 && mantissa <= 10 ? int32_t(mantissa) : 1;
    // The logarithm of an exact power of ten may fall just short of the integer.
    if (tick.Mantissa == 10) {
        tick.Mantissa = 1;
        ++tick.Exponent;
    }
    NextLogTick(tick);
    return tick;
}

void NextLogTick(TLogTick& tick) {
    ++tick.Mantissa;
    if (tick.Mantissa >= 10) {
        tick.Mantissa = 1;
        ++tick.Exponent;
    }
}

double LogTickValue(const TLogTick& tick) {
    long double power = 1.0L;
    for (int32_t i = 0; i < std::abs(tick.Exponent); ++i)
        power *= 10.0L;
    return double(tick.Exponent < 0 ? tick.Mantissa / power : tick.Mantissa * power);
}

void ForEachLogTick(double min, double max,
                    const std::function<void(const TLogTick& tick, bool major)>& visitor) {
    TLogTick tick = FirstLogTick(min);
    for (;;) {
        visitor(tick, tick.Mantissa == 1);
        NextLogTick(tick);
        // A NaN or infinite Max is never reached: stop where doubles end instead of hanging.
        if (LogTickValue(tick) >= max || tick.Exponent > MaxExponent)
            break;
    }
}

QString FixedText(double value, int32_t decimals) {
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return locale.toString(value, 'f', std::clamp(decimals, 0, 18));
}

// The drawing steps of the graph box that turn axes and title into pixels.

namespace {

// a x b / c rounded to the nearest integer, halves away from zero.
int32_t MulDiv(int32_t a, int32_t b, int32_t c) {
    return int32_t(std::lround(double(int64_t(a) * b) / c));
}

int32_t Round(double v) {
    return int32_t(std::nearbyint(v));
}

// Scale of an axis that spans span data units over pixels; a zero span maps every value onto
// the origin instead of dividing by zero.
double AxisScale(int32_t pixels, double span) {
    return span == 0 ? 1e-99 : pixels / span;
}

// The start of a log axis: bounds at or below zero have no logarithm and count as 1.
double LogAxisMin(double min) {
    return min <= 0 ? 1.0 : min;
}

} // namespace

void TGraphBox::MoveToPlot(int32_t x, int32_t y) {
    Canvas->MoveTo(x + PlotLeft_, PlotBottom_ - y);
}

void TGraphBox::LineToPlot(int32_t x, int32_t y, const QColor& color) {
    Canvas->SetPenColor(color);
    int32_t endX = x + PlotLeft_;
    int32_t endY = PlotBottom_ - y;
    if (DrawLastPixel()) {
        const QPoint start = Canvas->PenPos();
        ExtendLineEnd(start.x(), start.y(), endX, endY);
    }
    Canvas->LineTo(endX, endY);
}

void TGraphBox::DrawLinearXAxis(int32_t lines, double min, double max) {
    const double span = max - min;
    XScale_ = AxisScale(PlotWidth_, span);
    XOffset_ = min;
    // No grid interval means no grid and no labels, not a division by zero.
    if (lines <= 0)
        return;
    const double step = double(PlotWidth_) / lines;
    for (int32_t i = 1; i <= lines; ++i) {
        const int32_t x = Round(i * step);
        MoveToPlot(x, 0);
        LineToPlot(x, PlotHeight_, GridColor());
    }
    if (!XAxis_->ShowLabels())
        return;
    const double valueStep = span / lines;
    double v = min;
    for (int32_t i = 0; i <= lines; ++i) {
        const QString text = XAxis_->LabelText(v, Decimals2());
        if (i % XAxis_->LabelModulo() == 0)
            Canvas->TextOut(Round(i * step + PlotLeft_) - MulDiv(Canvas->TextWidth(text), 65, 100),
                            PlotBottom_ + 1, text);
        v += valueStep;
    }
}

void TGraphBox::DrawLinearYAxis(int32_t lines, double min, double max) {
    const double span = max - min;
    YScale_ = AxisScale(PlotHeight_, span);
    YOffset_ = min;
    Canvas->SetTextAlign(TTextAlign::BaselineLeft);
    if (lines <= 0)
        return;
    const double valueStep = span / lines;
    const double pixelStep = double(PlotHeight_) / lines;
    double v = min;
    for (int32_t i = 0; i <= lines; ++i) {
        const double y = i * pixelStep;
        MoveToPlot(0, Round(y));
        LineToPlot(PlotWidth_, Round(y), GridColor());
        if (YAxis_->ShowLabels() && i % YAxis_->LabelModulo() == 0) {
            const QString text = YAxis_->LabelText(v, Decimals1());
            Canvas->TextOut(PlotLeft_ - Canvas->TextWidth(text) - 2, Round(PlotBottom_ - y), text);
        }
        v += valueStep;
    }
}

void TGraphBox::DrawLogXAxis(double min, double max) {
    min = LogAxisMin(min);
    const double lo = double(Log10(min));
    XScale_ = AxisScale(PlotWidth_, double(Log10(max)) - lo);
    XOffset_ = lo;
    auto tickX = [this](const TLogTick& tick) {
        return ClampPixel(std::trunc((double(Log10(LogTickValue(tick))) - XOffset_) * XScale_));
    };
    ForEachLogTick(min, max, [&](const TLogTick& tick, bool major) {
        if (!major && !XAxis_->MinorLines())
            return;
        Canvas->SetPenDotted(!major);
        MoveToPlot(tickX(tick), 0);
        LineToPlot(tickX(tick), PlotHeight_, GridColor());
    });
    if (XAxis_->ShowLabels()) {
        ForEachLogTick(min, max, [&](const TLogTick& tick, bool major) {
            if (!major && !XAxis_->MinorLabels())
                return;
            int32_t x = tickX(tick) + PlotLeft_;
            int32_t y = PlotBottom_ + 1;
            QString text;
            if (!major) {
                text = QString::number(tick.Mantissa);
                x -= MulDiv(Canvas->TextWidth(text), 65, 100);
            } else if (XAxis_->ExponentLabels()) {
                text = QStringLiteral("10^") + QString::number(tick.Exponent);
                y += MulDiv(Canvas->TextHeight(text), 40, 100);
            } else {
                text = XAxis_->LabelText(LogTickValue(tick), Decimals2());
            }
            SuperTextOut(*Canvas, text, x, y);
        });
    }
    Canvas->SetPenDotted(false);
}

void TGraphBox::DrawLogYAxis(double min, double max) {
    min = LogAxisMin(min);
    const double lo = double(Log10(min));
    YScale_ = AxisScale(PlotHeight_, double(Log10(max)) - lo);
    YOffset_ = lo;
    Canvas->SetTextAlign(TTextAlign::BaselineLeft);
    auto tickY = [this](const TLogTick& tick) {
        return ClampPixel(std::trunc((double(Log10(LogTickValue(tick))) - YOffset_) * YScale_));
    };
    ForEachLogTick(min, max, [&](const TLogTick& tick, bool major) {
        if (!major && !YAxis_->MinorLines())
            return;
        Canvas->SetPenDotted(!major);
        MoveToPlot(0, tickY(tick));
        LineToPlot(PlotWidth_, tickY(tick), GridColor());
    });
    if (YAxis_->ShowLabels()) {
        ForEachLogTick(min, max, [&](const TLogTick& tick, bool major) {
            if (!major && !YAxis_->MinorLabels())
                return;
            int32_t y = tickY(tick);
            QString text;
            if (!major) {
                text = QString::number(tick.Mantissa);
                // Puts the baseline half a line below the tick.
                y -= Canvas->TextHeight(QStringLiteral("H")) / 2;
            } else if (YAxis_->ExponentLabels()) {
                text = QStringLiteral("10^") + QString::number(tick.Exponent);
            } else {
                text = YAxis_->LabelText(LogTickValue(tick), Decimals2());
            }
            SuperTextOut(*Canvas, text, PlotLeft_ - Canvas->TextWidth(text) - 2, PlotBottom_ - y);
        });
    }
    Canvas->SetPenDotted(false);
}

QString TGraphBox::FormatAxisValue(const TAxisParams& axis, double v) const {
    // A value at or below zero has no exponent to show; it is measured as its number text.
    if (axis.ExponentLabels() && v > 0 && std::isfinite(v))
        return QStringLiteral("10^") + QString::number(int64_t(std::trunc(Log10(v))));
    return axis.LabelText(v, Decimals1());
}

int32_t TGraphBox::YLabelWidth() const {
    if (!YAxis_->ShowLabels())
        return 0;
    return std::max(Canvas->TextWidth(FormatAxisValue(*YAxis_, YAxis_->Min())),
                    Canvas->TextWidth(FormatAxisValue(*YAxis_, YAxis_->Max())));
}

void TGraphBox::DrawTitle() {
    if (!Title_->ShowCaption())
        return;
    const QString& caption = Title_->Caption();
    const int32_t w = Canvas->TextWidth(caption);
    const int32_t h = Canvas->TextHeight(caption);
    const int32_t y = (PlotTop_ - h) / 2;
    int32_t x = 0;
    switch (Title_->Position()) {
    case TTitlePosition::tpCenter:
        x = (width() - w) / 2;
        break;
    case TTitlePosition::tpLeft:
        x = PlotLeft_ + 2;
        break;
    case TTitlePosition::tpRight:
        x = PlotRight_ - w - 2;
        break;
    }
    const QRect rect(x, y, w + 1, h);
    Canvas->TextRect(rect, x, y, caption);
    if (Title_->Boxed())
        Canvas->FrameRect(rect.adjusted(-2, -2, 2, 2), clBlack);
}
