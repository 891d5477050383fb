#include "app/defaults.h"

#include "app/application.h"
#include "app/inifile.h"
#include "app/mainwindow.h"
#include "controls/degspin.h"

#include <QCheckBox>
#include <QComboBox>
#include <QStandardPaths>
#include <QToolButton>

namespace {

const QString Actions = QStringLiteral("Actions");
const QString PlayOnStart = QStringLiteral("PlayOnStart");
const QString Settings = QStringLiteral("Settings");
const QString DelayTime = QStringLiteral("DelayTime");
const QString AudioFormat = QStringLiteral("AudioFormat");

} // namespace

QString DefaultsFileName() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Lagvane.ini");
}

void SaveDefaults(TMainWindow& window) {
    TIniFile ini(DefaultsFileName());
    ini.WriteBool(Actions, PlayOnStart, window.PlayOnStartChk->isChecked());
    ini.WriteFloat(Settings, DelayTime, window.DelayTimeSpin->Degrees() * 3600.0);
    ini.WriteInteger(Settings, AudioFormat, window.FormatCombo->currentIndex());
}

void LoadDefaults(TMainWindow& window) {
    TIniFile ini(DefaultsFileName());
    window.PlayOnStartChk->setChecked(
        ini.ReadBool(Actions, PlayOnStart, window.PlayOnStartChk->isChecked()));
    // The spinner clamps the value to its limits and resizes the delay for the current format.
    window.DelayTimeSpin->SetDegrees(
        ini.ReadFloat(Settings, DelayTime, window.DelayTimeSpin->Degrees() * 3600.0) / 3600.0);
    // An index from another device's list leaves the selection, so a format stays selected.
    const int index = ini.ReadInteger(Settings, AudioFormat, window.FormatCombo->currentIndex());
    if (index >= 0 && index < window.FormatCombo->count())
        window.FormatCombo->setCurrentIndex(index);
    // The saved format may hold less delay than the saved delay: lower it before any start.
    window.UpdateBufferSize();
    if (window.PlayOnStartChk->isChecked()) {
        window.PlayBtn->setChecked(true);
        RunHandler([&window] { window.PlayBtnClick(); });
    }
}
