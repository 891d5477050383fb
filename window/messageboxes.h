#pragma once

// The operator's message boxes: one box at a time that never runs an event loop of its own, so
// the remote control and the watchdog go on being served while it is up. Nobody may be at the
// window for weeks: a message repeated while the box shows it only counts up, and a different
// one waits for the box to be closed.

#include "support/messageboard.h"

#include <QMessageBox>
#include <QPointer>
#include <deque>

class TMessageBoxes : public TMessageShower {
public:
    TMessageBoxes() = default;
    ~TMessageBoxes();
    TMessageBoxes(const TMessageBoxes&) = delete;
    TMessageBoxes& operator=(const TMessageBoxes&) = delete;

    void Show(TMessageKind kind, const QString& title, const QString& text,
              const QDateTime& time) override;
    void Clear() override;

    // The box on screen, null when none; how often it has been raised since it opened; the
    // messages waiting behind it.
    QMessageBox* Box() const { return Shown; }
    int ShownCount() const { return Shown ? ShownEntry.Count : 0; }
    size_t Waiting() const { return Queue.size(); }

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

    QPointer<QMessageBox> Shown;
    TEntry ShownEntry{};
    std::deque<TEntry> Queue;
};
