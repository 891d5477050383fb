// The console: Exit to live and Build back, the cough held off the delay, and the presses every
// face makes, with failures answered to whoever pressed.

#include "audio/wavelib.h"
#include "station/station.h"
#include "support/errors.h"
#include "support/handlers.h"
#include "support/log.h"

#include <QTimer>
#include <cmath>

void TStation::ExitToLive() {
    TWaveOutDevice* output = Reader->Running() ? PlaybackDevice() : nullptr;
    if (!output)
        throw Exception(QStringLiteral("Nothing to exit: no run is on air"));
    const TRunState state = RunReport().State;
    if (state == TRunState::Live || state == TRunState::Exiting)
        return;
    output->Exit();
    Log(QStringLiteral("Run %1: exiting to live").arg(RunNumber).toStdString());
    ShowRunStatus();
}

void TStation::BuildFromLive() {
    TWaveOutDevice* output = Reader->Running() ? PlaybackDevice() : nullptr;
    const TRunState state = RunReport().State;
    if (!output || (state != TRunState::Live && state != TRunState::Exiting))
        throw Exception(QStringLiteral("Nothing to build: the delay is on air"));
    output->Build();
    Log(QStringLiteral("Run %1: building the delay up from live").arg(RunNumber).toStdString());
    ShowRunStatus();
}

void TStation::HoldCough(bool held) {
    TWaveOutDevice* output = Reader->Running() ? PlaybackDevice() : nullptr;
    if (held == Coughing)
        return;
    if (held && !output)
        throw Exception(QStringLiteral("Nothing to hold off: no run is on air"));
    Coughing = held;
    if (output)
        output->Cough(held);
    if (held) {
        CoughClock.start();
        CoughTimer->start(int(std::lround(CoughMaxSeconds * 1000.0)));
        Log(QStringLiteral("Run %1: cough held").arg(RunNumber).toStdString());
    } else {
        CoughTimer->stop();
        Log(QStringLiteral("Run %1: cough let go of after %2 s, building the delay up again")
                .arg(RunNumber)
                .arg(CoughClock.elapsed() / 1000.0, 0, 'f', 1)
                .toStdString());
    }
    ShowRunStatus();
}

namespace {

// A press's failure goes back to whoever pressed; a message box nobody at the window sees
// would only block it.
template <typename TAction> TPressResult FailureOf(TAction&& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return {ExceptionMessage(error), {}};
    }
    return {};
}

} // namespace

TRunReport TStation::Report() const {
    return RunReport();
}

TPressResult TStation::Dump() {
    std::optional<double> dumped;
    TPressResult result = FailureOf([this, &dumped] { dumped = DumpOnAir(); });
    result.DumpedSeconds = dumped;
    return result;
}

TPressResult TStation::Exit() {
    return FailureOf([this] { ExitToLive(); });
}

TPressResult TStation::Build() {
    return FailureOf([this] { BuildFromLive(); });
}

TPressResult TStation::CoughStart() {
    return FailureOf([this] { HoldCough(true); });
}

TPressResult TStation::CoughStop() {
    return FailureOf([this] { HoldCough(false); });
}

TPressResult TStation::Play() {
    if (Wanted)
        return {};
    if (IsStopping)
        return {QStringLiteral("The last run is still stopping"), {}};
    return FailureOf([this] { PressPlay(); });
}

TPressResult TStation::Stop() {
    if (!Wanted)
        return {};
    // A stop already under way ends the run by itself; Keep On Air's, only if asked to.
    if (IsStopping) {
        StopAsked = true;
        return {};
    }
    return FailureOf([this] { PressStop(); });
}
