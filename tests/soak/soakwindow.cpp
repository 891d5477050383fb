// The program as it starts from its saved defaults, with the level meter ticked and the
// oscilloscope shown as the operator would tick them, so that a soak pays for both displays.

#include "app/application.h"
#include "app/delaymain.h"
#include "support/dsupport.h"

#include <QCheckBox>

int main(int argc, char** argv) {
    InitSupport();
    TApplication application(argc, argv);
    TApplication::setApplicationName(QStringLiteral("Lagvane"));
    SetApplicationHelpFile(QStringLiteral("Lagvane.html"));
    TForm1 form;
    form.VUMeterChk->setChecked(true);
    form.OscopeChk->click();
    form.show();
    return TApplication::exec();
}
