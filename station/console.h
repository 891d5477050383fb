#pragma once

// The station's console: the one set of buttons every face presses (the window, the remote
// control and its panel, MIDI and OSC), with the same refusals whoever presses them.

#include "station/runreport.h"

#include <QString>
#include <optional>

// What pressing a button did: the operator's error text, empty when done; for Dump, the
// seconds skipped once the audio side has taken it (none while it has not answered).
struct TPressResult {
    QString Error;
    std::optional<double> DumpedSeconds;
};

// What the faces act on: the station, or a test's stand-in.
class TConsole {
public:
    virtual TRunReport Report() const = 0;
    virtual TPressResult Dump() = 0;
    virtual TPressResult Play() = 0;
    virtual TPressResult Stop() = 0;
    virtual TPressResult Exit() = 0;
    virtual TPressResult Build() = 0;
    // The cough button held and let go of.
    virtual TPressResult CoughStart() = 0;
    virtual TPressResult CoughStop() = 0;

protected:
    ~TConsole() = default;
};
