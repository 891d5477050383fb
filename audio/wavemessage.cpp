#include "audio/wavemessage.h"

#include "support/messageboard.h"

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
    MessageBoard().Raise(TMessageKind::Information, QStringLiteral("Information"), text,
                         InstalledFunction());
}
