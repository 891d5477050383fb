#pragma once

#include <QToolButton>
#include <functional>
#include <memory>

// The clock behind a button's repeated clicks: a QTimer in the program, a clock the test
// advances in tests. Like the toolkit's timer, changing the interval of a running timer starts
// its period afresh, and enabling a running timer changes nothing.
class TRepeatTimer {
public:
    virtual ~TRepeatTimer() = default;
    virtual void SetInterval(int milliseconds) = 0;
    virtual int Interval() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;

    std::function<void()> OnTimer;
};

using TRepeatTimerFactory = std::function<std::unique_ptr<TRepeatTimer>()>;

// A push button that keeps clicking while it is held: after InitialDelay from the press and
// then every RepeatDelay it raises clicked() again, as long as it shows pressed. Qt's button
// machinery gives the rest: the pressed look that follows the pointer and one click on release
// over the button.
class TAutoButton : public QToolButton {
    Q_OBJECT
public:
    explicit TAutoButton(QWidget* parent = nullptr);
    ~TAutoButton() override;

    int InitialDelay() const { return InitialDelayValue; }
    void SetInitialDelay(int milliseconds) { InitialDelayValue = milliseconds; }
    int RepeatDelay() const { return RepeatDelayValue; }
    void SetRepeatDelay(int milliseconds) { RepeatDelayValue = milliseconds; }
    bool DoRepeat() const { return DoRepeatValue; }
    void SetDoRepeat(bool value) { DoRepeatValue = value; }
    // Repeat only when Ctrl is held at the press.
    bool ControlRepeat() const { return ControlRepeatValue; }
    void SetControlRepeat(bool value) { ControlRepeatValue = value; }

    // A mouse button is pressed on the button and not yet released.
    bool Held() const { return HeldValue; }

    // Raises clicked() without touching the pressed state, so a held button goes on repeating.
    void Click();

    // Made at the first press that repeats and kept until the button goes; null before.
    TRepeatTimer* RepeatTimer() const { return RepeatTimerValue.get(); }
    // Tests hand in a factory of virtual timers before the first press.
    void SetRepeatTimerFactory(TRepeatTimerFactory factory) { TimerFactory = std::move(factory); }

    // Raised after a press has been handled, with the button that went down.
    std::function<void(QObject* sender, Qt::MouseButton button)> OnMouseDown;
    // Raised after a release has been handled.
    std::function<void(QObject* sender)> OnMouseUp;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void RepeatTick();

    int InitialDelayValue = 400;
    int RepeatDelayValue = 100;
    bool DoRepeatValue = false;
    bool ControlRepeatValue = false;
    bool HeldValue = false;
    TRepeatTimerFactory TimerFactory;
    std::unique_ptr<TRepeatTimer> RepeatTimerValue;
};

// The program's repeat timer, a QTimer.
std::unique_ptr<TRepeatTimer> MakeQtRepeatTimer();
