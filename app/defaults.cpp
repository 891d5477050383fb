#include "app/defaults.h"

#include "app/application.h"
#include "app/delaymain.h"
#include "app/inifile.h"
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

void SaveDefaults(TForm1& form) {
    TIniFile ini(DefaultsFileName());
    ini.WriteBool(Actions, PlayOnStart, form.PlayOnStartChk->isChecked());
    ini.WriteFloat(Settings, DelayTime, form.DelayTimeSpin->Degrees() * 3600.0);
    ini.WriteInteger(Settings, AudioFormat, form.FormatCombo->currentIndex());
}

void LoadDefaults(TForm1& form) {
    TIniFile ini(DefaultsFileName());
    form.PlayOnStartChk->setChecked(
        ini.ReadBool(Actions, PlayOnStart, form.PlayOnStartChk->isChecked()));
    // The spinner clamps the value to its limits and resizes the delay for the current format.
    form.DelayTimeSpin->SetDegrees(
        ini.ReadFloat(Settings, DelayTime, form.DelayTimeSpin->Degrees() * 3600.0) / 3600.0);
    // An index from another device's list leaves the selection, so a format stays selected.
    const int index = ini.ReadInteger(Settings, AudioFormat, form.FormatCombo->currentIndex());
    if (index >= 0 && index < form.FormatCombo->count())
        form.FormatCombo->setCurrentIndex(index);
    // The saved format may hold less delay than the saved delay: lower it before any start.
    form.UpdateBufferSize();
    if (form.PlayOnStartChk->isChecked()) {
        form.PlayBtn->setChecked(true);
        RunHandler([&form] { form.PlayBtnClick(); });
    }
}
