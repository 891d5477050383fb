#include "audio/wavemessage.h"

#include <QMessageBox>
#include <utility>

namespace {

TWaveMessageFunction& InstalledFunction() {
    static TWaveMessageFunction function;
    return function;
}

} // namespace

TWaveMessageFunction SetWaveMessageFunction(TWaveMessageFunction function) {
    return std::exchange(InstalledFunction(), std::move(function));
}

void ShowWaveMessage(const QString& text) {
    if (InstalledFunction())
        InstalledFunction()(text);
    else
        QMessageBox::information(nullptr, QStringLiteral("Information"), text);
}
