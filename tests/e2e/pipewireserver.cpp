#include "tests/e2e/pipewireserver.h"

#include "audio/devices/systemdevice.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <csignal>
#include <cstdlib>
#include <thread>

namespace {

int RunScript(const char* action) {
    const QByteArray command = QByteArray("sh '") + LAGVANE_PIPEWIRE_SCRIPT + "' " + action + " '" +
                               LAGVANE_PIPEWIRE_STATE + "'";
    return std::system(command.constData());
}

QString StatePath(const QString& name) {
    return QDir(QStringLiteral(LAGVANE_PIPEWIRE_STATE)).filePath(name);
}

QStringList NodePorts(const char* node, const char* kind) {
    QStringList ports;
    for (const char* channel : {"FL", "FR"})
        ports << QStringLiteral("%1:%2_%3").arg(node, kind, channel);
    return ports;
}

} // namespace

bool StartPipeWire() {
    return RunScript("start") == 0;
}

QString PipeWireLog() {
    QFile file(StatePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

void KillPipeWire() {
    RunScript("kill");
}

bool PausePipeWire(std::chrono::milliseconds pause) {
    QFile file(StatePath(QStringLiteral("pipewire.pid")));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const pid_t pid = pid_t(file.readAll().trimmed().toLong());
    if (pid <= 0 || ::kill(pid, SIGSTOP) != 0)
        return false;
    std::this_thread::sleep_for(pause);
    return ::kill(pid, SIGCONT) == 0;
}

void UsePipeWire(const char* alsaPlugin) {
    // The real devices, as the program names them at start.
    UseSystemDevices();
    qputenv("XDG_RUNTIME_DIR", StatePath(QStringLiteral("runtime")).toLocal8Bit());
    qputenv("ALSA_CONFIG_PATH",
            StatePath(QStringLiteral("asound-%1.conf").arg(alsaPlugin)).toLocal8Bit());
}

QStringList PipeWireSourceInputs() {
    return NodePorts("lagvane-test-source", "input");
}

QStringList PipeWireSinkMonitors() {
    return NodePorts("lagvane-test-sink", "monitor");
}

QStringList PipeWireControlMonitors() {
    return NodePorts("lagvane-test-control", "monitor");
}
