#include "app/defaults.h"

#include "app/application.h"
#include "app/dumpevidence.h"
#include "app/inifile.h"
#include "app/mainwindow.h"
#include "controls/degspin.h"

#include <QCheckBox>
#include <QComboBox>
#include <QStandardPaths>
#include <QToolButton>
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

void SaveDefaults(TMainWindow& window) {
    TIniFile ini(DefaultsFileName());
    ini.WriteBool(Actions, PlayOnStart, window.PlayOnStartChk->isChecked());
    ini.WriteBool(Actions, KeepOnAir, window.KeepOnAirAction->isChecked());
    ini.WriteFloat(Settings, DelayTime, window.DelayTimeSpin->Degrees() * 3600.0);
    ini.WriteInteger(Settings, AudioFormat, window.FormatCombo->currentIndex());
    ini.WriteBool(Dump, BuildUpAtStart, window.BuildUpAtStartAction->isChecked());
}

void LoadDumpSettings(TMainWindow& window) {
    TIniFile ini(DefaultsFileName());
    // A dump length of 0 or less, or none, dumps the whole delay; a stretch out of its range
    // keeps the last good one.
    window.DumpSeconds = std::max(ini.ReadFloat(Dump, Seconds, window.DumpSeconds), 0.0);
    const double percent = ini.ReadFloat(Dump, BuildUpPercent, window.BuildUpPercent);
    if (percent >= LeastBuildUpPercent && percent <= MostBuildUpPercent)
        window.BuildUpPercent = percent;
    const double exitPercent = ini.ReadFloat(Dump, ExitPercent, window.ExitPercent);
    if (exitPercent >= LeastBuildUpPercent && exitPercent <= MostBuildUpPercent)
        window.ExitPercent = exitPercent;
    const double cough = ini.ReadFloat(Dump, CoughMaxSeconds, window.CoughMaxSeconds);
    if (cough >= LeastCoughSeconds && cough <= MostCoughSeconds)
        window.CoughMaxSeconds = cough;
    window.BuildUpAtStartAction->setChecked(
        ini.ReadBool(Dump, BuildUpAtStart, window.BuildUpAtStartAction->isChecked()));
    window.DumpEvidence->SetSettings(ReadEvidenceSettings(ini));
}

void LoadDefaults(TMainWindow& window) {
    TIniFile ini(DefaultsFileName());
    window.PlayOnStartChk->setChecked(
        ini.ReadBool(Actions, PlayOnStart, window.PlayOnStartChk->isChecked()));
    window.KeepOnAirAction->setChecked(
        ini.ReadBool(Actions, KeepOnAir, window.KeepOnAirAction->isChecked()));
    // The spinner clamps the value to its limits and resizes the delay for the current format.
    window.DelayTimeSpin->SetDegrees(
        ini.ReadFloat(Settings, DelayTime, window.DelayTimeSpin->Degrees() * 3600.0) / 3600.0);
    // An index from another device's list leaves the selection, so a format stays selected.
    const int index = ini.ReadInteger(Settings, AudioFormat, window.FormatCombo->currentIndex());
    window.DefaultFormatIndex = index;
    if (index >= 0 && index < window.FormatCombo->count())
        window.FormatCombo->setCurrentIndex(index);
    LoadDumpSettings(window);
    // The saved format may hold less delay than the saved delay: lower it before any start.
    window.UpdateBufferSize();
    if (window.PlayOnStartChk->isChecked())
        window.PlayAtStart();
}
