#include "support/conversions.h"
#include "window/helpbridge.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <vector>

namespace {

struct HtmlHelpCall {
    QWidget* Owner;
    QString File;
    uint32_t Command;
    THelpData Data;
};

// Records the bridge's HTML Help calls instead of opening windows.
class HelpBridgeTest : public testing::Test {
protected:
    void SetUp() override {
        SetHtmlHelpFunction([this](QWidget* owner, const QString& file, THtmlHelpCommand command,
                                   const THelpData& data) {
            Calls.push_back({owner, file, uint32_t(command), data});
        });
        SetApplicationHelpFile(QStringLiteral("Lagvane.html"));
        MakeHelpFileAbsolute();
    }
    void TearDown() override { SetHtmlHelpFunction({}); }

    std::vector<HtmlHelpCall> Calls;
};

struct MappingCase {
    uint16_t command;
    THelpData data;
    uint32_t htmlCommand;
    THelpData htmlData;
};

TEST_F(HelpBridgeTest, EachHelpCommandBecomesOneHtmlHelpCallOnTheApplicationsHelpFile) {
    const QString keyword = QStringLiteral("delay");
    const MappingCase cases[] = {
        {1, 42, 0x0F, 42},
        {2, 5, 0x12, 0},
        {3, 0, 1, 0},
        {3, 7, 1, 0},
        {8, 9, 0x0F, 9},
        {11, 3, 0, 3},
        {11, QStringLiteral("lagvane-help/formats.html"), 0,
         QStringLiteral("lagvane-help/formats.html")},
        {257, keyword, 2, keyword},
        {4, 5, 0, 0},
        {0, 1, 0, 0},
        {258, keyword, 0, 0},
        {65535, 1, 0, 0},
    };
    THelpBridge bridge;
    for (const MappingCase& c : cases) {
        SCOPED_TRACE(c.command);
        Calls.clear();
        bool callHelp = true;
        EXPECT_TRUE(bridge.HandleHelpCommand(c.command, c.data, callHelp));
        EXPECT_FALSE(callHelp);
        ASSERT_EQ(Calls.size(), 1u);
        EXPECT_EQ(Calls[0].File, ApplicationHelpFile());
        EXPECT_EQ(Calls[0].Command, c.htmlCommand);
        EXPECT_EQ(Calls[0].Data, c.htmlData);
    }
}

TEST_F(HelpBridgeTest, TheHelpMenuOpensTheContentsOfTheHelpFileBesideTheProgram) {
    THelpBridge bridge;
    EXPECT_TRUE(ApplicationHelpCommand(HelpContents, 0));
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].File, QCoreApplication::applicationDirPath() + "/Lagvane.html");
    EXPECT_EQ(Calls[0].Command, 1u);
    EXPECT_EQ(Calls[0].Data, THelpData(0));
}

TEST_F(HelpBridgeTest, HelpCommandsReachOnlyALiveBridge) {
    EXPECT_FALSE(ApplicationHelpCommand(HelpContents, 0));
    {
        THelpBridge bridge;
        EXPECT_TRUE(ApplicationHelpCommand(HelpContents, 0));
    }
    Calls.clear();
    EXPECT_FALSE(ApplicationHelpCommand(HelpContents, 0));
    EXPECT_TRUE(Calls.empty());
}

TEST_F(HelpBridgeTest, DestroyingTheBridgeClosesEveryHelpWindow) {
    auto* bridge = new THelpBridge;
    Calls.clear();
    delete bridge;
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Command, 0x12u);
    EXPECT_EQ(Calls[0].Owner, nullptr);
}

TEST_F(HelpBridgeTest, AnOlderBridgeLeavesTheNewerOnesHold) {
    auto* older = new THelpBridge;
    THelpBridge newer;
    delete older;
    EXPECT_TRUE(ApplicationHelpCommand(HelpContents, 0));
}

