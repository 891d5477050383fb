#include "remote/remotefaces.h"

#include "station/defaults.h"
#include "station/inifile.h"
#include "station/station.h"
#include "support/log.h"

namespace {

constexpr int ListenFailureShownMs = 15000;

// A server that cannot listen is told on the status line and in the log, for whoever looks.
void TellListenFailure(TStation& station, const QString& failure) {
    if (failure.isEmpty())
        return;
    Log(failure.toStdString(), TLogLevel::Error);
    station.Notice(failure, ListenFailureShownMs);
}

} // namespace

TRemoteFaces::TRemoteFaces(TStation& station) : Station(station) {}

TRemoteFaces::~TRemoteFaces() = default;

void TRemoteFaces::StartRemoteControl() {
    TIniFile ini(DefaultsFileName());
    const TRemoteSettings settings = ReadRemoteSettings(ini);
    // Unchanged, it keeps its port, its clients and the panel's live stream.
    if (!RemoteControl || !RemoteControl->Serves(settings)) {
        // A server started again lets go of its port before the new one takes it.
        RemoteControl.reset();
        RemoteControl = std::make_unique<TRemoteControl>(Station, settings);
    }
    TellListenFailure(Station, RemoteControl->Listen());
}

void TRemoteFaces::StartTriggers() {
    TIniFile ini(DefaultsFileName());
    if (!MidiTrigger)
        MidiTrigger = std::make_unique<TMidiTrigger>(Station, TMidiSettings{});
    MidiTrigger->Configure(ReadMidiSettings(ini));
    const TOscSettings osc = ReadOscSettings(ini);
    if (!OscTrigger || !OscTrigger->Serves(osc)) {
        OscTrigger.reset();
        OscTrigger = std::make_unique<TOscTrigger>(Station, osc);
    }
    TellListenFailure(Station, OscTrigger->Listen());
}
