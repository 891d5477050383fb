#include "app/application.h"

#include "app/mainwindow.h"
#include "support/conversions.h"
#include "support/errors.h"
#include "support/messageboard.h"

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
    MessageBoard().Raise(TMessageKind::Error, QApplication::applicationName(), text,
                         ExceptionMessageFunction());
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowCurrentException();
        return false;
    }
}

int RunProgram(int argc, char** argv, const std::function<void(TMainWindow& window)>& prepare) {
    InitSupport();
    TApplication application(argc, argv);
    TApplication::setApplicationName(QStringLiteral("Lagvane"));
    SetApplicationHelpFile(QStringLiteral("Lagvane.html"));
    TMainWindow window;
    if (prepare)
        prepare(window);
    window.show();
    const int code = TApplication::exec();
    MessageBoard().Clear();
    return code;
}
