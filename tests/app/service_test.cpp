#include "app/service.h"
#include "support/nestedevents.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <gtest/gtest.h>
#include <vector>

namespace {

// The command line a service unit or an operator writes, read into options or refused.
TEST(ProgramOptionsTest, ReadsTheStationsOptionsAndRefusesMistakes) {
    const std::string longest(48, 'n');
    const std::string tooLong(49, 'n');
    const struct {
        std::vector<const char*> Arguments;
        bool Read;
        bool Headless = false;
        QString ConfigFile = {};
        QString Name = {};
    } rows[] = {
        {{}, true, false, "", "Lagvane"},
        {{"--headless", "--name", "studio2", "--config", "/etc/studio2.ini"},
         true,
         true,
         "/etc/studio2.ini",
         "studio2"},
        {{"--config", "station.ini"},
         true,
         false,
         QDir::current().filePath("station.ini"),
         "Lagvane"},
        {{"--name=_b.2-x"}, true, false, "", "_b.2-x"},
        {{"--name", longest.c_str()}, true, false, "", QString(48, u'n')},
        {{"--name", tooLong.c_str()}, false},
        {{"--name", "a:b"}, false},
        {{"--name", "two words"}, false},
        {{"--name", ".hidden"}, false},
        {{"--name", ""}, false},
        {{"--name"}, false},
        {{"--config"}, false},
        {{"--window"}, false},
        {{"station.ini"}, false},
    };
    for (const auto& row : rows) {
        std::vector<QByteArray> texts{"lagvane"};
        std::string shown = "lagvane";
        for (const char* argument : row.Arguments) {
            texts.emplace_back(argument);
            shown += std::string(" ") + argument;
        }
        std::vector<char*> argv;
        for (QByteArray& text : texts)
            argv.push_back(text.data());
        int argc = int(argv.size());
        const auto read = ReadProgramOptions(argc, argv.data());
        const auto* options = std::get_if<TProgramOptions>(&read);
        ASSERT_EQ(options != nullptr, row.Read) << shown;
        if (!options) {
            EXPECT_EQ(std::get<int>(read), 1);
            continue;
        }
        EXPECT_EQ(options->Headless, row.Headless);
        EXPECT_EQ(options->ConfigFile, row.ConfigFile);
        EXPECT_EQ(options->Name, row.Name);
    }
}

// A SIGHUP while an action waits for its devices (a Stop draining them, handling events
// meanwhile) must not replace the faces under it: the reload comes once the action returned.
TEST(ServiceLinkTest, ReloadsOnlyOnceTheActionUnderWayHasReturned) {
    int reloads = 0;
    TServiceLink link([] {}, [&reloads] { ++reloads; });
    link.Ready();
    int reloadsDuringAction = -1;
    bool actionDone = false;
    QTimer::singleShot(0, [&] {
        std::raise(SIGHUP);
        for (int wait = 0; wait < 25; ++wait) {
            ProcessNestedEvents();
            QThread::msleep(4);
        }
        reloadsDuringAction = reloads;
        actionDone = true;
    });
    const QDeadlineTimer deadline(5000);
    while (!(actionDone && reloads > 0) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    EXPECT_TRUE(actionDone);
    EXPECT_EQ(reloadsDuringAction, 0);
    EXPECT_EQ(reloads, 1);
}

} // namespace
