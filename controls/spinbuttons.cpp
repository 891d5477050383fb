#include "controls/spinbuttons.h"

#include <QKeyEvent>
#include <QPainter>
#include <algorithm>

#include "controls/colors.h"
#include "support/property.h"

namespace {

constexpr int MinArrowWidth = 15;
constexpr int UpDownWidth = 17;
constexpr int UpDownHeight = 23;
constexpr QChar EnterChar = QChar(13);
constexpr QChar DeleteChar = QChar(127);

} // namespace

TCustomEditEx::TCustomEditEx(QWidget* parent) : QLineEdit(parent) {
    SetAlignment(TAlignment::taLeftJustify);
    connect(this, &QLineEdit::textChanged, this, [this] {
        if (OnChange)
            OnChange(this);
    });
}

void TCustomEditEx::SetAlignment(TAlignment value) {
    AlignmentValue = value;
    setAlignment(HorizontalAlignment(value) | Qt::AlignVCenter);
}

void TCustomEditEx::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (OnKillFocus)
        OnKillFocus(this);
}

void TCustomEditEx::keyPressEvent(QKeyEvent* event) {
    const QString text = event->text();
    // X11 gives the Delete key the DEL character; it edits, it is not typed.
    if (!OnKeyPress || text.size() != 1 || text.front() == DeleteChar) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    QChar key = text.front();
    OnKeyPress(this, key);
    if (key.isNull()) {
        // A refused Enter still travels on to the window, as a dialog key does.
        event->setAccepted(text.front() != EnterChar);
        return;
    }
    if (key == text.front()) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    QKeyEvent replaced(event->type(), event->key(), event->modifiers(), QString(key));
    QLineEdit::keyPressEvent(&replaced);
    event->setAccepted(replaced.isAccepted());
}

TArrowButton::TArrowButton(QWidget* parent) : TAutoButton(parent) {}

void TArrowButton::SetUpArrow(bool value) {
    if (StoreChanged(UpArrowValue, value))
        update();
}

void TArrowButton::SetShowFocusMark(bool value) {
    if (StoreChanged(ShowFocusMarkValue, value))
        update();
}

QPolygon TArrowButton::ArrowTriangle(int width, int height, bool upArrow) {
    const int x0 = (width - 7) / 2;
    const int x1 = x0 + 6;
    const int xm = x0 + 3;
    if (upArrow) {
        const int yt = (height - 3) / 2 - 1;
        return QPolygon({QPoint(x0, yt + 3), QPoint(x1, yt + 3), QPoint(xm, yt)});
    }
    const int y0 = (height - 3) / 2;
    return QPolygon({QPoint(x0, y0), QPoint(x1, y0), QPoint(xm, y0 + 3)});
}

void TArrowButton::paintEvent(QPaintEvent* event) {
    TAutoButton::paintEvent(event);
    QPainter painter(this);
    const QColor arrowColor = isEnabled() ? clBlack : clGray;
    painter.setPen(arrowColor);
    painter.setBrush(arrowColor);
    painter.drawPolygon(ArrowTriangle(width(), height(), UpArrowValue));
    if (!ShowFocusMarkValue)
        return;
    QRect mark = rect().adjusted(3, 3, -3, -3);
    if (isDown())
        mark.translate(1, 1);
    // The platform's focus rectangle: every other pixel along the edges of the mark, inverted,
    // each once.
    QPolygon dots;
    const auto dot = [&dots](int x, int y) {
        if ((x + y) % 2 == 0)
            dots << QPoint(x, y);
    };
    for (int x = mark.left(); x <= mark.right(); ++x) {
        dot(x, mark.top());
        if (mark.bottom() > mark.top())
            dot(x, mark.bottom());
    }
    for (int y = mark.top() + 1; y < mark.bottom(); ++y) {
        dot(mark.left(), y);
        if (mark.right() > mark.left())
            dot(mark.right(), y);
    }
    painter.setCompositionMode(QPainter::RasterOp_NotDestination);
    painter.setPen(QPen(clWhite, 1));
    painter.drawPoints(dots);
}

