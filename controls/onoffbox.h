#pragma once

#include "controls/panel.h"

// A small panel showing one of two states by its colour and centred caption; a left click
// toggles it when UserChangeable. A disabled box turns silver at its next state update.
class TOnOffBox : public TPanel {
public:
    explicit TOnOffBox(QWidget* parent = nullptr);

    const QString& OnString() const { return OnStringValue; }
    void SetOnString(const QString& value);
    const QString& OffString() const { return OffStringValue; }
    void SetOffString(const QString& value);
    const QColor& OnColor() const { return OnColorValue; }
    void SetOnColor(const QColor& value);
    const QColor& OffColor() const { return OffColorValue; }
    void SetOffColor(const QColor& value);
    bool BoxOn() const { return BoxOnValue; }
    // Shows the state again even when it does not change.
    void SetBoxOn(bool value);
    bool UserChangeable() const { return UserChangeableValue; }
    void SetUserChangeable(bool value);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    void ShowState();

    bool UserChangeableValue = true;
    bool BoxOnValue = true;
    QColor OnColorValue;
    QColor OffColorValue;
    QString OnStringValue;
    QString OffStringValue;
};
