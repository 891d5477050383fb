#pragma once

// The messages the program raises (a device fault, a start that fails, an exception that reached
// the top): logged, kept for the remote control, and handed to whatever shows them to the
// operator. Without a window, the log is all.

#include <QDateTime>
#include <QString>
#include <functional>

enum class TMessageKind { Information, Warning, Error };

struct TRaisedMessage {
    QDateTime Time;
    QString Text;
};

// Shows a message in place of the shower (tests, tools); gets the text only.
using TMessagePresenter = std::function<void(const QString& text)>;

// Shows raised messages to the operator: the window's boxes. It must return at once.
class TMessageShower {
public:
    virtual void Show(TMessageKind kind, const QString& title, const QString& text,
                      const QDateTime& time) = 0;
    // Takes down what it shows and drops what waits (before the application object goes).
    virtual void Clear() = 0;

protected:
    ~TMessageShower() = default;
};

class TMessageBoard {
public:
    TMessageBoard() = default;
    TMessageBoard(const TMessageBoard&) = delete;
    TMessageBoard& operator=(const TMessageBoard&) = delete;

    // Logs text and keeps it as the last message, then hands it to presenter, or without one
    // to the shower (when there is one). Returns at once either way.
    void Raise(TMessageKind kind, const QString& title, const QString& text,
               const TMessagePresenter& presenter = {});

    // The last message raised; an empty text when none was.
    TRaisedMessage Last() const { return LastRaised; }

    // Where messages go besides the log (not owned); none for a program without a window.
    void SetShower(TMessageShower* shower) { Shower = shower; }
    // Has the shower take down what it shows.
    void Clear();

private:
    TRaisedMessage LastRaised;
    TMessageShower* Shower = nullptr;
};

// The program's one board.
TMessageBoard& MessageBoard();
