#pragma once

#include <QColor>
#include <QFrame>
#include <QString>
#include <functional>

#include "controls/alignment.h"

enum class TPanelBevel { bvNone, bvLowered, bvRaised };

// A panel that paints its own bevels, background colour and one-line caption, like the
// toolkit's panel: outer bevel, border, inner bevel, then the face with the caption centred
// vertically and aligned as Alignment says.
class TPanel : public QFrame {
public:
    explicit TPanel(QWidget* parent = nullptr);

    TPanelBevel BevelInner() const { return BevelInnerValue; }
    void SetBevelInner(TPanelBevel value);
    TPanelBevel BevelOuter() const { return BevelOuterValue; }
    void SetBevelOuter(TPanelBevel value);
    int BevelWidth() const { return BevelWidthValue; }
    void SetBevelWidth(int value);
    int BorderWidth() const { return BorderWidthValue; }
    void SetBorderWidth(int value);
    const QString& Caption() const { return CaptionText; }
    void SetCaption(const QString& value);
    TAlignment Alignment() const { return AlignmentValue; }
    void SetAlignment(TAlignment value);
    const QColor& Color() const { return ColorValue; }
    void SetColor(const QColor& value);

    // The face inside the bevels and the border.
    QRect FaceRect() const;

    std::function<void(QObject* sender, Qt::MouseButton button)> OnMouseDown;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    TPanelBevel BevelInnerValue = TPanelBevel::bvNone;
    TPanelBevel BevelOuterValue = TPanelBevel::bvRaised;
    int BevelWidthValue = 1;
    int BorderWidthValue = 0;
    QString CaptionText;
    TAlignment AlignmentValue = TAlignment::taCenter;
    QColor ColorValue;
};
