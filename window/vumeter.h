#pragma once

// The level meter's bars and peak boxes, showing what the station measured of each buffer.

#include "station/levelmeter.h"

class TGauge;
class TOnOffBox;

// The controls the meter drives; the window owns them.
struct TLevelMeterView {
    TGauge* LeftVU;
    TGauge* RightVU;
    TOnOffBox* LeftPeak;
    TOnOffBox* RightPeak;
};

// Shows a reading: left bar, right bar, then left box, right box.
void ShowLevels(const TLevelReading& Reading, const TLevelMeterView& View);
