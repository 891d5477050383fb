#pragma once

// A group box as the window's layout draws it: an etched frame whose caption sits on its top
// line, with children placed from the box's own top-left corner.

#include <QString>
#include <QWidget>

class TGroupBox : public QWidget {
public:
    TGroupBox(const QString& caption, QWidget* parent);

    const QString& Caption() const { return CaptionText; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString CaptionText;
};
