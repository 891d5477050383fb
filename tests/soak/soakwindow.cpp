// The program as it starts from its saved defaults, with the level meter ticked and the
// oscilloscope shown as the operator would tick them, so that a soak pays for both displays.

#include "app/application.h"
#include "window/mainwindow.h"

#include <QCheckBox>

int main(int argc, char** argv) {
    return RunProgram(argc, argv, [](TMainWindow& window) {
        window.View().VUMeterChk->setChecked(true);
        window.View().OscopeChk->click();
    });
}
