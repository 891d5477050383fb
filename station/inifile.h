#pragma once

// The settings file class: sections of "Key=Value" lines whose value texts are written and read
// exactly as given. Section and key names match without regard to case, and of two equal keys
// the first wins. A write changes its own line, or adds one, and leaves every other line as it
// stands: comments, blank lines, other sections and keys, their order. QSettings can do none
// of that (it hands its writer a sorted map, and its INI format turns "1,5" into a list), so
// the file is read and written here.

#include <QString>
#include <cstdint>

class TIniFile {
public:
    // Something other than a file at FileName (a folder, a pipe, a device) reads as an empty
    // file and refuses every write: a pipe would block the reader for good.
    explicit TIniFile(const QString& FileName);

    const QString& FileName() const { return FileName_; }

    // A missing key, or a text that does not convert, gives Default. Integers may be written
    // in hexadecimal with a "0x" or "0X" prefix; a boolean is an integer, true when not 0;
    // reals use the system locale's decimal separator.
    QString ReadString(const QString& Section, const QString& Ident, const QString& Default);
    int32_t ReadInteger(const QString& Section, const QString& Ident, int32_t Default);
    bool ReadBool(const QString& Section, const QString& Ident, bool Default);
    double ReadFloat(const QString& Section, const QString& Ident, double Default);

    // Each write reaches the file at once, nothing is cached; a refused write raises "Unable to
    // write to <file>".
    void WriteString(const QString& Section, const QString& Ident, const QString& Value);
    void WriteInteger(const QString& Section, const QString& Ident, int32_t Value);
    void WriteBool(const QString& Section, const QString& Ident, bool Value);
    // Shortest general text of up to 15 significant digits, with the locale's separator.
    void WriteFloat(const QString& Section, const QString& Ident, double Value);

private:
    QString FileName_;
};

// Integer text as the settings file holds it: optional sign, decimal or "0x" hexadecimal.
bool IniTextToInt(const QString& text, int32_t& value);
// Real text in the system locale's number format, without digit grouping; finite values only.
bool IniTextToFloat(const QString& text, double& value);
QString IniFloatToText(double value);
