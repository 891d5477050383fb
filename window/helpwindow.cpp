#include "window/helpwindow.h"

#include "support/messageboard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPointer>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStyle>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr int PathRole = Qt::UserRole;
constexpr QSize DefaultSize(880, 600);
constexpr int ContentsWidth = 260;

QList<QPointer<THelpWindow>> OpenWindows;

// On the board like every other message, so that a help click blocks no remote request.
void WarnInBox(QWidget*, const QString& text) {
    MessageBoard().Raise(TMessageKind::Warning, QStringLiteral("Lagvane Help"), text);
}

THelpMessageFunction HelpMessage = WarnInBox;

QString ReadText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

// Parsed the way the browser shows it, so titles and keyword matches see what the reader sees.
void LoadDocument(QTextDocument& document, const QString& path) {
    document.setHtml(ReadText(path));
}

bool IsTopicLink(const QString& href) {
    const QUrl url(href);
    return !href.isEmpty() && !href.startsWith(QLatin1Char('#')) && url.scheme().isEmpty();
}

THelpWindow* WindowFor(const QString& helpFile, QWidget* owner) {
    const QString absolute = QFileInfo(helpFile).absoluteFilePath();
    for (THelpWindow* window : HelpWindows()) {
        if (window->HelpFile() == absolute)
            return window;
    }
    auto* window = new THelpWindow(absolute);
    if (owner)
        window->move(owner->window()->geometry().center() - window->rect().center());
    OpenWindows.removeIf([](const QPointer<THelpWindow>& open) { return open.isNull(); });
    OpenWindows.append(window);
    return window;
}

QString TextOf(const THelpData& data) {
    const QString* text = std::get_if<QString>(&data);
    return text ? *text : QString();
}

int32_t NumberOf(const THelpData& data) {
    const int32_t* number = std::get_if<int32_t>(&data);
    return number ? *number : 0;
}

} // namespace

THelpWindow::THelpWindow(const QString& helpFile)
    : File(helpFile), Contents(new QListWidget), Browser(new QTextBrowser) {
    setAttribute(Qt::WA_DeleteOnClose);
    // An open help window must not keep the program running once the main window is closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    Contents->setObjectName(QStringLiteral("ContentsList"));
    Browser->setObjectName(QStringLiteral("Browser"));
    Browser->setOpenExternalLinks(true);

    auto* buttons = new QHBoxLayout;
    auto addButton = [&](const char* name, QStyle::StandardPixmap icon) {
        auto* button = new QToolButton;
        button->setObjectName(QLatin1String(name));
        button->setText(QLatin1String(name));
        button->setIcon(style()->standardIcon(icon));
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        buttons->addWidget(button);
        return button;
    };
    QToolButton* back = addButton("Back", QStyle::SP_ArrowBack);
    QToolButton* forward = addButton("Forward", QStyle::SP_ArrowForward);
    QToolButton* home = addButton("Contents", QStyle::SP_DirHomeIcon);
    buttons->addStretch();
    back->setEnabled(false);
    forward->setEnabled(false);
    connect(back, &QToolButton::clicked, Browser, &QTextBrowser::backward);
    connect(forward, &QToolButton::clicked, Browser, &QTextBrowser::forward);
    connect(home, &QToolButton::clicked, this, &THelpWindow::ShowContentsPage);
    connect(Browser, &QTextBrowser::backwardAvailable, back, &QToolButton::setEnabled);
    connect(Browser, &QTextBrowser::forwardAvailable, forward, &QToolButton::setEnabled);

    auto* splitter = new QSplitter;
    splitter->addWidget(Contents);
    splitter->addWidget(Browser);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({ContentsWidth, DefaultSize.width() - ContentsWidth});
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(buttons);
    layout->addWidget(splitter, 1);
    resize(DefaultSize);

    FillContents();
    connect(Contents, &QListWidget::currentRowChanged, this, &THelpWindow::ShowRow);
    // Follow links in the page with the contents list; a page it does not name selects nothing.
    connect(Browser, &QTextBrowser::sourceChanged, this, [this](const QUrl& url) {
        const QSignalBlocker blocker(Contents);
        Contents->setCurrentRow(RowOf(url.toLocalFile()));
    });
}

int THelpWindow::RowOf(const QString& path) const {
    for (int row = 0; row < Contents->count(); ++row) {
        if (Contents->item(row)->data(PathRole).toString() == path)
            return row;
    }
    return -1;
}

void THelpWindow::ShowRow(int row) {
    if (row < 0)
        return;
    Browser->setSource(QUrl::fromLocalFile(Contents->item(row)->data(PathRole).toString()));
    const QSignalBlocker blocker(Contents);
    Contents->setCurrentRow(row);
}

