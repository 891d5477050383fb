#include "controls/degspin.h"
#include "controls/spinbuttons.h"
#include "fuzz/widgetfuzz.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr double MinimumHours = 0.1 / 3600;
constexpr double MaximumHours = 3.5;

TDegreeSpin* DelaySpin() {
    static TDegreeSpin* spin = [] {
        auto* created = new TDegreeSpin;
        created->SetMinValue(MinimumHours);
        created->SetMaxValue(MaximumHours);
        created->SetUseLimit(true);
        created->SetSecInc(0.1);
        created->SetDegrees(MinimumHours);
        return created;
    }();
    return spin;
}

} // namespace

// Whatever the operator types or pastes into the three fields, the delay stays within its
// limits and nothing crashes.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TDegreeSpin* spin = DelaySpin();
    const QStringList fields =
        QString::fromUtf8(reinterpret_cast<const char*>(data), int(size)).split(QLatin1Char('\n'));
    TEditEx* const edits[] = {spin->HoursEdit(), spin->MinutesEdit(), spin->SecondsEdit()};
    for (int i = 0; i < fields.size() && i < 3; ++i) {
        edits[i]->setText(fields[i]);
        const double hours = spin->Degrees();
        if (!(hours >= MinimumHours * (1 - 1e-9) && hours <= MaximumHours))
            abort();
    }
    return 0;
}
