#pragma once

// The HTML Help viewer: a window per help file with the contents list beside the page. A help
// file is an HTML contents page whose links name the topics, with the topic pages beside it.

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <variant>

class QListWidget;
class QTextBrowser;

// The commands of the HTML Help entry point, with the platform's numbers.
enum class THtmlHelpCommand : uint32_t {
    DisplayTopic = 0,
    DisplayToc = 1,
    DisplayIndex = 2,
    KeywordLookup = 0x0D,
    HelpContext = 0x0F,
    CloseAll = 0x12,
};

// The data of a help request: a number (a context, or 0) or a text (a keyword or a topic).
using THelpData = std::variant<int32_t, QString>;

class THelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit THelpWindow(const QString& helpFile);

    const QString& HelpFile() const { return File; }
    void ShowContentsPage();
    // A topic is a page path relative to the help file's folder; false when it does not exist.
    bool ShowTopicPage(const QString& topic);
    // Contexts number the contents entries from 1; any other number shows the contents page.
    void ShowContextPage(int32_t context);
    // The first topic in contents order whose text holds the keyword, marked; else the contents
    // page, marked when it holds the keyword.
    void ShowKeywordPage(const QString& keyword);

private:
    void FillContents();
    int RowOf(const QString& path) const;
    void ShowRow(int row);

    QString File;
    QListWidget* Contents;
    QTextBrowser* Browser;
};

// Performs one HTML Help command. For DisplayTopic, file may be a location "file::/topic", or
// data the topic. The windows it opens are top-level windows placed over owner.
void HtmlHelp(QWidget* owner, const QString& file, THtmlHelpCommand command, const THelpData& data);

// The help windows open now, oldest first.
QList<THelpWindow*> HelpWindows();

// Reports a missing help file or topic. Defaults to a warning on the message board, which never
// blocks; tests inject their own.
using THelpMessageFunction = std::function<void(QWidget* owner, const QString& text)>;
void SetHelpMessageFunction(THelpMessageFunction function);
