#pragma once

// The console's buttons pressed from the desk: MIDI notes and controllers, and OSC messages.
// They press the same buttons as the window and the HTTP remote control, on the main thread,
// with the same refusals; nobody waits for an answer, so a refusal goes to the log.

#include "audio/midicontrol.h"
#include "remote/remotecontrol.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

class TIniFile;
class TJackDeviceFactory;
class TSequencerInput;

enum class TDeskButton { Dump, Cough, Exit, Build, Play, Stop };
constexpr size_t DeskButtonCount = 6;

// A note or a controller, whatever its value.
struct TMidiBinding {
    TMidiControl::TKind Kind = TMidiControl::TKind::Note;
    uint8_t Number = 0;
    bool operator==(const TMidiBinding&) const = default;
};

// "note 36" or "cc 64", case and spaces as they come; nothing for any other text.
std::optional<TMidiBinding> ParseMidiBinding(const QString& text);

struct TMidiSettings {
    // By button; none for an unmapped one, which is every button until the station maps it.
    std::array<std::optional<TMidiBinding>, DeskButtonCount> Bindings;
    // 1 to 16; 0 takes every channel.
    int Channel = 0;
    bool operator==(const TMidiSettings&) const = default;
};

// Section [Midi] of the settings file; what is missing or unreadable keeps its default, and
// an unreadable mapping is logged.
TMidiSettings ReadMidiSettings(TIniFile& ini);

// The desk's MIDI, mapped to the buttons by [Midi].
class TMidiTrigger {
public:
    TMidiTrigger(TConsole& target, TMidiSettings settings);
    ~TMidiTrigger();
    TMidiTrigger(const TMidiTrigger&) = delete;
    TMidiTrigger& operator=(const TMidiTrigger&) = delete;

    // Takes settings (at start, and read again at a reload) and reads once anything is mapped.
    // The port it reads stays open, so that the desk's connections to it (made with aconnect or
    // a patchbay) outlive a reload.
    void Configure(TMidiSettings settings);
    // Main thread: presses what the control is mapped to. A note on presses each time; a
    // controller when it rises to 64 or more; Cough is held while the note or controller is on.
    void Take(const TMidiControl& control);

private:
    // Reads JACK's Lagvane:control when runs are on JACK, otherwise the sequencer port; messages
    // sent before this are dropped. Reading, it reads on.
    void Start();

    TConsole& Target;
    TMidiSettings Settings;
    // Whether each button's control is on now, so that a controller presses as it rises only.
    std::array<bool, DeskButtonCount> On{};
    // On JACK, the main thread drains the port's queue on this timer.
    TJackDeviceFactory* Jack = nullptr;
    QTimer JackPoll;
    // The sequencer thread's messages are queued to the main thread through it, at most
    // MostQueued at a time: a flood is dropped and counted, not gathered in memory.
    static constexpr int MostQueued = 256;
    QObject Receiver;
    std::atomic<int> Queued{0};
    std::atomic<uint64_t> Dropped{0};
    std::unique_ptr<TSequencerInput> Sequencer;
};

struct TOscSettings {
    QString Address = QStringLiteral("127.0.0.1");
    // 0: no OSC.
    quint16 Port = 7471;
    bool operator==(const TOscSettings&) const = default;
};

// Section [Osc] of the settings file; what is missing or unreadable keeps its default.
TOscSettings ReadOscSettings(TIniFile& ini);

// /lagvane/dump, /lagvane/cough i, /lagvane/exit, /lagvane/build, /lagvane/play and
// /lagvane/stop over UDP, read on the main thread's event loop.
class TOscTrigger {
public:
    TOscTrigger(TConsole& target, TOscSettings settings);

    // Returns the operator's error text, empty when listening or when the port is 0.
    QString Listen();
    // Whether it listens as these settings say, so that a reload can keep it.
    bool Serves(const TOscSettings& settings) const { return Settings == settings; }
    // A datagram as it came: a message pressing its button, anything else ignored.
    void Take(const QByteArray& datagram);

private:
    void ReadDatagrams();
    void Ignore(const QByteArray& path);

    TConsole& Target;
    const TOscSettings Settings;
    QUdpSocket Socket;
    // Ignored messages are logged at most once a minute, so that a flood cannot fill the log.
    QElapsedTimer IgnoredLogClock;
    uint64_t Ignored = 0;
};
