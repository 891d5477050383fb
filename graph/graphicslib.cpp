#include "graph/graphicslib.h"

void SuperTextOut(TCanvas& canvas, const QString& text, int32_t x, int32_t y) {
    const int32_t raise = canvas.TextHeight(text) / 2;
    bool raised = false;
    for (const QChar c : text) {
        if (c == QLatin1Char('^')) {
            raised = true;
            continue;
        }
        const QString character(c);
        canvas.TextOut(x, raised ? y - raise : y, character);
        x += canvas.TextWidth(character);
    }
}
