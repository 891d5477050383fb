#include "support/handlers.h"

#include "support/errors.h"
#include "support/messageboard.h"

#include <QCoreApplication>
#include <new>

namespace {

TExceptionMessageFunction& ExceptionMessageFunction() {
    static TExceptionMessageFunction function;
    return function;
}

} // namespace

TExceptionMessageFunction SetExceptionMessageFunction(TExceptionMessageFunction function) {
    TExceptionMessageFunction previous = std::move(ExceptionMessageFunction());
    ExceptionMessageFunction() = std::move(function);
    return previous;
}

QString ExceptionMessage(const std::exception& error) {
    if (const auto* own = dynamic_cast<const Exception*>(&error))
        return own->Message();
    if (dynamic_cast<const std::bad_alloc*>(&error))
        return QStringLiteral("Out of memory");
    return QString::fromLocal8Bit(error.what());
}

void ShowCurrentException() {
    QString text;
    try {
        throw;
    } catch (const std::exception& error) {
        text = ExceptionMessage(error);
    } catch (...) {
        text = QStringLiteral("Unknown error");
    }
    ShowErrorMessage(text);
}

void ShowErrorMessage(const QString& text) {
    MessageBoard().Raise(TMessageKind::Error, QCoreApplication::applicationName(), text,
                         ExceptionMessageFunction());
}