TEST(TopicLocation, ATopicGoesAfterDoubleColonSlashOnce) {
    const struct {
        const char* topic;
        const char* location;
    } cases[] = {
        {"intro.htm", "F::/intro.htm"},
        {"/intro.htm", "F::/intro.htm"},
        {"/a/b.htm", "F::/a/b.htm"},
        {"a/b.htm", "F::/a/b.htm"},
        {"", "F"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TopicLocation("F", c.topic), QString::fromLatin1(c.location)) << c.topic;
}

class FakeManager : public IHelpManager {
public:
    QWidget* GetHandle() const override { return Owner; }
    QString GetHelpFile() const override { return File; }

    QWidget* Owner = reinterpret_cast<QWidget*>(0x1234);
    QString File;
};

class ViewerTest : public HelpBridgeTest {
protected:
    void SetUp() override {
        HelpBridgeTest::SetUp();
        Manager.File = QStringLiteral("/opt/lagvane/Lagvane.html");
        Viewer.Register(&Manager, 7);
    }

    FakeManager Manager;
    THelpFileViewer Viewer;
};

TEST_F(ViewerTest, OnlyOurHelpFilesAreClaimedWhateverTheCase) {
    const struct {
        const char* file;
        bool ours;
    } cases[] = {
        {"/opt/lagvane/Lagvane.html", true},
        {"Lagvane.HTML", true},
        {"x.HtMl", true},
        {"Lagvane.txt", false},
        {"Lagvane.hlp", false},
        {"Lagvane.htm", false},
        {"Lagvane.html.bak", false},
        {"Lagvane", false},
        {"html", false},
        {"/opt/help.html/Lagvane", false},
        {"", false},
    };
    EXPECT_EQ(Viewer.ViewerName(), QStringLiteral("HTMLHelp Viewer"));
    EXPECT_EQ(Viewer.ViewerId(), 7);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Manager.File = QString::fromLatin1(c.file);
        EXPECT_EQ(Viewer.IsHtmlHelpFile(), c.ours);
        EXPECT_EQ(Viewer.KeywordMatchCount(QStringLiteral("delay")), c.ours ? 1 : 0);
        EXPECT_EQ(Viewer.GetHelpStrings(QStringLiteral("delay")),
                  c.ours ? QStringList{QStringLiteral("delay")} : QStringList{});
        EXPECT_EQ(Viewer.HasContents(), c.ours);
        EXPECT_EQ(Viewer.HasTopic(QStringLiteral("x.html")), c.ours);
        EXPECT_EQ(Viewer.HasContext(3, QStringLiteral("other.hlp")), c.ours);
    }
}

TEST_F(ViewerTest, RequestsGoToTheManagersFileAndOwner) {
    Viewer.ShowContents();
    Viewer.ShowKeyword(QStringLiteral("memory"));
    Viewer.ShowTopic(QStringLiteral("x.html"));
    Viewer.ShowTopic(QStringLiteral("/x.html"));
    Viewer.ShowTopic(QString());
    Viewer.ShowContext(5, QStringLiteral("/other/Other.html"));
    const HtmlHelpCall expected[] = {
        {Manager.Owner, Manager.File, 1, 0},
        {Manager.Owner, Manager.File, 0x0D, QStringLiteral("memory")},
        {Manager.Owner, Manager.File + "::/x.html", 0, 0},
        {Manager.Owner, Manager.File + "::/x.html", 0, 0},
        {Manager.Owner, Manager.File, 0, 0},
        {Manager.Owner, QStringLiteral("/other/Other.html"), 0x0F, 5},
    };
    ASSERT_EQ(Calls.size(), std::size(expected));
    for (size_t i = 0; i < Calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Calls[i].Owner, expected[i].Owner);
        EXPECT_EQ(Calls[i].File, expected[i].File);
        EXPECT_EQ(Calls[i].Command, expected[i].Command);
        EXPECT_EQ(Calls[i].Data, expected[i].Data);
    }
}

TEST_F(ViewerTest, ShutdownClosesEveryWindowAndLetsGoOfTheManager) {
    Viewer.SoftShutdown();
    EXPECT_EQ(Viewer.HelpManager(), &Manager);
    Viewer.Unregister();
    EXPECT_EQ(Viewer.HelpManager(), nullptr);
    EXPECT_FALSE(Viewer.HasContents());
    ASSERT_EQ(Calls.size(), 2u);
    for (const HtmlHelpCall& call : Calls) {
        EXPECT_EQ(call.Owner, nullptr);
        EXPECT_TRUE(call.File.isEmpty());
        EXPECT_EQ(call.Command, 0x12u);
        EXPECT_EQ(call.Data, THelpData(0));
    }
}

} // namespace
