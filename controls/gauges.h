#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>
#include <cstdint>

#include "controls/loading.h"

enum class TGaugeKind : uint8_t { gkText, gkHorizontalBar, gkVerticalBar, gkPie, gkNeedle };
enum class TBorderStyle { bsNone, bsSingle };

// Whole percent of part in whole, truncated; 0 for an empty whole.
int32_t PercentOfRange(int64_t part, int64_t whole);
// percent x 0.01 x length in extended precision, truncated. 0.01 lies just below 1/100 there,
// so a product that should be whole can come out one lower (5 % of 100 gives 4).
int32_t PercentOfLength(int32_t percent, int32_t length);

// An off-screen picture the gauge draws a layer into before combining it.
class TGaugeLayer : public QImage {
public:
    // Takes the source's size and fills the whole area with the window-frame colour.
    void MakeLike(const QImage& source);
};

// Shows where Progress lies between MinValue and MaxValue as a bar, a pie, a needle on a half
// dial or only a percentage text. The whole picture is built off-screen and shown in one copy,
// and a new Progress repaints only when the whole percentage changes, so a level bar fed every
// captured buffer stays cheap and free of flicker.
class TGauge : public QWidget, public TLoadingState {
public:
    explicit TGauge(QWidget* parent = nullptr);

    int32_t MinValue() const { return MinValueValue; }
    // Raises EInvalidOperation above MaxValue, except while loading.
    void SetMinValue(int32_t value);
    int32_t MaxValue() const { return MaxValueValue; }
    // Raises EInvalidOperation below MinValue, except while loading.
    void SetMaxValue(int32_t value);
    int32_t Progress() const { return ProgressValue; }
    // Clamped to the range; never raises.
    void SetProgress(int32_t value);
    int32_t Percent() const;

    TGaugeKind Kind() const { return KindValue; }
    void SetKind(TGaugeKind value);
    bool ShowText() const { return ShowTextValue; }
    void SetShowText(bool value);
    TBorderStyle BorderStyle() const { return BorderStyleValue; }
    void SetBorderStyle(TBorderStyle value);
    const QColor& ForeColor() const { return ForeColorValue; }
    void SetForeColor(const QColor& value);
    const QColor& BackColor() const { return BackColorValue; }
    void SetBackColor(const QColor& value);
    // The face around a pie or needle dial.
    const QColor& Color() const { return ColorValue; }
    void SetColor(const QColor& value);

    // The picture a paint shows.
    QImage PaintImage() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void DrawKind(QPainter& painter, int left, int top, int right, int bottom) const;

    int32_t MinValueValue = 0;
    int32_t MaxValueValue = 100;
    int32_t ProgressValue = 0;
    TGaugeKind KindValue = TGaugeKind::gkHorizontalBar;
    bool ShowTextValue = true;
    TBorderStyle BorderStyleValue = TBorderStyle::bsSingle;
    QColor ForeColorValue;
    QColor BackColorValue;
    QColor ColorValue;
};
