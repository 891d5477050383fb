#include "window/docklayout.h"

#include <QWidget>

TDockLayout::TDockLayout(QWidget* parent, int inset) : QLayout(parent) {
    setContentsMargins(inset, inset, inset, inset);
    setSpacing(0);
}

TDockLayout::~TDockLayout() {
    for (const TDocked& docked : Items)
        delete docked.Item;
}

void TDockLayout::AddDocked(QWidget* child, TAlign align, int thickness) {
    addChildWidget(child);
    Items.append({new QWidgetItem(child), align, thickness});
    invalidate();
}

void TDockLayout::addItem(QLayoutItem* item) {
    Items.append({item, TAlign::alClient, 0});
}

QLayoutItem* TDockLayout::itemAt(int index) const {
    return index >= 0 && index < Items.size() ? Items[index].Item : nullptr;
}

QLayoutItem* TDockLayout::takeAt(int index) {
    if (index < 0 || index >= Items.size())
        return nullptr;
    return Items.takeAt(index).Item;
}

int TDockLayout::count() const {
    return static_cast<int>(Items.size());
}

// The parent's size is the window's business; docking only divides it.
QSize TDockLayout::sizeHint() const {
    return QSize(0, 0);
}

QSize TDockLayout::minimumSize() const {
    return QSize(0, 0);
}

void TDockLayout::setGeometry(const QRect& rect) {
    QLayout::setGeometry(rect);
    QRect free = contentsRect();
    // Edges first in the order top, bottom, left, right; the client child gets what remains.
    for (TAlign align :
         {TAlign::alTop, TAlign::alBottom, TAlign::alLeft, TAlign::alRight, TAlign::alClient}) {
        for (const TDocked& docked : Items) {
            if (docked.Align != align || docked.Item->isEmpty())
                continue;
            QRect area = free;
            switch (align) {
            case TAlign::alTop:
                area.setHeight(docked.Thickness);
                free.setTop(area.bottom() + 1);
                break;
            case TAlign::alBottom:
                area.setTop(free.bottom() + 1 - docked.Thickness);
                free.setBottom(area.top() - 1);
                break;
            case TAlign::alLeft:
                area.setWidth(docked.Thickness);
                free.setLeft(area.right() + 1);
                break;
            case TAlign::alRight:
                area.setLeft(free.right() + 1 - docked.Thickness);
                free.setRight(area.left() - 1);
                break;
            case TAlign::alClient:
                break;
            }
            docked.Item->setGeometry(area);
        }
    }
}

void Dock(QWidget* parent, QWidget* child, TAlign align, int thickness, int inset) {
    auto* layout = dynamic_cast<TDockLayout*>(parent->layout());
    if (!layout)
        layout = new TDockLayout(parent, inset);
    layout->AddDocked(child, align, thickness);
}