void THelpWindow::FillContents() {
    QTextDocument page;
    LoadDocument(page, File);
    QString title = page.metaInformation(QTextDocument::DocumentTitle);
    setWindowTitle(title.isEmpty() ? QStringLiteral("Lagvane Help") : title);

    auto addEntry = [this](const QString& text, const QString& path) {
        auto* item = new QListWidgetItem(text, Contents);
        item->setData(PathRole, path);
    };
    addEntry(QStringLiteral("Contents"), File);

    const QDir folder = QFileInfo(File).absoluteDir();
    QStringList paths{File};
    for (QTextBlock block = page.begin(); block.isValid(); block = block.next()) {
        for (auto fragment = block.begin(); !fragment.atEnd(); ++fragment) {
            const QTextCharFormat format = fragment.fragment().charFormat();
            const QString href = format.anchorHref();
            if (!format.isAnchor() || !IsTopicLink(href))
                continue;
            const QString path = QDir::cleanPath(folder.filePath(QUrl(href).path()));
            if (paths.contains(path))
                continue;
            paths.append(path);
            addEntry(fragment.fragment().text().trimmed(), path);
        }
    }
}

void THelpWindow::ShowContentsPage() {
    ShowRow(0);
}

bool THelpWindow::ShowTopicPage(const QString& topic) {
    QString relative = topic;
    while (relative.startsWith(QLatin1Char('/')))
        relative.remove(0, 1);
    const QUrl url(relative);
    const QString path = QDir::cleanPath(QFileInfo(File).absoluteDir().filePath(url.path()));
    if (!QFileInfo(path).isFile())
        return false;
    QUrl source = QUrl::fromLocalFile(path);
    source.setFragment(url.fragment());
    Browser->setSource(source);
    return true;
}

void THelpWindow::ShowContextPage(int32_t context) {
    ShowRow(context >= 1 && context < Contents->count() ? context : 0);
}

void THelpWindow::ShowKeywordPage(const QString& keyword) {
    if (!keyword.isEmpty()) {
        // Topics first: the contents page names most of them, so it would always win.
        const int count = Contents->count();
        for (int i = 1; i <= count; ++i) {
            const int row = i % count;
            QTextDocument page;
            LoadDocument(page, Contents->item(row)->data(PathRole).toString());
            if (page.toPlainText().contains(keyword, Qt::CaseInsensitive)) {
                ShowRow(row);
                Browser->moveCursor(QTextCursor::Start);
                Browser->find(keyword);
                return;
            }
        }
    }
    ShowContentsPage();
}

void HtmlHelp(QWidget* owner, const QString& file, THtmlHelpCommand command,
              const THelpData& data) {
    if (command == THtmlHelpCommand::CloseAll) {
        for (THelpWindow* window : HelpWindows())
            window->close();
        return;
    }

    QString helpFile = file;
    QString topic;
    const qsizetype marker = file.indexOf(QLatin1String("::"));
    if (marker >= 0) {
        helpFile = file.left(marker);
        topic = file.mid(marker + 2);
        // "::/" marks a topic inside the help; the slash is not part of the topic's name.
        if (topic.startsWith(QLatin1Char('/')))
            topic.remove(0, 1);
    }
    if (!QFileInfo(helpFile).isFile()) {
        HelpMessage(owner, QStringLiteral("The help file \"%1\" was not found. Reinstall Lagvane "
                                          "or put the help beside the program.")
                               .arg(QDir::toNativeSeparators(helpFile)));
        return;
    }

    THelpWindow* window = WindowFor(helpFile, owner);
    switch (command) {
    case THtmlHelpCommand::DisplayTopic:
        if (topic.isEmpty())
            topic = TextOf(data);
        if (topic.isEmpty()) {
            window->ShowContentsPage();
        } else if (!window->ShowTopicPage(topic)) {
            window->ShowContentsPage();
            HelpMessage(owner, QStringLiteral("The help topic \"%1\" was not found.").arg(topic));
        }
        break;
    case THtmlHelpCommand::DisplayIndex:
    case THtmlHelpCommand::KeywordLookup:
        window->ShowKeywordPage(TextOf(data));
        break;
    case THtmlHelpCommand::HelpContext:
        window->ShowContextPage(NumberOf(data));
        break;
    default:
        window->ShowContentsPage();
        break;
    }
    window->show();
    window->raise();
    window->activateWindow();
}

QList<THelpWindow*> HelpWindows() {
    QList<THelpWindow*> windows;
    for (const QPointer<THelpWindow>& window : std::as_const(OpenWindows)) {
        // A closed window waits for its deferred deletion; it is gone for the reader already.
        if (window && window->isVisible())
            windows.append(window);
    }
    return windows;
}

void SetHelpMessageFunction(THelpMessageFunction function) {
    HelpMessage = function ? std::move(function) : THelpMessageFunction(WarnInBox);
}
