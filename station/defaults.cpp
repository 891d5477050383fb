#include "station/defaults.h"

#include "station/dumpevidence.h"
#include "station/inifile.h"
#include "station/station.h"

#include <QStandardPaths>
#include <algorithm>

namespace {

const QString Actions = QStringLiteral("Actions");
const QString PlayOnStart = QStringLiteral("PlayOnStart");
const QString KeepOnAir = QStringLiteral("KeepOnAir");
const QString Settings = QStringLiteral("Settings");
const QString DelayTime = QStringLiteral("DelayTime");
const QString AudioFormat = QStringLiteral("AudioFormat");
const QString Dump = QStringLiteral("Dump");
const QString Seconds = QStringLiteral("Seconds");
const QString BuildUpPercent = QStringLiteral("BuildUpPercent");
const QString BuildUpAtStart = QStringLiteral("BuildUpAtStart");
const QString ExitPercent = QStringLiteral("ExitPercent");
const QString CoughMaxSeconds = QStringLiteral("CoughMaxSeconds");
constexpr double LeastBuildUpPercent = 1.0;
constexpr double MostBuildUpPercent = 10.0;
constexpr double LeastCoughSeconds = 1.0;
constexpr double MostCoughSeconds = 60.0;

QString& ChosenFileName() {
    static QString fileName;
    return fileName;
}

} // namespace

QString DefaultsFileName() {
    if (!ChosenFileName().isEmpty())
        return ChosenFileName();
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Lagvane.ini");
}

void SetDefaultsFileName(const QString& fileName) {
    ChosenFileName() = fileName;
}

void SaveDefaults(TStation& station) {
    TIniFile ini(DefaultsFileName());
    ini.WriteBool(Actions, PlayOnStart, station.PlayOnStart());
    ini.WriteBool(Actions, KeepOnAir, station.KeepOnAir());
    ini.WriteFloat(Settings, DelayTime, station.DelayHours() * 3600.0);
    ini.WriteInteger(Settings, AudioFormat, station.FormatIndex());
    ini.WriteBool(Dump, BuildUpAtStart, station.BuildUpAtStart());
}

void LoadDumpSettings(TStation& station) {
    TIniFile ini(DefaultsFileName());
    // A dump length of 0 or less, or none, dumps the whole delay; a stretch out of its range
    // keeps the last good one.
    station.DumpSeconds = std::max(ini.ReadFloat(Dump, Seconds, station.DumpSeconds), 0.0);
    const double percent = ini.ReadFloat(Dump, BuildUpPercent, station.BuildUpPercent);
    if (percent >= LeastBuildUpPercent && percent <= MostBuildUpPercent)
        station.BuildUpPercent = percent;
    const double exitPercent = ini.ReadFloat(Dump, ExitPercent, station.ExitPercent);
    if (exitPercent >= LeastBuildUpPercent && exitPercent <= MostBuildUpPercent)
        station.ExitPercent = exitPercent;
    const double cough = ini.ReadFloat(Dump, CoughMaxSeconds, station.CoughMaxSeconds);
    if (cough >= LeastCoughSeconds && cough <= MostCoughSeconds)
        station.CoughMaxSeconds = cough;
    station.SetBuildUpAtStart(ini.ReadBool(Dump, BuildUpAtStart, station.BuildUpAtStart()));
    station.Evidence()->SetSettings(ReadEvidenceSettings(ini));
}

void LoadDefaults(TStation& station) {
    TIniFile ini(DefaultsFileName());
    station.SetPlayOnStart(ini.ReadBool(Actions, PlayOnStart, station.PlayOnStart()));
    station.SetKeepOnAir(ini.ReadBool(Actions, KeepOnAir, station.KeepOnAir()));
    // Kept within its limits, and the delay resized for the current format.
    station.SetDelayHours(ini.ReadFloat(Settings, DelayTime, station.DelayHours() * 3600.0) /
                          3600.0);
    // An index from another device's list leaves the selection, so a format stays selected.
    const int index = ini.ReadInteger(Settings, AudioFormat, station.FormatIndex());
    station.DefaultFormatIndex = index;
    if (index >= 0 && index < station.Formats().size())
        station.SetFormatIndex(index);
    LoadDumpSettings(station);
    // The saved format may hold less delay than the saved delay: lower it before any start.
    station.UpdateBufferSize();
    if (station.PlayOnStart())
        station.PlayAtStart();
}
