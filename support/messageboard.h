#pragma once

// The messages the program raises (a device fault, a start that fails, an exception that reached
// the top): logged, kept for the remote control, and shown in one box that never runs an event
// loop of its own, so the remote control and the watchdog go on being served while it is up.
// Nobody may be at the window for weeks: a message repeated while the box shows it only counts
// up, and a different one waits for the box to be closed. Without a window, the log is all.

#include <QDateTime>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <deque>
#include <functional>

enum class TMessageKind { Information, Warning, Error };

struct TRaisedMessage {
    QDateTime Time;
    QString Text;
};

// Shows a message in place of the box (tests, tools); gets the text only.
using TMessagePresenter = std::function<void(const QString& text)>;

class TMessageBoard {
public:
    TMessageBoard() = default;
    ~TMessageBoard();
    TMessageBoard(const TMessageBoard&) = delete;
    TMessageBoard& operator=(const TMessageBoard&) = delete;

    // Logs text and keeps it as the last message, then hands it to presenter, or without one
    // to the box (when boxes are shown). Returns at once either way.
    void Raise(TMessageKind kind, const QString& title, const QString& text,
               const TMessagePresenter& presenter = {});

    // The last message raised; an empty text when none was.
    TRaisedMessage Last() const { return LastRaised; }

    // The box on screen, null when none; how often it has been raised since it opened; the
    // messages waiting behind it.
    QMessageBox* Box() const { return Shown; }
    int ShownCount() const { return Shown ? ShownEntry.Count : 0; }
    size_t Waiting() const { return Queue.size(); }

    // Closes the box and drops what waits (before the application object goes).
    void Clear();

    // Off for a program without a window, where a box would only hold memory.
    void ShowBoxes(bool shown) { BoxesShown = shown; }

private:
    struct TEntry {
        TMessageKind Kind;
        QString Title;
        QString Text;
        int Count = 1;
        QDateTime Last;
    };

    void Open(const TEntry& entry);
    void ShowCount();
    void OpenNext();

    TRaisedMessage LastRaised;
    bool BoxesShown = true;
    QPointer<QMessageBox> Shown;
    TEntry ShownEntry{};
    std::deque<TEntry> Queue;
};

// The program's one board.
TMessageBoard& MessageBoard();
