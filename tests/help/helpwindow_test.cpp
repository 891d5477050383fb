#include "support/conversions.h"
#include "window/helpbridge.h"
#include "window/helpwindow.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

const char* const ContentsPage = R"(<html><head><title>Test Help</title></head><body>
<h1>Test Help</h1>
<ul>
<li><a href="pages/start.html">Quick start</a></li>
<li><a href="pages/formats.html#rates">Formats</a></li>
<li><a href="pages/start.html">Quick start again</a></li>
<li><a href="https://example.org/">Elsewhere</a></li>
<li><a href="#top">Top</a></li>
</ul></body></html>)";

QString PagePath(const QTemporaryDir& folder, const char* relative) {
    return QDir::cleanPath(folder.filePath(QString::fromLatin1(relative)));
}

// A help file in a folder of its own, and the windows and messages HtmlHelp makes of it.
class HelpWindowTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Folder.isValid());
        Write("Help.html", ContentsPage);
        Write("pages/start.html", "<html><body><p>Press Play to start.</p></body></html>");
        Write("pages/formats.html",
              "<html><body><p id=\"rates\">Twelve formats from 11025 Hz mono.</p></body></html>");
        HelpFile = PagePath(Folder, "Help.html");
        SetHelpMessageFunction([this](QWidget*, const QString& text) { Messages << text; });
    }
    void TearDown() override {
        HtmlHelp(nullptr, QString(), THtmlHelpCommand::CloseAll, 0);
        SetHelpMessageFunction({});
    }

    void Write(const char* relative, const char* text) {
        const QString path = PagePath(Folder, relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }

    THelpWindow* OnlyWindow() {
        const QList<THelpWindow*> windows = HelpWindows();
        EXPECT_EQ(windows.size(), 1);
        return windows.isEmpty() ? nullptr : windows.front();
    }
    static QString ShownPage(THelpWindow* window) {
        return window->findChild<QTextBrowser*>(QStringLiteral("Browser"))->source().toLocalFile();
    }
    static QStringList ContentsTitles(THelpWindow* window) {
        QStringList titles;
        auto* list = window->findChild<QListWidget*>(QStringLiteral("ContentsList"));
        for (int row = 0; row < list->count(); ++row)
            titles << list->item(row)->text();
        return titles;
    }

    QTemporaryDir Folder;
    QString HelpFile;
    QStringList Messages;
};

TEST_F(HelpWindowTest, TheContentsCommandShowsTheContentsPageAndItsTopics) {
    HtmlHelp(nullptr, HelpFile, THtmlHelpCommand::DisplayToc, 0);
    THelpWindow* window = OnlyWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Test Help"));
    EXPECT_EQ(ShownPage(window), HelpFile);
    EXPECT_EQ(ContentsTitles(window),
              (QStringList{QStringLiteral("Contents"), QStringLiteral("Quick start"),
                           QStringLiteral("Formats")}));
    EXPECT_TRUE(Messages.isEmpty());

    HtmlHelp(nullptr, HelpFile, THtmlHelpCommand::DisplayToc, 0);
    EXPECT_EQ(OnlyWindow(), window);
}

TEST_F(HelpWindowTest, TopicsContextsAndKeywordsChooseThePage) {
    const QString start = PagePath(Folder, "pages/start.html");
    const QString formats = PagePath(Folder, "pages/formats.html");
    const struct {
        QString file;
        THtmlHelpCommand command;
        THelpData data;
        QString page;
    } cases[] = {
        {TopicLocation(HelpFile, "pages/formats.html"), THtmlHelpCommand::DisplayTopic, 0, formats},
        {TopicLocation(HelpFile, "/pages/start.html"), THtmlHelpCommand::DisplayTopic, 0, start},
        {HelpFile, THtmlHelpCommand::DisplayTopic, QStringLiteral("pages/formats.html"), formats},
        {HelpFile, THtmlHelpCommand::DisplayTopic, 0, HelpFile},
        {HelpFile, THtmlHelpCommand::HelpContext, 1, start},
        {HelpFile, THtmlHelpCommand::HelpContext, 2, formats},
        {HelpFile, THtmlHelpCommand::HelpContext, 0, HelpFile},
        {HelpFile, THtmlHelpCommand::HelpContext, 3, HelpFile},
        {HelpFile, THtmlHelpCommand::DisplayIndex, QStringLiteral("PLAY"), start},
        {HelpFile, THtmlHelpCommand::KeywordLookup, QStringLiteral("11025 hz"), formats},
        {HelpFile, THtmlHelpCommand::KeywordLookup, QStringLiteral("formats"), formats},
        {HelpFile, THtmlHelpCommand::KeywordLookup, QStringLiteral("again"), HelpFile},
        {HelpFile, THtmlHelpCommand::KeywordLookup, QStringLiteral("nowhere"), HelpFile},
        {HelpFile, THtmlHelpCommand::DisplayIndex, 0, HelpFile},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.toStdString() + " " + std::to_string(uint32_t(c.command)));
        HtmlHelp(nullptr, c.file, c.command, c.data);
        THelpWindow* window = OnlyWindow();
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(ShownPage(window), c.page);
    }
    EXPECT_TRUE(Messages.isEmpty());
}

