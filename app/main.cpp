#include "app/application.h"
#include "app/delaymain.h"
#include "support/dsupport.h"

int main(int argc, char** argv) {
    InitSupport();
    TApplication application(argc, argv);
    TApplication::setApplicationName(QStringLiteral("Lagvane"));
    SetApplicationHelpFile(QStringLiteral("Lagvane.html"));
    TForm1 form;
    form.show();
    return TApplication::exec();
}
