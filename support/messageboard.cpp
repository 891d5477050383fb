#include "support/messageboard.h"

#include "support/log.h"

namespace {

TLogLevel LevelOf(TMessageKind kind) {
    switch (kind) {
    case TMessageKind::Information:
        return TLogLevel::Info;
    case TMessageKind::Warning:
        return TLogLevel::Warning;
    case TMessageKind::Error:
        break;
    }
    return TLogLevel::Error;
}

} // namespace

void TMessageBoard::Raise(TMessageKind kind, const QString& title, const QString& text,
                          const TMessagePresenter& presenter) {
    const QDateTime now = QDateTime::currentDateTime();
    LastRaised = {now, text};
    Log(text.toStdString(), LevelOf(kind));
    if (presenter)
        presenter(text);
    else if (Shower)
        Shower->Show(kind, title, text, now);
}

void TMessageBoard::Clear() {
    if (Shower)
        Shower->Clear();
}

TMessageBoard& MessageBoard() {
    static TMessageBoard board;
    return board;
}
