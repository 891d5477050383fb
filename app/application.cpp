#include "app/application.h"

#include "app/service.h"
#include "audio/devices/systemdevice.h"
#include "audio/helddelay.h"
#include "station/defaults.h"
#include "support/conversions.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/messageboard.h"
#include "window/messageboxes.h"

namespace {

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

TProgramParts::TProgramParts(bool withWindow, TMemoryProbe probe)
    : Station(std::move(probe)), Faces(Station) {
    Faces.StartRemoteControl();
    if (withWindow)
        Window = std::make_unique<TMainWindow>(Station);
    Station.StartUp();
    Faces.StartTriggers();
}

// The window goes first, while the station it shows is still there.
TProgramParts::~TProgramParts() = default;

void TProgramParts::Reload() {
    Station.ReloadSettings();
    Faces.StartRemoteControl();
    Faces.StartTriggers();
}

namespace {

int RunEventLoop(const TProgramOptions& options,
                 const std::function<void(TMainWindow& window)>& prepare) {
    // Signals that come while the station is built wait until it is.
    TProgramParts* parts = nullptr;
    TServiceLink service([&parts] { parts->Station.Quit(); }, [&parts] { parts->Reload(); });
    TProgramParts made(!options.Headless);
    parts = &made;
    if (made.Window) {
        if (prepare)
            prepare(*made.Window);
        made.Window->show();
    }
    service.Ready();
    return QCoreApplication::exec();
}

} // namespace

int RunProgram(int argc, char** argv, const std::function<void(TMainWindow& window)>& prepare) {
    InitSupport();
    const std::variant<TProgramOptions, int> read = ReadProgramOptions(argc, argv);
    if (const int* code = std::get_if<int>(&read))
        return *code;
    const auto& options = std::get<TProgramOptions>(read);
    SetLogTag(options.Name.toStdString());
    UseSystemDevices();
    SetJackClientName(options.Name.toStdString());
    SetHeldStation(options.Name.toStdString());
    SetDefaultsFileName(options.ConfigFile);
    qInstallMessageHandler(LogQtMessage);

    // Without a window, Qt Core alone: no platform plugin is loaded and no display is needed.
    std::unique_ptr<QCoreApplication> application;
    if (options.Headless)
        application = std::make_unique<TCatchingApplication<QCoreApplication>>(argc, argv);
    else
        application = std::make_unique<TApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Lagvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LAGVANE_VERSION));
    SetApplicationHelpFile(QStringLiteral("Lagvane.html"));
    // With a window, messages open boxes too; without one the log and the report are all.
    std::unique_ptr<TMessageBoxes> boxes;
    if (!options.Headless) {
        boxes = std::make_unique<TMessageBoxes>();
        MessageBoard().SetShower(boxes.get());
    }
    const int code = RunEventLoop(options, prepare);
    MessageBoard().Clear();
    MessageBoard().SetShower(nullptr);
    return code;
}
