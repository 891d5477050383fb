#include "window/messageboxes.h"

#include <QCoreApplication>
#include <QLocale>
#include <algorithm>

namespace {

// Different messages waiting behind the box; beyond this the oldest goes, since a box nobody
// closes for weeks must not hold the program's memory.
constexpr size_t MostWaiting = 16;

QMessageBox::Icon IconOf(TMessageKind kind) {
    switch (kind) {
    case TMessageKind::Information:
        return QMessageBox::Information;
    case TMessageKind::Warning:
        return QMessageBox::Warning;
    case TMessageKind::Error:
        break;
    }
    return QMessageBox::Critical;
}

} // namespace

TMessageBoxes::~TMessageBoxes() {
    // A box outliving the application object can no longer be deleted safely.
    if (QCoreApplication::instance())
        Clear();
}

void TMessageBoxes::Show(TMessageKind kind, const QString& title, const QString& text,
                         const QDateTime& time) {
    if (Shown && ShownEntry.Text == text) {
        ++ShownEntry.Count;
        ShownEntry.Last = time;
        ShowCount();
        return;
    }
    const auto waiting = std::find_if(Queue.begin(), Queue.end(),
                                      [&](const TEntry& entry) { return entry.Text == text; });
    if (waiting != Queue.end()) {
        ++waiting->Count;
        waiting->Last = time;
        return;
    }
    TEntry entry{kind, title, text, 1, time};
    if (!Shown) {
        Open(entry);
        return;
    }
    if (Queue.size() >= MostWaiting)
        Queue.pop_front();
    Queue.push_back(std::move(entry));
}

void TMessageBoxes::Open(const TEntry& entry) {
    ShownEntry = entry;
    // No parent: the message must be seen even while the main window is not yet built, and
    // show(), unlike exec(), returns at once.
    auto* box = new QMessageBox(IconOf(entry.Kind), entry.Title, entry.Text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    QObject::connect(box, &QMessageBox::finished, box, [this] { OpenNext(); });
    Shown = box;
    ShowCount();
    box->show();
}

void TMessageBoxes::ShowCount() {
    if (!Shown)
        return;
    Shown->setInformativeText(
        ShownEntry.Count > 1
            ? QStringLiteral("%1 times, the last at %2")
                  .arg(ShownEntry.Count)
                  .arg(QLocale::system().toString(ShownEntry.Last.time(), QLocale::LongFormat))
            : QString());
}

void TMessageBoxes::OpenNext() {
    // The box closing deletes itself once its event is over.
    Shown = nullptr;
    if (Queue.empty())
        return;
    const TEntry next = std::move(Queue.front());
    Queue.pop_front();
    Open(next);
}

void TMessageBoxes::Clear() {
    Queue.clear();
    if (QMessageBox* box = Shown.data()) {
        Shown = nullptr;
        QObject::disconnect(box, &QMessageBox::finished, nullptr, nullptr);
        delete box;
    }
}
