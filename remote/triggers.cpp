#include "remote/triggers.h"

#include "audio/devices/sequencerinput.h"
#include "audio/devices/systemdevice.h"
#include "station/inifile.h"
#include "support/log.h"

#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <lo/lo.h>

#include <algorithm>
#include <cstring>

namespace {

const QString Midi = QStringLiteral("Midi");
const QString Osc = QStringLiteral("Osc");

struct TButtonEntry {
    const char* Name;
    const char* OscPath;
};

// In TDeskButton's order.
constexpr TButtonEntry Buttons[DeskButtonCount] = {
    {"Dump", "/lagvane/dump"},   {"Cough", "/lagvane/cough"}, {"Exit", "/lagvane/exit"},
    {"Build", "/lagvane/build"}, {"Play", "/lagvane/play"},   {"Stop", "/lagvane/stop"},
};

constexpr int LastMidiNumber = 127;
constexpr int MidiChannels = 16;
// Often enough that a press is not felt late, rarely enough to cost nothing.
constexpr int JackPollMs = 10;
constexpr qint64 IgnoredLogMs = 60000;
// What the log repeats of an ignored message's path.
constexpr qsizetype PathLogged = 64;

// The button's name as the settings file and the log write it.
QString DeskButtonName(TDeskButton button) {
    return QString::fromLatin1(Buttons[size_t(button)].Name);
}

// Presses the button (down false lets go of Cough) and logs what came of it, naming from.
void PressDeskButton(TConsole& target, TDeskButton button, bool down, const QString& from) {
    using TAction = TPressResult (TConsole::*)();
    static constexpr TAction Actions[DeskButtonCount] = {
        &TConsole::Dump,  &TConsole::CoughStart, &TConsole::Exit,
        &TConsole::Build, &TConsole::Play,       &TConsole::Stop,
    };
    const bool letGo = button == TDeskButton::Cough && !down;
    // Before the press, so that the log reads in the order things happened.
    Log(QStringLiteral("%1 %2 %3")
            .arg(from, letGo ? QStringLiteral("lets go of") : QStringLiteral("presses"),
                 DeskButtonName(button))
            .toStdString());
    const TPressResult result = letGo ? target.CoughStop() : (target.*Actions[size_t(button)])();
    if (!result.Error.isEmpty())
        Log(QStringLiteral("%1: %2 refused: %3")
                .arg(from, DeskButtonName(button), result.Error)
                .toStdString(),
            TLogLevel::Warning);
}

// As [Midi] writes it, for the log.
QString MidiBindingText(const TMidiBinding& binding) {
    return QStringLiteral("%1 %2")
        .arg(binding.Kind == TMidiControl::TKind::Note ? QStringLiteral("note")
                                                       : QStringLiteral("cc"))
        .arg(binding.Number);
}

} // namespace

