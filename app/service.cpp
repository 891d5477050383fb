#include "app/service.h"

#include "support/log.h"
#include "support/nestedevents.h"
#include "support/servicenotify.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int SignalsCaught[] = {SIGTERM, SIGINT, SIGHUP};
// Read end and write end: a signal handler may do no more than write a byte.
int SignalPipe[2] = {-1, -1};

void OnSignal(int number) {
    const int saved = errno;
    const auto byte = char(number);
    [[maybe_unused]] const ssize_t written = write(SignalPipe[1], &byte, 1);
    errno = saved;
}

void PrintTo(FILE* stream, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stream);
}

} // namespace

bool IsStationName(const QString& name) {
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_.-]{0,47}$"));
    return pattern.match(name).hasMatch();
}

std::variant<TProgramOptions, int> ReadProgramOptions(int& argc, char** argv) {
    QStringList arguments;
    for (int at = 0; at < argc; ++at)
        arguments << QString::fromLocal8Bit(argv[at]);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Live audio delay for broadcasting."));
    // Not the parser's own help option, which offers Qt's options too: they are not taken here.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption headless(
        QStringLiteral("headless"), QStringLiteral("Run without a window; no display is needed."));
    const QCommandLineOption config(QStringLiteral("config"),
                                    QStringLiteral("Keep the settings in <file>, not Lagvane.ini."),
                                    QStringLiteral("file"));
    const QCommandLineOption name(
        QStringLiteral("name"),
        QStringLiteral("The station's name: its JACK client's and its log's (default Lagvane)."),
        QStringLiteral("name"), TProgramOptions().Name);
    parser.addOptions({headless, config, name});

    QString mistake;
    if (!parser.parse(arguments))
        mistake = parser.errorText();
    else if (!parser.positionalArguments().isEmpty())
        mistake = QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments()[0]);
    else if (!IsStationName(parser.value(name)))
        mistake = QStringLiteral("--name takes up to 48 letters, digits, '_', '-' or '.', "
                                 "starting with a letter, a digit or '_'.");
    if (!mistake.isEmpty()) {
        PrintTo(stderr, QStringLiteral("lagvane: %1\n").arg(mistake));
        return 1;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        // The parser words its help from the application object; no display is needed for it.
        QCoreApplication application(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Lagvane"));
        QCoreApplication::setApplicationVersion(QStringLiteral(LAGVANE_VERSION));
        PrintTo(stdout, parser.isSet(help)
                            ? parser.helpText()
                            : QStringLiteral("Lagvane %1\n").arg(QStringLiteral(LAGVANE_VERSION)));
        return 0;
    }
    TProgramOptions options;
    options.Headless = parser.isSet(headless);
    if (parser.isSet(config))
        options.ConfigFile = QFileInfo(parser.value(config)).absoluteFilePath();
    options.Name = parser.value(name);
    return options;
}

TServiceLink::TServiceLink(std::function<void()> stop, std::function<void()> reload)
    : OnStop(std::move(stop)), OnReload(std::move(reload)) {
    if (pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::system_error(errno, std::generic_category(), "signal pipe");
    // Off until the program is ready: a signal meanwhile waits in the pipe.
    Notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
    Notifier->setEnabled(false);
    connect(Notifier, &QSocketNotifier::activated, this, [this] { TakeSignal(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : SignalsCaught)
        sigaction(number, &action, nullptr);
    connect(&Watchdog, &QTimer::timeout, this, [] { NotifyServiceManager("WATCHDOG=1"); });
    ReloadRetry.setSingleShot(true);
    ReloadRetry.setInterval(ReloadRetryMs);
    connect(&ReloadRetry, &QTimer::timeout, this, [this] { Reload(); });
}

TServiceLink::~TServiceLink() {
    for (const int number : SignalsCaught)
        std::signal(number, SIG_DFL);
    close(SignalPipe[0]);
    close(SignalPipe[1]);
    SignalPipe[0] = SignalPipe[1] = -1;
}

void TServiceLink::Ready() {
    Notifier->setEnabled(true);
    NotifyServiceManager("READY=1");
    if (const auto interval = WatchdogInterval()) {
        Watchdog.start(*interval);
        NotifyServiceManager("WATCHDOG=1");
    }
}

void TServiceLink::Reload() {
    // A reload replaces the faces: never under the request or press still running, which is
    // waiting in a nested event loop for its devices.
    if (InsideNestedEvents()) {
        if (!ReloadWaiting)
            Log("SIGHUP: the reload waits for the action under way to finish");
        ReloadWaiting = true;
        ReloadRetry.start();
        return;
    }
    ReloadWaiting = false;
    Log("SIGHUP: the settings file's [Remote], [Dump], [Midi] and [Osc] are read again");
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::string reloading =
        "RELOADING=1\nMONOTONIC_USEC=" +
        std::to_string(uint64_t(now.tv_sec) * 1000000 + uint64_t(now.tv_nsec) / 1000);
    NotifyServiceManager(reloading);
    OnReload();
    NotifyServiceManager("READY=1");
}

void TServiceLink::TakeSignal() {
    char number = 0;
    while (read(SignalPipe[0], &number, 1) == 1) {
        if (number == SIGHUP) {
            Reload();
        } else if (!Stopping) {
            // A second signal changes nothing: the stop under way ends the program.
            Stopping = true;
            Log(number == SIGINT ? "SIGINT: stopping" : "SIGTERM: stopping");
            // From here the manager's stop timeout watches, not its watchdog.
            Watchdog.stop();
            NotifyServiceManager("STOPPING=1");
            OnStop();
        }
    }
}