TUpDownButton::TUpDownButton(QWidget* parent) : QWidget(parent) {
    setFocusPolicy(Qt::NoFocus);
    UpButtonValue = new TArrowButton(this);
    DownButtonValue = new TArrowButton(this);
    for (TArrowButton* arrow : {UpButtonValue, DownButtonValue}) {
        connect(arrow, &TAutoButton::clicked, this, [this, arrow] { ArrowClick(arrow); });
        arrow->OnMouseDown = [this, arrow](QObject*, Qt::MouseButton button) {
            ArrowPress(arrow, button);
        };
        arrow->SetDoRepeat(true);
    }
    UpButtonValue->SetUpArrow(true);
    MarkedButtonValue = UpButtonValue;
    SetBounds(0, 0, UpDownWidth, UpDownHeight);
}

void TUpDownButton::SetTabStop(bool value) {
    setFocusPolicy(value ? Qt::StrongFocus : Qt::NoFocus);
}

bool TUpDownButton::Pressed() const {
    return UpButtonValue->Held() || DownButtonValue->Held();
}

void TUpDownButton::SetBounds(int left, int top, int width, int height) {
    FitArrows(width, height);
    setGeometry(left, top, width, height);
    // A hidden widget gets its resize event only when shown; fit now all the same.
    FitToArrows();
}

void TUpDownButton::FitArrows(int width, int height) {
    if (!UpButtonValue || Loading())
        return;
    width = std::max(width, MinArrowWidth);
    UpButtonValue->setGeometry(0, 0, width, height / 2);
    const int upHeight = UpButtonValue->height();
    DownButtonValue->setGeometry(0, upHeight - 1, width, height - upHeight + 1);
}

void TUpDownButton::FitToArrows() {
    if (!UpButtonValue || Loading())
        return;
    FitArrows(width(), height());
    if (width() < MinArrowWidth)
        resize(MinArrowWidth, height());
}

void TUpDownButton::Loaded() {
    FitToArrows();
}

void TUpDownButton::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FitToArrows();
}

bool TUpDownButton::CanTakeFocus() const {
    return isEnabled() && isVisible();
}

void TUpDownButton::SetMarkedButton(TArrowButton* button) {
    if (!TabStop() || !CanTakeFocus() || button == MarkedButtonValue)
        return;
    MarkedButtonValue->SetShowFocusMark(false);
    MarkedButtonValue = button;
    if (hasFocus()) {
        button->SetShowFocusMark(true);
        update();
    }
}

void TUpDownButton::ArrowClick(TArrowButton* arrow) {
    const auto& handler = arrow == UpButtonValue ? OnUpClick : OnDownClick;
    if (handler)
        handler(this);
}

void TUpDownButton::ArrowPress(TArrowButton* arrow, Qt::MouseButton button) {
    if (button != Qt::LeftButton)
        return;
    SetMarkedButton(arrow);
    QWidget* control = FocusControlValue;
    if (control && (control->focusPolicy() & Qt::TabFocus) && control->isEnabled() &&
        control->isVisible() && !control->hasFocus()) {
        control->setFocus(Qt::MouseFocusReason);
        return;
    }
    if (TabStop() && !hasFocus() && CanTakeFocus())
        setFocus(Qt::MouseFocusReason);
}

void TUpDownButton::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    MarkedButtonValue->SetShowFocusMark(true);
}

void TUpDownButton::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    MarkedButtonValue->SetShowFocusMark(false);
}

void TUpDownButton::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Space:
        MarkedButtonValue->Click();
        break;
    case Qt::Key_Up:
        SetMarkedButton(UpButtonValue);
        UpButtonValue->Click();
        break;
    case Qt::Key_Down:
        SetMarkedButton(DownButtonValue);
        DownButtonValue->Click();
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}
