#include "station/inifile.h"

#include "support/errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

QString ReadAll(const QString& fileName) {
    QFile file(fileName);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return QString::fromUtf8(file.readAll());
}

void WriteAll(const QString& fileName, const QByteArray& text) {
    QFile file(fileName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

TEST(IniTextToIntTest, ReadsDecimalAndHexadecimalTexts) {
    struct Case {
        const char* text;
        bool converts;
        int32_t value;
    };
    const Case cases[] = {
        {"0", true, 0},
        {"17", true, 17},
        {" -3 ", true, -3},
        {"+8", true, 8},
        {"0x1F", true, 31},
        {"0X10", true, 16},
        {"-0x10", true, -16},
        {"0xFFFFFFFF", true, -1},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, INT32_MIN},
        {"2147483648", false, 0},
        {"0x100000000", false, 0},
        {"", false, 0},
        {"0x", false, 0},
        {"1.5", false, 0},
        {"12abc", false, 0},
        {"abc", false, 0},
        {"--1", false, 0},
        {"0x+1", false, 0},
    };
    for (const Case& c : cases) {
        int32_t value = 12345;
        EXPECT_EQ(IniTextToInt(QString::fromUtf8(c.text), value), c.converts) << c.text;
        EXPECT_EQ(value, c.converts ? c.value : 12345) << c.text;
    }
}

TEST(IniTextToFloatTest, WritesShortestTextAndReadsItBack) {
    const double values[] = {90, 0.025, 0.1, 1.5, 194400, 0.5};
    for (double v : values) {
        double back = 0;
        ASSERT_TRUE(IniTextToFloat(IniFloatToText(v), back)) << v;
        EXPECT_EQ(back, v);
        EXPECT_FALSE(IniFloatToText(v).contains(u'e')) << v;
    }
    EXPECT_EQ(IniFloatToText(90), QStringLiteral("90"));
    EXPECT_EQ(IniFloatToText(90.00000000000001), QStringLiteral("90"));

    double untouched = 4;
    for (const char* garbage : {"", "abc", "nan", "inf", "1e999", "1,2,3"}) {
        EXPECT_FALSE(IniTextToFloat(QString::fromUtf8(garbage), untouched)) << garbage;
        EXPECT_EQ(untouched, 4);
    }
}

class IniFileTest : public testing::Test {
protected:
    QTemporaryDir Dir;
    QString FileName() const { return Dir.filePath(QStringLiteral("Lagvane.ini")); }
};

TEST_F(IniFileTest, WritesSectionsAndValueTextsVerbatim) {
    {
        TIniFile ini(FileName());
        ini.WriteBool(QStringLiteral("Actions"), QStringLiteral("PlayOnStart"), true);
        ini.WriteFloat(QStringLiteral("Settings"), QStringLiteral("DelayTime"), 90);
        ini.WriteInteger(QStringLiteral("Settings"), QStringLiteral("AudioFormat"), 3);
        // A decimal comma must stay one plain value, not a quoted text or a list.
        ini.WriteString(QStringLiteral("Settings"), QStringLiteral("Comma"), QStringLiteral("1,5"));
    }
    const QString text = ReadAll(FileName());
    EXPECT_TRUE(text.contains(QStringLiteral("[Actions]\nPlayOnStart=1\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("[Settings]\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("\nDelayTime=90\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("\nAudioFormat=3\n"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("\nComma=1,5\n"))) << text.toStdString();

    TIniFile again(FileName());
    EXPECT_EQ(again.ReadString(QStringLiteral("Settings"), QStringLiteral("Comma"), QString()),
              QStringLiteral("1,5"));
    EXPECT_TRUE(again.ReadBool(QStringLiteral("Actions"), QStringLiteral("PlayOnStart"), false));
    EXPECT_EQ(again.ReadInteger(QStringLiteral("Settings"), QStringLiteral("AudioFormat"), -7), 3);
    EXPECT_EQ(again.ReadFloat(QStringLiteral("Settings"), QStringLiteral("DelayTime"), 0), 90);
}

TEST_F(IniFileTest, HandEditedFileReadsWithDefaultsForWhatIsMissingOrGarbage) {
    WriteAll(FileName(), "; comment\r\n[Actions]\r\nPlayOnStart = 0x2\r\n"
                         "[Settings]\r\nDelayTime=soon\r\nAudioFormat=\r\n");
    TIniFile ini(FileName());
    EXPECT_TRUE(ini.ReadBool(QStringLiteral("Actions"), QStringLiteral("PlayOnStart"), false));
    EXPECT_EQ(ini.ReadFloat(QStringLiteral("Settings"), QStringLiteral("DelayTime"), 2.5), 2.5);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("Settings"), QStringLiteral("AudioFormat"), 4), 4);
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("Settings"), QStringLiteral("Missing"), -1), -1);
    EXPECT_FALSE(ini.ReadBool(QStringLiteral("Nowhere"), QStringLiteral("PlayOnStart"), false));
}

TEST_F(IniFileTest, KeepsOtherKeysWhenWriting) {
    WriteAll(FileName(), "[Other]\nKeep=yes\n");
    TIniFile(FileName()).WriteInteger(QStringLiteral("Settings"), QStringLiteral("AudioFormat"), 0);
    TIniFile ini(FileName());
    EXPECT_EQ(ini.ReadString(QStringLiteral("Other"), QStringLiteral("Keep"), QString()),
              QStringLiteral("yes"));
}

// Writes change their own line, in the file's own spelling of the key, or add one after the
// section's last key; everything else stays as it stands, line ends included.
TEST_F(IniFileTest, WritesKeepEveryLineTheyDoNotOwn) {
    const auto lines = [](std::initializer_list<const char*> texts) {
        QByteArray text;
        for (const char* line : texts)
            text += QByteArray(line) + "\r\n";
        return text;
    };
    WriteAll(FileName(),
             lines({"; kept as it stands", "[Other]", "Zeta=1", "Alpha=2", "", "[settings]",
                    " delaytime = 5", "; a comment", "DelayTime=7", "[Actions]"}));
    TIniFile ini(FileName());
    EXPECT_EQ(ini.ReadFloat(QStringLiteral("SETTINGS"), QStringLiteral("DelayTime"), 0), 5);
    ini.WriteFloat(QStringLiteral("Settings"), QStringLiteral("DelayTime"), 90);
    ini.WriteInteger(QStringLiteral("Settings"), QStringLiteral("AudioFormat"), 3);
    ini.WriteBool(QStringLiteral("Actions"), QStringLiteral("PlayOnStart"), true);
    ini.WriteString(QStringLiteral("New"), QStringLiteral("Key"), QStringLiteral("v"));
    EXPECT_EQ(ReadAll(FileName()).toUtf8(),
              lines({"; kept as it stands", "[Other]", "Zeta=1", "Alpha=2", "", "[settings]",
                     "delaytime=90", "; a comment", "DelayTime=7", "AudioFormat=3", "[Actions]",
                     "PlayOnStart=1", "", "[New]", "Key=v"}));
    EXPECT_EQ(ini.ReadFloat(QStringLiteral("settings"), QStringLiteral("DELAYTIME"), 0), 90);
}

TEST_F(IniFileTest, RefusedWriteRaisesWithTheFileName) {
    const QString blocked = Dir.filePath(QStringLiteral("file/Lagvane.ini"));
    WriteAll(Dir.filePath(QStringLiteral("file")), "not a folder");
    TIniFile ini(blocked);
    try {
        ini.WriteInteger(QStringLiteral("Settings"), QStringLiteral("AudioFormat"), 1);
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to write to ") + blocked);
    }
}

// Places where no settings file can be read or written, even by root (the tests run as root,
// so permission bits would not stop them): each makes the place below dir and returns its path.
struct TBlockedPlace {
    const char* Name;
    std::function<QString(const QDir& dir)> Make;
};

const TBlockedPlace BlockedPlaces[] = {
    {"folder at the path",
     [](const QDir& dir) {
         dir.mkdir(QStringLiteral("Lagvane.ini"));
         return dir.filePath(QStringLiteral("Lagvane.ini"));
     }},
    // Opening a pipe for reading waits for a writer that never comes.
    {"pipe at the path",
     [](const QDir& dir) {
         const QString path = dir.filePath(QStringLiteral("Lagvane.ini"));
         mkfifo(QFile::encodeName(path).constData(), 0600);
         return path;
     }},
    {"parent is a file",
     [](const QDir& dir) {
         WriteAll(dir.filePath(QStringLiteral("file")), "not a folder");
         return dir.filePath(QStringLiteral("file/Lagvane.ini"));
     }},
    // The kernel lets no one create files there, nor write to its files.
    {"folder of the kernel", [](const QDir&) { return QStringLiteral("/proc/self/Lagvane.ini"); }},
    {"file of the kernel", [](const QDir&) { return QStringLiteral("/proc/version"); }},
};

TEST_F(IniFileTest, BlockedPlaceReadsAsEmptyAndRefusesWrites) {
    for (const TBlockedPlace& place : BlockedPlaces) {
        SCOPED_TRACE(place.Name);
        const QString fileName = place.Make(QDir(Dir.path()));
        const QFileInfo before(fileName);
        TIniFile ini(fileName);
        EXPECT_EQ(ini.ReadInteger(QStringLiteral("Settings"), QStringLiteral("AudioFormat"), 5), 5);
        EXPECT_EQ(ini.ReadFloat(QStringLiteral("Settings"), QStringLiteral("DelayTime"), 0.5), 0.5);
        EXPECT_TRUE(ini.ReadBool(QStringLiteral("Actions"), QStringLiteral("PlayOnStart"), true));
        try {
            ini.WriteBool(QStringLiteral("Actions"), QStringLiteral("PlayOnStart"), false);
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), QStringLiteral("Unable to write to ") + fileName);
        }
        // Whatever was there is left as it was.
        const QFileInfo after(fileName);
        EXPECT_EQ(after.exists(), before.exists());
        EXPECT_EQ(after.isDir(), before.isDir());
        EXPECT_EQ(after.isFile(), before.isFile());
    }
}

} // namespace
