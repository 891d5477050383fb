#include "app/application.h"

#include "app/defaults.h"
#include "app/mainwindow.h"
#include "app/service.h"
#include "audio/helddelay.h"
#include "audio/jackdevice.h"
#include "support/conversions.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/messageboard.h"

#include <new>

namespace {

TExceptionMessageFunction& ExceptionMessageFunction() {
    static TExceptionMessageFunction function;
    return function;
}

// Qt's own warnings go to the log, which marks them for the journal.
void LogQtMessage(QtMsgType type, const QMessageLogContext&, const QString& text) {
    switch (type) {
    case QtDebugMsg:
        LogDebug(text.toStdString());
        return;
    case QtInfoMsg:
        Log(text.toStdString());
        return;
    case QtWarningMsg:
        Log(text.toStdString(), TLogLevel::Warning);
        return;
    case QtCriticalMsg:
    case QtFatalMsg:
        break;
    }
    Log(text.toStdString(), TLogLevel::Error);
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
    const std::variant<TProgramOptions, int> read = ReadProgramOptions(argc, argv);
    if (const int* code = std::get_if<int>(&read))
        return *code;
    const auto& options = std::get<TProgramOptions>(read);
    // Qt's platform without a screen: the window is built, never shown, and no display is needed.
    if (options.Headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    MessageBoard().ShowBoxes(!options.Headless);
    SetLogTag(options.Name.toStdString());
    SetJackClientName(options.Name.toStdString());
    SetHeldStation(options.Name.toStdString());
    SetDefaultsFileName(options.ConfigFile);
    qInstallMessageHandler(LogQtMessage);

    TApplication application(argc, argv);
    TApplication::setApplicationName(QStringLiteral("Lagvane"));
    TApplication::setApplicationVersion(QStringLiteral(LAGVANE_VERSION));
    SetApplicationHelpFile(QStringLiteral("Lagvane.html"));
    // Signals that come while the window is built wait until it is.
    TMainWindow* shown = nullptr;
    TServiceLink service([&shown] { shown->Quit(); }, [&shown] { shown->ReloadSettings(); });
    TMainWindow window;
    shown = &window;
    if (prepare)
        prepare(window);
    if (!options.Headless)
        window.show();
    service.Ready();
    const int code = TApplication::exec();
    MessageBoard().Clear();
    return code;
}
