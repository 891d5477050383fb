#pragma once

#include "graph/canvas.h"

#include <QString>
#include <cstdint>

// Text output in which a caret raises the rest of the text by half a line: "10^3" draws "10"
// on the line and a raised "3". The caret itself is not drawn.
void SuperTextOut(TCanvas& canvas, const QString& text, int32_t x, int32_t y);
