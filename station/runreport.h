#pragma once

// What a run shows the operator, the same for the status line and the remote control.

#include "audio/cycleload.h"
#include "station/levelmeter.h"
#include "support/messageboard.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

// Where a run is, as the remote control names it.
enum class TRunState { Stopped, CountingDown, OnAir, BuildingUp, WaitingForServer, Exiting, Live };

inline QString RunStateName(TRunState state) {
    switch (state) {
    case TRunState::Stopped:
        break;
    case TRunState::CountingDown:
        return QStringLiteral("counting down");
    case TRunState::OnAir:
        return QStringLiteral("on air");
    case TRunState::BuildingUp:
        return QStringLiteral("building up");
    case TRunState::WaitingForServer:
        return QStringLiteral("waiting for the sound server");
    case TRunState::Exiting:
        return QStringLiteral("exiting");
    case TRunState::Live:
        return QStringLiteral("live");
    }
    return QStringLiteral("stopped");
}

// A run's dropouts: input frames lost, times the output ran dry, xruns the host reported.
struct TDropouts {
    uint64_t LostFrames = 0;
    uint64_t DryOutputs = 0;
    uint64_t Xruns = 0;
    bool operator==(const TDropouts&) const = default;
};

// A run that resumed the delay the last one held: how much of it was left to air, and how
// long the program was down (aired as silence).
struct TResumedDelay {
    double HeldSeconds = 0.0;
    double LostSeconds = 0.0;
};
// The status line's and the log's words for it: "Resumed: 2:58:41 held, 1.4 s lost".
QString ResumedText(const TResumedDelay& resumed);

// The last dump taken: when (local time), the seconds of the programme it skipped, and the
// paths of its evidence files: none without an evidence folder, and none that could not be
// written. The aired file is written once the 10 s after the dump have played.
struct TLastDump {
    QDateTime Time;
    double Seconds = 0.0;
    QStringList Files;
};

struct TRunReport {
    bool Running = false;
    // The format list's text of the run's format ("No Wave Mapper" with none).
    QString Format;
    double SetDelaySeconds = 0.0;
    // What waits to go on air now, plus the devices' own latency.
    double OnAirSeconds = 0.0;
    double DeviceLatencySeconds = 0.0;
    // Whether Dump would remove anything now: a run with at least a second on air.
    bool CanDump = false;
    // The output plays slower than real time until the on-air delay is the set delay again.
    bool BuildingUp = false;
    // Of the delay to build up, the share done (0 to 1) and the time it still takes.
    double BuildUpDone = 0.0;
    double BuildUpSecondsLeft = 0.0;
    TDropouts Dropouts;
    // Input and output on clocks of their own: how much faster the output's runs, in
    // millionths, and the times the output re-aligned with the input's.
    bool SeparateClocks = false;
    double ClockDriftPpm = 0.0;
    uint64_t Realignments = 0;
    TRunState State = TRunState::Stopped;
    // What the station last told the operator, so that a remote panel can show it too.
    TRaisedMessage LastMessage;
    // Keep On Air: the runs it started again by itself, and the time spent waiting for the
    // devices, the wait under way included.
    uint64_t Restarts = 0;
    double OffAirSeconds = 0.0;
    std::optional<TResumedDelay> Resumed;
    // A cough holds the input off the delay.
    bool Coughing = false;
    std::optional<TLastDump> LastDump;
    // The level meter's reading of the last buffer captured, taken on the main thread.
    TLevelReading Levels;
    // How the sound server's cycles kept time; nothing where it keeps none per cycle.
    TCycleLoad Cycles;
};
