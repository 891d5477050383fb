#include "window/helpbridge.h"
#include "window/helpwindow.h"

#include <QDir>
#include <QFileInfo>
#include <QListWidget>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>
#include <gtest/gtest.h>

// The operator's help as the build puts it beside the program.
namespace {

class HelpContentTest : public testing::Test {
protected:
    void SetUp() override {
        SetHelpMessageFunction([this](QWidget*, const QString& text) { Messages << text; });
        HtmlHelp(nullptr, QStringLiteral(LAGVANE_BUILT_HELP), THtmlHelpCommand::DisplayToc, 0);
        ASSERT_EQ(HelpWindows().size(), 1);
        Window = HelpWindows().front();
        Contents = Window->findChild<QListWidget*>(QStringLiteral("ContentsList"));
        Browser = Window->findChild<QTextBrowser*>(QStringLiteral("Browser"));
    }
    void TearDown() override {
        HtmlHelp(nullptr, QString(), THtmlHelpCommand::CloseAll, 0);
        SetHelpMessageFunction({});
    }

    QStringList Messages;
    THelpWindow* Window = nullptr;
    QListWidget* Contents = nullptr;
    QTextBrowser* Browser = nullptr;
};

TEST_F(HelpContentTest, EveryTopicOfTheContentsHasATitleAndWorkingLinks) {
    EXPECT_EQ(Window->windowTitle(), QStringLiteral("Lagvane Help"));
    EXPECT_EQ(Contents->count(), 13);
    for (int row = 0; row < Contents->count(); ++row) {
        Window->ShowContextPage(row);
        const QString page = Browser->source().toLocalFile();
        SCOPED_TRACE(page.toStdString());
        ASSERT_TRUE(QFileInfo(page).isFile());
        EXPECT_FALSE(Browser->document()->metaInformation(QTextDocument::DocumentTitle).isEmpty());
        for (QTextBlock block = Browser->document()->begin(); block.isValid();
             block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QUrl link(it.fragment().charFormat().anchorHref());
                if (link.scheme().isEmpty() && !link.path().isEmpty()) {
                    const QString target = QFileInfo(page).dir().filePath(link.path());
                    EXPECT_TRUE(QFileInfo(target).isFile()) << link.toString().toStdString();
                }
            }
        }
    }
    EXPECT_TRUE(Messages.isEmpty());
}

TEST_F(HelpContentTest, KeywordsFindTheirTopics) {
    const struct {
        const char* keyword;
        const char* page;
    } cases[] = {
        {"Lagvane:in_0", "devices.html"},
        {"Lagvane.ini", "defaults.html"},
        {"three delays later", "delay-memory.html"},
        {"Can't play format", "playback.html"},
        {"Move Right", "oscilloscope.html"},
        {"half of full scale", "levels.html"},
        {"176,400", "formats.html"},
        {"LAGVANE_LOG", "troubleshooting.html"},
        {"BuildUpPercent", "dump-remote.html"},
        {"Authorization: Bearer", "dump-remote.html"},
        {"The Host rule", "dump-remote.html"},
        {"KeepOnAir", "defaults.html"},
        {"Waiting for the sound server (0:12)", "playback.html"},
        {"offAirSeconds", "dump-remote.html"},
        {"EvidenceFolder", "dump-remote.html"},
        {"http://127.0.0.1:7470/", "dump-remote.html"},
        {"Lagvane:control", "dump-remote.html"},
        {"/lagvane/cough i", "dump-remote.html"},
    };
    for (const auto& c : cases) {
        HtmlHelp(nullptr, QStringLiteral(LAGVANE_BUILT_HELP), THtmlHelpCommand::KeywordLookup,
                 QString::fromUtf8(c.keyword));
        EXPECT_EQ(Browser->source().fileName(), QString::fromLatin1(c.page)) << c.keyword;
    }
}

} // namespace
