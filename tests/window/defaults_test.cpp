#include "appfixture.h"

#include "controls/degspin.h"
#include "station/defaults.h"
#include "window/oscopepanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QTimer>
#include <QToolButton>
#include <sys/stat.h>

namespace {

using DefaultsTest = AppTest;

constexpr double TenthSecond = 0.1 / 3600;

TEST_F(DefaultsTest, FileLivesInTheConfigurationFolder) {
    EXPECT_EQ(DefaultsFileName(), IniFileName());
}

TEST_F(DefaultsTest, SavesOnlyOnCommandWithTheValueTextsOnScreen) {
    TMainWindow& window = MakeWindow();
    EXPECT_FALSE(QFile::exists(IniFileName()));
    window.View().PlayOnStartChk->setChecked(true);
    window.View().DelayTimeSpin->SetDegrees(90.0 / 3600);
    window.View().FormatCombo->setCurrentIndex(2);
    window.View().SaveDefaultsAction->trigger();
    EXPECT_EQ(ReadIni(), QStringLiteral("[Actions]\nPlayOnStart=1\nKeepOnAir=0\n\n"
                                        "[Settings]\nDelayTime=90\nAudioFormat=2\n\n"
                                        "[Dump]\nBuildUpAtStart=0\n"));
    EXPECT_TRUE(Errors.isEmpty());
}

TEST_F(DefaultsTest, SavedDefaultsComeBackAndStartARun) {
    {
        TMainWindow& window = MakeWindow();
        window.View().PlayOnStartChk->setChecked(true);
        window.View().DelayTimeSpin->SetDegrees(90.0 / 3600);
        window.View().FormatCombo->setCurrentIndex(2);
        SaveDefaults(window.Station());
    }
    TMainWindow& window = MakeWindow();
    EXPECT_DOUBLE_EQ(window.View().DelayTimeSpin->Degrees(), 0.025);
    EXPECT_EQ(window.View().FormatCombo->currentIndex(), 2);
    EXPECT_TRUE(window.View().PlayOnStartChk->isChecked());
    // Started while the window was built, before it is ever shown.
    EXPECT_FALSE(window.isVisible());
    EXPECT_TRUE(window.View().PlayBtn->isChecked());
    EXPECT_EQ(window.View().PlayBtn->text(), QStringLiteral("Stop"));
    EXPECT_TRUE(window.View().CountDownTimer->isActive());
    EXPECT_TRUE(Device.InputStarted());
    EXPECT_EQ(window.Station().BufferFrames(), 90 * 11025);
}

TEST_F(DefaultsTest, SavedDelayTooLongForTheSavedFormatIsLoweredBeforeTheRun) {
    // 10000 s fits 11.025 kHz mono 8-bit (3.38 h) but not 44.1 kHz stereo 16-bit (0.21 h).
    WriteIni("[Actions]\nPlayOnStart=1\n[Settings]\nDelayTime=10000\nAudioFormat=11\n");
    TMainWindow& window = MakeWindow();
    EXPECT_EQ(window.View().FormatCombo->currentIndex(), 11);
    EXPECT_LT(window.View().DelayTimeSpin->Degrees(), 0.22);
    // What runs is what the entry shows, to the tenth the limit was cut to.
    EXPECT_EQ(window.Station().DelayHours(), window.View().DelayTimeSpin->Degrees());
    EXPECT_LE(4 * int64_t(window.Station().BufferBytes()), int64_t(window.Station().MemoryBudget));
    EXPECT_TRUE(Device.InputStarted());
    EXPECT_TRUE(Errors.isEmpty());
}

TEST_F(DefaultsTest, PlayOnStartWhoseOutputFailsComesUpIdle) {
    WriteIni("[Actions]\nPlayOnStart=1\n");
    Device.FailOutputOpen(true);
    TMainWindow& window = MakeWindow();
    EXPECT_EQ(Errors, QStringList{QStringLiteral("Failed to open output device")});
    EXPECT_FALSE(window.View().PlayBtn->isChecked());
    EXPECT_FALSE(window.View().CountDownTimer->isActive());
    EXPECT_TRUE(window.View().FormatCombo->isEnabled());
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());
    // The rest of the window's creation still ran.
    EXPECT_TRUE(window.View().OscopePanel->isHidden());
}

// A folder or a pipe where the settings file should be: the window comes up with its own
// values and starts nothing (a pipe would hang a reader), and a save says where it failed.
TEST_F(DefaultsTest, SomethingOtherThanAFileAtTheSettingsPathKeepsTheDefaults) {
    struct Case {
        const char* name;
        bool (*make)(const QString& path);
    };
    const Case cases[] = {
        {"folder", [](const QString& path) { return QDir().mkdir(path); }},
        {"pipe",
         [](const QString& path) {
             return mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(IniFileName());
        QDir().rmdir(IniFileName());
        ASSERT_TRUE(c.make(IniFileName()));
        Errors.clear();
        TMainWindow& window = MakeWindow();
        EXPECT_NEAR(window.View().DelayTimeSpin->Degrees(), TenthSecond, 1e-12);
        EXPECT_EQ(window.View().FormatCombo->currentIndex(), 0);
        EXPECT_FALSE(window.View().PlayOnStartChk->isChecked());
        EXPECT_FALSE(window.View().PlayBtn->isChecked());
        EXPECT_TRUE(Errors.isEmpty());
        window.View().PlayOnStartChk->setChecked(true);
        window.View().SaveDefaultsAction->trigger();
        EXPECT_EQ(Errors, QStringList{QStringLiteral("Unable to write to ") + IniFileName()});
    }
}

TEST_F(DefaultsTest, RefusedSaveIsShown) {
    TMainWindow& window = MakeWindow();
    // A file where the folder should be: nothing can be written below it.
    const QString blocked = Config.filePath(QStringLiteral("blocked"));
    QFile file(blocked);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    qputenv("XDG_CONFIG_HOME", blocked.toUtf8());
    window.View().SaveDefaultsAction->trigger();
    EXPECT_EQ(Errors, QStringList{QStringLiteral("Unable to write to ") + blocked +
                                  QStringLiteral("/Lagvane.ini")});
}

} // namespace
