#include "controls/onoffbox.h"

#include <QMouseEvent>

#include "controls/colors.h"
#include "support/property.h"

namespace {

constexpr int BoxSize = 26;

} // namespace

TOnOffBox::TOnOffBox(QWidget* parent)
    : TPanel(parent), OnColorValue(clLime), OffColorValue(clRed),
      OnStringValue(QStringLiteral("On")), OffStringValue(QStringLiteral("Off")) {
    resize(BoxSize, BoxSize);
    SetBevelInner(TPanelBevel::bvNone);
    SetBevelOuter(TPanelBevel::bvLowered);
    SetAlignment(TAlignment::taCenter);
    ShowState();
}

void TOnOffBox::SetOnString(const QString& value) {
    OnStringValue = value;
    if (BoxOnValue)
        SetCaption(value);
}

void TOnOffBox::SetOffString(const QString& value) {
    OffStringValue = value;
    if (!BoxOnValue)
        SetCaption(value);
}

void TOnOffBox::SetOnColor(const QColor& value) {
    if (StoreChanged(OnColorValue, value))
        ShowState();
}

void TOnOffBox::SetOffColor(const QColor& value) {
    if (StoreChanged(OffColorValue, value))
        ShowState();
}

void TOnOffBox::SetBoxOn(bool value) {
    BoxOnValue = value;
    ShowState();
}

void TOnOffBox::SetUserChangeable(bool value) {
    if (StoreChanged(UserChangeableValue, value))
        ShowState();
}

void TOnOffBox::ShowState() {
    if (!isEnabled()) {
        SetColor(clSilver);
        return;
    }
    SetColor(BoxOnValue ? OnColorValue : OffColorValue);
    SetCaption(BoxOnValue ? OnStringValue : OffStringValue);
}

void TOnOffBox::mousePressEvent(QMouseEvent* event) {
    TPanel::mousePressEvent(event);
    if (event->button() == Qt::LeftButton && UserChangeableValue)
        SetBoxOn(!BoxOnValue);
}
