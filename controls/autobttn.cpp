#include "controls/autobttn.h"

#include <QMouseEvent>
#include <QTimer>

namespace {

class TQtRepeatTimer : public TRepeatTimer {
public:
    TQtRepeatTimer() {
        // A coarse timer may fire 5 % of its interval early or late: the clicks would wander
        // off the rhythm.
        Timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            if (OnTimer)
                OnTimer();
        });
    }
    void SetInterval(int milliseconds) override {
        if (milliseconds != Timer.interval())
            Timer.setInterval(milliseconds);
    }
    int Interval() const override { return Timer.interval(); }
    void SetEnabled(bool enabled) override {
        if (!enabled)
            Timer.stop();
        else if (!Timer.isActive())
            Timer.start();
    }
    bool Enabled() const override { return Timer.isActive(); }

private:
    QTimer Timer;
};

} // namespace

std::unique_ptr<TRepeatTimer> MakeQtRepeatTimer() {
    return std::make_unique<TQtRepeatTimer>();
}

TAutoButton::TAutoButton(QWidget* parent) : QToolButton(parent), TimerFactory(MakeQtRepeatTimer) {
    setFocusPolicy(Qt::NoFocus);
}

TAutoButton::~TAutoButton() = default;

void TAutoButton::Click() {
    emit clicked(isChecked());
}

void TAutoButton::mousePressEvent(QMouseEvent* event) {
    HeldValue = true;
    if (OnMouseDown)
        OnMouseDown(this, event->button());
    QToolButton::mousePressEvent(event);
    // The modifiers of the press are the Ctrl state at the moment of the press.
    const bool ctrlDown = event->modifiers().testFlag(Qt::ControlModifier);
    if (DoRepeatValue || (ControlRepeatValue && ctrlDown)) {
        if (!RepeatTimerValue)
            RepeatTimerValue = TimerFactory();
        RepeatTimerValue->OnTimer = [this] { RepeatTick(); };
        RepeatTimerValue->SetInterval(InitialDelayValue);
        RepeatTimerValue->SetEnabled(true);
    }
}

void TAutoButton::RepeatTick() {
    RepeatTimerValue->SetInterval(RepeatDelayValue);
    // Dragged off the button it shows up and the ticks click nothing until it is back.
    if (!isDown() || !HeldValue)
        return;
    try {
        Click();
    } catch (...) {
        RepeatTimerValue->SetEnabled(false);
        throw;
    }
}

void TAutoButton::mouseReleaseEvent(QMouseEvent* event) {
    HeldValue = false;
    QToolButton::mouseReleaseEvent(event);
    if (RepeatTimerValue)
        RepeatTimerValue->SetEnabled(false);
    if (OnMouseUp)
        OnMouseUp(this);
}