std::optional<TMidiBinding> ParseMidiBinding(const QString& text) {
    static const QRegularExpression Binding(QStringLiteral("^\\s*(note|cc)\\s+(\\d{1,3})\\s*$"),
                                            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = Binding.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const int number = match.captured(2).toInt();
    if (number > LastMidiNumber)
        return std::nullopt;
    const bool note = match.captured(1).compare(QLatin1String("note"), Qt::CaseInsensitive) == 0;
    return TMidiBinding{note ? TMidiControl::TKind::Note : TMidiControl::TKind::Controller,
                        uint8_t(number)};
}

TMidiSettings ReadMidiSettings(TIniFile& ini) {
    TMidiSettings settings;
    for (size_t index = 0; index < DeskButtonCount; ++index) {
        const QString name = QString::fromLatin1(Buttons[index].Name);
        const QString text = ini.ReadString(Midi, name, {}).trimmed();
        if (text.isEmpty())
            continue;
        settings.Bindings[index] = ParseMidiBinding(text);
        if (!settings.Bindings[index])
            Log(QStringLiteral("[Midi] %1=%2 is neither \"note N\" nor \"cc N\" with N from 0 to "
                               "127: %1 stays unmapped")
                    .arg(name, text)
                    .toStdString(),
                TLogLevel::Warning);
    }
    const int32_t channel = ini.ReadInteger(Midi, QStringLiteral("Channel"), settings.Channel);
    if (channel >= 0 && channel <= MidiChannels)
        settings.Channel = channel;
    return settings;
}

TMidiTrigger::TMidiTrigger(TConsole& target, TMidiSettings settings)
    : Target(target), Settings(std::move(settings)) {
    JackPoll.setInterval(JackPollMs);
    QObject::connect(&JackPoll, &QTimer::timeout, &Receiver, [this] {
        TMidiControl control;
        while (Jack->NextControl(control))
            Take(control);
    });
}

// The reader stops before the receiver goes, so no message is queued to it after.
TMidiTrigger::~TMidiTrigger() = default;

void TMidiTrigger::Start() {
    // Nothing mapped, the default: nothing to read, and no timer waking the program for it.
    if (std::none_of(Settings.Bindings.begin(), Settings.Bindings.end(),
                     [](const auto& binding) { return binding.has_value(); }))
        return;
    if (JackPoll.isActive() || Sequencer)
        return;
    Jack = JackDevicesInUse();
    if (Jack) {
        TMidiControl stale;
        while (Jack->NextControl(stale)) {
        }
        JackPoll.start();
        return;
    }
    Sequencer = std::make_unique<TSequencerInput>([this](const TMidiControl& control) {
        if (Queued.fetch_add(1) >= MostQueued) {
            Queued.fetch_sub(1);
            Dropped.fetch_add(1);
            return;
        }
        QMetaObject::invokeMethod(
            &Receiver,
            [this, control] {
                Queued.fetch_sub(1);
                if (const uint64_t dropped = Dropped.exchange(0))
                    Log("MIDI: " + std::to_string(dropped) +
                            " messages dropped: the desk sent more than the program could take",
                        TLogLevel::Warning);
                Take(control);
            },
            Qt::QueuedConnection);
    });
}

void TMidiTrigger::Configure(TMidiSettings settings) {
    // A control held under the old mapping must not count as held under the new one.
    if (settings.Bindings != Settings.Bindings)
        On = {};
    Settings = std::move(settings);
    Start();
}

void TMidiTrigger::Take(const TMidiControl& control) {
    if (Settings.Channel != 0 && control.Channel + 1 != Settings.Channel)
        return;
    const TMidiBinding received{control.Kind, control.Number};
    for (size_t index = 0; index < DeskButtonCount; ++index) {
        if (Settings.Bindings[index] != received)
            continue;
        const auto button = TDeskButton(index);
        const bool rising = control.On && !On[index];
        const bool changed = control.On != On[index];
        On[index] = control.On;
        // A fader swept past 64 presses once; a note is struck again for each press, even on
        // a keyboard that sends no note off.
        const bool pressed =
            button == TDeskButton::Cough
                ? changed
                : rising || (control.On && control.Kind == TMidiControl::TKind::Note);
        if (pressed)
            PressDeskButton(Target, button, control.On,
                            QStringLiteral("MIDI %1 (channel %2)")
                                .arg(MidiBindingText(received))
                                .arg(control.Channel + 1));
    }
}

TOscSettings ReadOscSettings(TIniFile& ini) {
    TOscSettings settings;
    ReadListenPlace(ini, Osc, settings.Address, settings.Port);
    return settings;
}

TOscTrigger::TOscTrigger(TConsole& target, TOscSettings settings)
    : Target(target), Settings(std::move(settings)) {
    QObject::connect(&Socket, &QUdpSocket::readyRead, &Socket, [this] { ReadDatagrams(); });
}

QString TOscTrigger::Listen() {
    if (Settings.Port == 0 || Socket.state() == QAbstractSocket::BoundState)
        return {};
    const QHostAddress address = ListenAddress(Settings.Address);
    const QString where = ListenPlace(Settings.Address, Settings.Port);
    if (address.isNull())
        return QStringLiteral("OSC: cannot listen on %1: not an IP address").arg(where);
    // The desk is reached directly; asking the system for a proxy would start a lookup thread
    // for nothing.
    Socket.setProxy(QNetworkProxy::NoProxy);
    // Shared, the port would hand each message to one of two programs, whichever the system
    // chose.
    if (!Socket.bind(address, Settings.Port, QAbstractSocket::DontShareAddress))
        return QStringLiteral("OSC: cannot listen on %1: %2").arg(where, Socket.errorString());
    Log(QStringLiteral("OSC: listening on %1").arg(where).toStdString());
    return {};
}

void TOscTrigger::ReadDatagrams() {
    while (Socket.hasPendingDatagrams())
        Take(Socket.receiveDatagram().data());
}

void TOscTrigger::Take(const QByteArray& datagram) {
    QByteArray data = datagram;
    const std::unique_ptr<std::remove_pointer_t<lo_message>, void (*)(lo_message)> message(
        lo_message_deserialise(data.data(), size_t(data.size()), nullptr), &lo_message_free);
    if (!message)
        return Ignore({});
    const QByteArray path(lo_get_path(data.data(), data.size()));
    const auto entry =
        std::find_if(std::begin(Buttons), std::end(Buttons),
                     [&path](const TButtonEntry& button) { return path == button.OscPath; });
    const int count = lo_message_get_argc(message.get());
    const char* types = lo_message_get_types(message.get());
    // A surface's button sends 1 when pressed and 0 when let go; a plain sender, nothing.
    std::optional<bool> down;
    if (count == 0)
        down = true;
    else if (count == 1 && (types[0] == 'T' || types[0] == 'F'))
        down = types[0] == 'T';
    else if (count == 1 && std::strchr("ifhd", types[0]))
        down = lo_hires_val(lo_type(types[0]), lo_message_get_argv(message.get())[0]) != 0;
    if (entry == std::end(Buttons) || !down)
        return Ignore(path);
    // Cough says whether it is held; the others press on 1 only, so that a release presses
    // nothing.
    const auto button = TDeskButton(entry - std::begin(Buttons));
    if (button == TDeskButton::Cough && count == 0)
        return Ignore(path);
    if (*down || button == TDeskButton::Cough)
        PressDeskButton(Target, button, *down, QStringLiteral("OSC %1").arg(QLatin1String(path)));
}

void TOscTrigger::Ignore(const QByteArray& path) {
    ++Ignored;
    if (IgnoredLogClock.isValid() && IgnoredLogClock.elapsed() < IgnoredLogMs)
        return;
    // Only what prints, so that a message cannot write lines of its own into the log.
    QByteArray shown = path.left(PathLogged);
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return c < ' ' || c > '~'; }, '?');
    Log(QStringLiteral("OSC: ignored %1 message(s) Lagvane does not take, the last %2")
            .arg(Ignored)
            .arg(shown.isEmpty() ? QStringLiteral("not OSC at all")
                                 : QStringLiteral("to %1").arg(QLatin1String(shown)))
            .toStdString(),
        TLogLevel::Warning);
    Ignored = 0;
    IgnoredLogClock.start();
}
