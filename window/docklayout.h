#pragma once

// Docking of child controls to the edges of their parent, the way the window's panels are laid
// out: each docked child in turn takes a strip of the given thickness from the top, bottom, left
// or right of what earlier children left, and a client child takes the rest. Children that are
// not docked keep the geometry they were given.

#include <QLayout>
#include <QList>

enum class TAlign { alTop, alBottom, alLeft, alRight, alClient };

class TDockLayout : public QLayout {
public:
    // inset: pixels between the parent's edge and the docking area (its bevels and border).
    TDockLayout(QWidget* parent, int inset);
    ~TDockLayout() override;

    // thickness: height for top and bottom, width for left and right; ignored for client.
    void AddDocked(QWidget* child, TAlign align, int thickness = 0);

    void addItem(QLayoutItem* item) override;
    QLayoutItem* itemAt(int index) const override;
    QLayoutItem* takeAt(int index) override;
    int count() const override;
    QSize sizeHint() const override;
    QSize minimumSize() const override;
    void setGeometry(const QRect& rect) override;

private:
    struct TDocked {
        QLayoutItem* Item;
        TAlign Align;
        int Thickness;
    };
    QList<TDocked> Items;
};

// Docks child in parent, giving parent a dock layout on first use.
void Dock(QWidget* parent, QWidget* child, TAlign align, int thickness = 0, int inset = 0);