TEST_F(HelpWindowTest, BackForwardAndContentsRetraceThePagesShown) {
    const QString start = PagePath(Folder, "pages/start.html");
    const QString formats = PagePath(Folder, "pages/formats.html");
    HtmlHelp(nullptr, HelpFile, THtmlHelpCommand::DisplayToc, 0);
    THelpWindow* window = OnlyWindow();
    ASSERT_NE(window, nullptr);
    auto button = [&](const char* name) {
        return window->findChild<QToolButton*>(QString::fromLatin1(name));
    };
    EXPECT_FALSE(button("Back")->isEnabled());
    EXPECT_FALSE(button("Forward")->isEnabled());
    window->ShowTopicPage(QStringLiteral("pages/start.html"));
    window->ShowTopicPage(QStringLiteral("pages/formats.html"));

    const struct {
        const char* button;
        QString page;
        bool backEnabled, forwardEnabled;
    } steps[] = {
        {"Back", start, true, true},         {"Back", HelpFile, false, true},
        {"Forward", start, true, true},      {"Forward", formats, true, false},
        {"Contents", HelpFile, true, false},
    };
    for (const auto& step : steps) {
        button(step.button)->click();
        EXPECT_EQ(ShownPage(window), step.page) << step.button;
        EXPECT_EQ(button("Back")->isEnabled(), step.backEnabled) << step.button;
        EXPECT_EQ(button("Forward")->isEnabled(), step.forwardEnabled) << step.button;
    }
}

TEST_F(HelpWindowTest, AKeywordIsMarkedInItsPage) {
    HtmlHelp(nullptr, HelpFile, THtmlHelpCommand::KeywordLookup, QStringLiteral("twelve"));
    THelpWindow* window = OnlyWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->findChild<QTextBrowser*>()->textCursor().selectedText(),
              QStringLiteral("Twelve"));
}

TEST_F(HelpWindowTest, CloseAllClosesEveryHelpWindow) {
    QTemporaryDir other;
    ASSERT_TRUE(other.isValid());
    const QString otherFile = other.filePath(QStringLiteral("Other.html"));
    QFile::copy(HelpFile, otherFile);
    HtmlHelp(nullptr, HelpFile, THtmlHelpCommand::DisplayToc, 0);
    HtmlHelp(nullptr, otherFile, THtmlHelpCommand::DisplayToc, 0);
    ASSERT_EQ(HelpWindows().size(), 2);

    HtmlHelp(nullptr, QString(), THtmlHelpCommand::CloseAll, 0);
    EXPECT_TRUE(HelpWindows().isEmpty());
}

TEST_F(HelpWindowTest, AnOpenHelpWindowDoesNotKeepTheProgramRunning) {
    QWidget mainWindow;
    mainWindow.show();
    HtmlHelp(&mainWindow, HelpFile, THtmlHelpCommand::DisplayToc, 0);
    ASSERT_EQ(HelpWindows().size(), 1);
    // The application tells of its last window only inside its event loop.
    int lastWindowClosed = 0;
    QObject::connect(qApp, &QGuiApplication::lastWindowClosed, &mainWindow,
                     [&] { ++lastWindowClosed; });
    QTimer::singleShot(0, &mainWindow, [&] {
        mainWindow.close();
        qApp->exit();
    });
    qApp->exec();
    EXPECT_EQ(lastWindowClosed, 1);
}

TEST_F(HelpWindowTest, AMissingHelpFileIsReportedInsteadOfAnEmptyWindow) {
    for (const QString& file : {Folder.filePath(QStringLiteral("Gone.html")), QString(),
                                TopicLocation(Folder.filePath("Gone.html"), "x.html")}) {
        Messages.clear();
        HtmlHelp(nullptr, file, THtmlHelpCommand::DisplayToc, 0);
        EXPECT_TRUE(HelpWindows().isEmpty()) << file.toStdString();
        ASSERT_EQ(Messages.size(), 1) << file.toStdString();
        EXPECT_TRUE(Messages[0].startsWith(QStringLiteral("The help file")));
        EXPECT_TRUE(Messages[0].contains(QStringLiteral("was not found")));
        EXPECT_TRUE(Messages[0].contains(QDir::toNativeSeparators(file.section("::", 0, 0))));
    }
}

TEST_F(HelpWindowTest, AMissingTopicIsReportedOverTheContentsPage) {
    HtmlHelp(nullptr, TopicLocation(HelpFile, "pages/gone.html"), THtmlHelpCommand::DisplayTopic,
             0);
    THelpWindow* window = OnlyWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(ShownPage(window), HelpFile);
    EXPECT_EQ(Messages,
              QStringList{QStringLiteral("The help topic \"pages/gone.html\" was not found.")});
}

TEST_F(HelpWindowTest, TheHelpMenuOpensTheHelpFileThroughTheBridge) {
    SetApplicationHelpFile(HelpFile);
    THelpBridge bridge;
    EXPECT_TRUE(ApplicationHelpCommand(HelpContents, 0));
    THelpWindow* window = OnlyWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(ShownPage(window), HelpFile);
}

} // namespace
