#include "station/inifile.h"

#include "support/errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <algorithm>
#include <cmath>

namespace {

// The file as lines without their line feeds. A carriage return stays with its line, so the
// lines a write leaves alone go back byte for byte.
using TLines = QList<QByteArray>;

// One line as the reader sees it.
struct TIniLine {
    enum class TKind { Other, Section, Key };
    TKind Kind = TKind::Other;
    // The section's or the key's name.
    QString Name;
    QString Value;
};

TIniLine ParseLine(const QByteArray& raw) {
    const QString text = QString::fromUtf8(raw).trimmed();
    TIniLine line;
    if (text.isEmpty() || text.startsWith(u';'))
        return line;
    if (text.startsWith(u'[') && text.endsWith(u']')) {
        line.Kind = TIniLine::TKind::Section;
        line.Name = text.mid(1, text.size() - 2).trimmed();
        return line;
    }
    const qsizetype equals = text.indexOf(u'=');
    if (equals > 0) {
        line.Kind = TIniLine::TKind::Key;
        line.Name = text.left(equals).trimmed();
        line.Value = text.mid(equals + 1).trimmed();
    }
    return line;
}

bool SameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// Where a key stands: the line of its first occurrence in any section of that name (-1 when
// there is none) and, for a new key, the line it goes before: after the last key of the first
// such section, or after its heading (-1 when there is no such section).
struct TKeyPlace {
    qsizetype Line = -1;
    QString Name;
    QString Value;
    qsizetype Insert = -1;
};

TKeyPlace FindKey(const TLines& lines, const QString& section, const QString& key) {
    TKeyPlace place;
    bool inSection = false;
    bool inFirstSection = false;
    for (qsizetype index = 0; index < lines.size(); ++index) {
        const TIniLine line = ParseLine(lines[index]);
        if (line.Kind == TIniLine::TKind::Section) {
            inSection = SameName(line.Name, section);
            inFirstSection = inSection && place.Insert < 0;
            if (inFirstSection)
                place.Insert = index + 1;
        } else if (line.Kind == TIniLine::TKind::Key && inSection) {
            if (SameName(line.Name, key)) {
                place.Line = index;
                place.Name = line.Name;
                place.Value = line.Value;
                return place;
            }
            if (inFirstSection)
                place.Insert = index + 1;
        }
    }
    return place;
}

bool HoldsNoFile(const QString& fileName) {
    const QFileInfo info(fileName);
    return info.exists() && !info.isFile();
}

// False, with no lines, when something is there that cannot be read: a write must not replace
// what it never saw.
bool ReadLines(const QString& fileName, TLines& lines) {
    lines.clear();
    QFile file(fileName);
    if (!file.exists())
        return true;
    if (HoldsNoFile(fileName) || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = file.readAll();
    if (file.error() != QFile::NoError)
        return false;
    lines = text.split('\n');
    // What follows the last line feed is no line.
    if (lines.last().isEmpty())
        lines.removeLast();
    return true;
}

// Replaces the file in one step, so a failed write leaves the old one whole.
bool WriteLines(const QString& fileName, const TLines& lines) {
    if (HoldsNoFile(fileName) || !QDir().mkpath(QFileInfo(fileName).absolutePath()))
        return false;
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (const QByteArray& line : lines) {
        file.write(line);
        file.write("\n");
    }
    return file.commit();
}

QLocale IniLocale() {
    QLocale locale = QLocale::system();
    locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    return locale;
}

bool IsDecimalDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

bool IsHexDigit(QChar c) {
    return IsDecimalDigit(c) || (c.toLower() >= u'a' && c.toLower() <= u'f');
}

} // namespace

bool IniTextToInt(const QString& text, int32_t& value) {
    QString digits = text.trimmed();
    const bool negative = digits.startsWith(u'-');
    if (negative || digits.startsWith(u'+'))
        digits.remove(0, 1);
    const bool hex = digits.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive);
    if (hex)
        digits.remove(0, 2);
    const auto isDigit = [hex](QChar c) { return hex ? IsHexDigit(c) : IsDecimalDigit(c); };
    if (digits.isEmpty() || digits.size() > 10 ||
        !std::all_of(digits.begin(), digits.end(), isDigit))
        return false;
    qint64 magnitude = digits.toLongLong(nullptr, hex ? 16 : 10);
    // Hexadecimal texts name a 32-bit pattern: 0xFFFFFFFF is -1.
    if (hex && magnitude <= 0xFFFFFFFF)
        magnitude = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
    const qint64 result = negative ? -magnitude : magnitude;
    if (result < INT32_MIN || result > INT32_MAX)
        return false;
    value = static_cast<int32_t>(result);
    return true;
}

bool IniTextToFloat(const QString& text, double& value) {
    bool ok = false;
    const double result = IniLocale().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(result))
        return false;
    value = result;
    return true;
}

QString IniFloatToText(double value) {
    return IniLocale().toString(value, 'g', 15);
}

TIniFile::TIniFile(const QString& FileName) : FileName_(FileName) {}

QString TIniFile::ReadString(const QString& Section, const QString& Ident, const QString& Default) {
    TLines lines;
    ReadLines(FileName_, lines);
    const TKeyPlace place = FindKey(lines, Section, Ident);
    return place.Line >= 0 ? place.Value : Default;
}

int32_t TIniFile::ReadInteger(const QString& Section, const QString& Ident, int32_t Default) {
    int32_t value = Default;
    return IniTextToInt(ReadString(Section, Ident, QString()), value) ? value : Default;
}

bool TIniFile::ReadBool(const QString& Section, const QString& Ident, bool Default) {
    return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

double TIniFile::ReadFloat(const QString& Section, const QString& Ident, double Default) {
    double value = Default;
    return IniTextToFloat(ReadString(Section, Ident, QString()), value) ? value : Default;
}

void TIniFile::WriteString(const QString& Section, const QString& Ident, const QString& Value) {
    TLines lines;
    const bool readable = ReadLines(FileName_, lines);
    // New lines end the way the file's first line does.
    const QByteArray newEnd = !lines.isEmpty() && lines.first().endsWith('\r') ? "\r" : "";
    const auto keyLine = [&Value](const QString& name, const QByteArray& end) {
        return (name + u'=' + Value).toUtf8() + end;
    };
    const TKeyPlace place = FindKey(lines, Section, Ident);
    if (place.Line >= 0) {
        const QByteArray end = lines[place.Line].endsWith('\r') ? "\r" : "";
        lines[place.Line] = keyLine(place.Name, end);
    } else if (place.Insert >= 0) {
        lines.insert(place.Insert, keyLine(Ident, newEnd));
    } else {
        if (!lines.isEmpty() && !QString::fromUtf8(lines.last()).trimmed().isEmpty())
            lines.append(newEnd);
        lines.append((u'[' + Section + u']').toUtf8() + newEnd);
        lines.append(keyLine(Ident, newEnd));
    }
    if (!readable || !WriteLines(FileName_, lines))
        throw Exception(QStringLiteral("Unable to write to %1").arg(FileName_));
}

void TIniFile::WriteInteger(const QString& Section, const QString& Ident, int32_t Value) {
    WriteString(Section, Ident, QString::number(Value));
}

void TIniFile::WriteBool(const QString& Section, const QString& Ident, bool Value) {
    WriteString(Section, Ident, Value ? QStringLiteral("1") : QStringLiteral("0"));
}

void TIniFile::WriteFloat(const QString& Section, const QString& Ident, double Value) {
    WriteString(Section, Ident, IniFloatToText(Value));
}
