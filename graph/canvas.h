#pragma once

#include "controls/colors.h"

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QRect>
#include <QString>
#include <cstdint>

enum class TTextAlign { TopLeft, BaselineLeft };

// A drawing surface with the state a pen-plotting caller expects: a current pen position that
// LineTo moves, a pen and a brush that persist between calls, and a text alignment that
// persists until changed. Lines leave out their final pixel and rectangles their right and
// bottom edge, so callers' pixel arithmetic stays the one they were written for.
class TCanvas {
public:
    explicit TCanvas(QPainter& painter);

    QPainter& Painter() { return Target; }

    void SetPenColor(const QColor& color) { PenColor = color; }
    const QColor& GetPenColor() const { return PenColor; }
    void SetPenWidth(int32_t width) { PenWidth = width; }
    void SetPenDotted(bool dotted) { PenDotted = dotted; }
    void SetBrushColor(const QColor& color) { BrushColor = color; }
    void SetTextAlign(TTextAlign align) { TextAlign = align; }

    void MoveTo(int32_t x, int32_t y);
    void LineTo(int32_t x, int32_t y);
    QPoint PenPos() const { return Pos; }

    // Outline in the pen colour (one pixel), inside filled with the brush colour; the corners
    // may come in any order.
    void Rectangle(int32_t x1, int32_t y1, int32_t x2, int32_t y2);
    // A one-pixel outline of the half-open rectangle in the given colour.
    void FrameRect(const QRect& rect, const QColor& color);

    void TextOut(int32_t x, int32_t y, const QString& text);
    // The text clipped to the half-open rectangle.
    void TextRect(const QRect& clip, int32_t x, int32_t y, const QString& text);
    int32_t TextWidth(const QString& text) const;
    int32_t TextHeight(const QString& text) const;

    void SetClip(const QRect& rect);
    void RemoveClip();

private:
    void ApplyPen();

    QPainter& Target;
    QPoint Pos;
    QColor PenColor{clBlack};
    int32_t PenWidth = 1;
    bool PenDotted = false;
    QColor BrushColor{clWhite};
    QColor FontColor{clBlack};
    TTextAlign TextAlign = TTextAlign::TopLeft;
    QPen Applied;
};
