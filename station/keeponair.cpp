// Keep On Air: a run whose device failed, or that found none at start, waits for the devices,
// tries them every second, and starts again by itself as Play would.

#include "station/station.h"

#include "audio/wavedevice.h"
#include "support/deadlinecall.h"
#include "support/errors.h"
#include "support/handlers.h"
#include "support/log.h"

#include <QTimer>

QString WaitingText(double offAirSeconds) {
    const int seconds = int(offAirSeconds);
    return QStringLiteral("Waiting for the sound server (%1:%2)")
        .arg(seconds / 60)
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

bool TStation::WaitingForDevices() const {
    return OffAirRetry->isActive();
}

double TStation::WaitSeconds() const {
    return OffAirClock.isValid() ? OffAirClock.elapsed() / 1000.0 : 0.0;
}

void TStation::PlayAtStart() {
    try {
        PressPlay();
    } catch (...) {
        ShowCurrentException();
        if (KeepOnAirOn) {
            SetWanted(true);
            GoOffAir();
        }
    }
}

void TStation::GoOffAir() {
    OffAirClock.start();
    LastRetryFailure.clear();
    OffAirRetry->start();
    Log("Off air: Keep On Air tries the devices every second", TLogLevel::Warning);
    emit runStateChanged();
    ShowRunStatus();
}

void TStation::TryBackOnAir() {
    const TDeadlineAction action;
    ShowRunStatus();
    try {
        if (!HasFormat()) {
            // Asked first, so that a missing device is not told again every second.
            if (WaveDeviceFactory().InputDeviceCount() == 0)
                return;
            ReadFormats();
            if (DefaultFormatIndex >= 0 && DefaultFormatIndex < Formats().size())
                SelectFormat(DefaultFormatIndex);
            if (!HasFormat())
                throw Exception(NoFormatMessage(WaveDeviceFactory().FixedRate()));
        }
        StartRun();
    } catch (const std::exception& error) {
        // The same failure every second says nothing new.
        const QString failure = ExceptionMessage(error);
        if (failure != LastRetryFailure)
            Log(QStringLiteral("Keep On Air: %1").arg(failure).toStdString(), TLogLevel::Warning);
        LastRetryFailure = failure;
        return;
    }
    const double offAir = OffAirClock.elapsed() / 1000.0;
    ++Restarts;
    EndOffAir();
    Log(QStringLiteral("Back on air in run %1 after %2 s off air")
            .arg(RunNumber)
            .arg(offAir, 0, 'f', 1)
            .toStdString());
    emit runStateChanged();
    ShowRunStatus();
}

void TStation::EndOffAir() {
    OffAirRetry->stop();
    if (OffAirClock.isValid())
        OffAirSecondsBefore += OffAirClock.elapsed() / 1000.0;
    OffAirClock.invalidate();
}

void TStation::SetKeepOnAir(bool on) {
    if (on == KeepOnAirOn)
        return;
    KeepOnAirOn = on;
    emit settingsChanged();
    // Turned off while waiting: the run that waited ends, as with Stop.
    if (!on && WaitingForDevices()) {
        Wanted = false;
        PlayOrStop();
    }
}
