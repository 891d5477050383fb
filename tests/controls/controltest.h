#pragma once

// Test drivers for the controls: a virtual clock for the repeat timers, and mouse and key
// events sent straight to a widget.

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>
#include <algorithm>
#include <memory>
#include <ostream>
#include <vector>

#include "controls/autobttn.h"

class TVirtualClock;

// A repeat timer that fires only when the test advances its clock.
class TVirtualTimer : public TRepeatTimer {
public:
    explicit TVirtualTimer(TVirtualClock& clock);
    ~TVirtualTimer() override;
    void SetInterval(int milliseconds) override;
    int Interval() const override { return IntervalMs; }
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return EnabledFlag; }

private:
    friend class TVirtualClock;
    TVirtualClock& Clock;
    int IntervalMs = 1000;
    bool EnabledFlag = false;
    long Deadline = 0;
};

class TVirtualClock {
public:
    TRepeatTimerFactory Factory() {
        return [this] { return std::make_unique<TVirtualTimer>(*this); };
    }
    long Now() const { return NowMs; }

    // Fires every tick due up to now + milliseconds, in time order.
    void Advance(long milliseconds) {
        const long target = NowMs + milliseconds;
        for (;;) {
            TVirtualTimer* next = nullptr;
            for (TVirtualTimer* timer : Timers)
                if (timer->EnabledFlag && timer->Deadline <= target &&
                    (!next || timer->Deadline < next->Deadline))
                    next = timer;
            if (!next)
                break;
            NowMs = next->Deadline;
            next->Deadline = NowMs + std::max(next->IntervalMs, 1);
            if (next->OnTimer)
                next->OnTimer();
        }
        NowMs = target;
    }

private:
    friend class TVirtualTimer;
    std::vector<TVirtualTimer*> Timers;
    long NowMs = 0;
};

inline TVirtualTimer::TVirtualTimer(TVirtualClock& clock) : Clock(clock) {
    Clock.Timers.push_back(this);
}

inline TVirtualTimer::~TVirtualTimer() {
    std::erase(Clock.Timers, this);
}

inline void TVirtualTimer::SetInterval(int milliseconds) {
    if (milliseconds == IntervalMs)
        return;
    IntervalMs = milliseconds;
    if (EnabledFlag)
        Deadline = Clock.Now() + std::max(IntervalMs, 1);
}

inline void TVirtualTimer::SetEnabled(bool enabled) {
    if (enabled && !EnabledFlag)
        Deadline = Clock.Now() + std::max(IntervalMs, 1);
    EnabledFlag = enabled;
}

inline void SendMouse(QWidget* widget, QEvent::Type type, Qt::MouseButton button, QPoint pos,
                      Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton
                                  : type == QEvent::MouseMove ? Qt::MouseButtons(Qt::LeftButton)
                                                              : Qt::MouseButtons(button);
    QMouseEvent event(type, QPointF(pos), QPointF(widget->mapToGlobal(pos)),
                      type == QEvent::MouseMove ? Qt::NoButton : button, held, modifiers);
    QApplication::sendEvent(widget, &event);
}

inline QPoint Inside(const QWidget* widget) {
    return widget->rect().center();
}

inline QPoint Outside(const QWidget* widget) {
    return QPoint(widget->width() + 20, widget->height() + 20);
}

inline void Press(QWidget* widget, Qt::MouseButton button = Qt::LeftButton,
                  Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    SendMouse(widget, QEvent::MouseButtonPress, button, Inside(widget), modifiers);
}

inline void Release(QWidget* widget, bool over = true, Qt::MouseButton button = Qt::LeftButton) {
    SendMouse(widget, QEvent::MouseButtonRelease, button, over ? Inside(widget) : Outside(widget));
}

inline void MoveTo(QWidget* widget, bool over) {
    SendMouse(widget, QEvent::MouseMove, Qt::NoButton, over ? Inside(widget) : Outside(widget));
}

// Sends one typed character (or a key without text) as a key press.
inline bool TypeKey(QWidget* widget, int key, const QString& text = QString()) {
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, text);
    event.setAccepted(false);
    QApplication::sendEvent(widget, &event);
    return event.isAccepted();
}

inline void TypeText(QWidget* widget, const QString& text) {
    for (const QChar c : text)
        TypeKey(widget,
                c.unicode() >= 'a' && c.unicode() <= 'z' ? c.toUpper().unicode() : c.unicode(),
                QString(c));
}

// Shows a window and lets its first paint happen, so later paints are the test's own.
inline void ShowAndSettle(QWidget& window) {
    window.show();
    window.activateWindow();
    QApplication::setActiveWindow(&window);
    QApplication::processEvents();
}

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QStringList& texts, std::ostream* out) {
    *out << '{' << texts.join(QStringLiteral(", ")).toStdString() << '}';
}

// Table rows that carry a Name print as it.
template <typename TCase>
requires requires(const TCase& row) {
    row.Name;
}
void PrintTo(const TCase& row, std::ostream* out) {
    *out << row.Name;
}
