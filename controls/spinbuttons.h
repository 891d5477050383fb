#pragma once

#include <QLineEdit>
#include <QPointer>
#include <QPolygon>
#include <functional>

#include "controls/alignment.h"
#include "controls/autobttn.h"
#include "controls/loading.h"

// A single-line edit with a settable text alignment, an event after it loses the focus, and a
// per-character key filter.
class TCustomEditEx : public QLineEdit {
public:
    explicit TCustomEditEx(QWidget* parent = nullptr);

    TAlignment Alignment() const { return AlignmentValue; }
    void SetAlignment(TAlignment value);

    // Raised after the edit has lost the keyboard focus.
    std::function<void(QObject* sender)> OnKillFocus;
    // Raised whenever the text changes, by typing or by the program.
    std::function<void(QObject* sender)> OnChange;
    // Sees each typed character first; setting it to the null character discards it.
    std::function<void(QObject* sender, QChar& key)> OnKeyPress;

protected:
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    TAlignment AlignmentValue = TAlignment::taLeftJustify;
};

class TEditEx : public TCustomEditEx {
public:
    using TCustomEditEx::TCustomEditEx;
};

// An auto-repeat button that shows a small filled triangle pointing up or down.
class TArrowButton : public TAutoButton {
    Q_OBJECT
public:
    explicit TArrowButton(QWidget* parent = nullptr);

    bool UpArrow() const { return UpArrowValue; }
    void SetUpArrow(bool value);
    bool ShowFocusMark() const { return ShowFocusMarkValue; }
    void SetShowFocusMark(bool value);

    // The triangle's corners on a button of the given size.
    static QPolygon ArrowTriangle(int width, int height, bool upArrow);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool UpArrowValue = false;
    bool ShowFocusMarkValue = false;
};

// An up arrow above a down arrow, sharing one pixel row, that turn their clicks (repeats
// included) into OnUpClick and OnDownClick. With the focus, Space clicks the marked arrow and
// the arrow keys click theirs.
class TUpDownButton : public QWidget, public TLoadingState {
    Q_OBJECT
public:
    explicit TUpDownButton(QWidget* parent = nullptr);

    TArrowButton* UpButton() const { return UpButtonValue; }
    TArrowButton* DownButton() const { return DownButtonValue; }
    TArrowButton* MarkedButton() const { return MarkedButtonValue; }
    void SetMarkedButton(TArrowButton* button);

    // Takes the focus when an arrow is pressed; forgotten when that control goes.
    QWidget* FocusControl() const { return FocusControlValue; }
    void SetFocusControl(QWidget* control) { FocusControlValue = control; }

    bool TabStop() const { return focusPolicy() != Qt::NoFocus; }
    void SetTabStop(bool value);

    // Either arrow is held down with the mouse.
    bool Pressed() const;

    // Places and sizes the control; it is never narrower than its arrows.
    void SetBounds(int left, int top, int width, int height);
    // Lays the arrows out for a control of the given size.
    void FitArrows(int width, int height);

    std::function<void(QObject* sender)> OnUpClick;
    std::function<void(QObject* sender)> OnDownClick;

protected:
    void Loaded() override;
    void resizeEvent(QResizeEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ArrowClick(TArrowButton* arrow);
    void ArrowPress(TArrowButton* arrow, Qt::MouseButton button);
    void FitToArrows();
    bool CanTakeFocus() const;

    TArrowButton* UpButtonValue = nullptr;
    TArrowButton* DownButtonValue = nullptr;
    TArrowButton* MarkedButtonValue = nullptr;
    QPointer<QWidget> FocusControlValue;
};
