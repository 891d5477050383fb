#include "window/vumeter.h"

#include "controls/gauges.h"
#include "controls/onoffbox.h"

void ShowLevels(const TLevelReading& Reading, const TLevelMeterView& View) {
    View.LeftVU->SetProgress(Reading.LeftProgress);
    View.RightVU->SetProgress(Reading.RightProgress);
    View.LeftPeak->SetBoxOn(Reading.LeftOk);
    View.RightPeak->SetBoxOn(Reading.RightOk);
}
