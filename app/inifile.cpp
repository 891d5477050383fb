#include "app/inifile.h"

#include "support/errors.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QTextStream>
#include <algorithm>
#include <cmath>

namespace {

// Keys reach these functions as "Section/Key"; values stay the texts of the file.
bool ReadIni(QIODevice& device, QSettings::SettingsMap& map) {
    QTextStream in(&device);
    QString section;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            section = line.mid(1, line.size() - 2).trimmed();
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0 || section.isEmpty())
            continue;
        map.insert(section + u'/' + line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return true;
}

bool WriteIni(QIODevice& device, const QSettings::SettingsMap& map) {
    QTextStream out(&device);
    QString section;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const qsizetype slash = it.key().indexOf(u'/');
        const QString keySection = it.key().left(slash);
        if (keySection != section) {
            if (!section.isEmpty())
                out << '\n';
            section = keySection;
            out << '[' << section << "]\n";
        }
        out << it.key().mid(slash + 1) << '=' << it.value().toString() << '\n';
    }
    return out.status() == QTextStream::Ok;
}

QSettings::Format IniFormat() {
    static const QSettings::Format format =
        QSettings::registerFormat(QStringLiteral("ini"), ReadIni, WriteIni);
    return format;
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

QString Key(const QString& section, const QString& ident) {
    return section + u'/' + ident;
}

bool HoldsNoFile(const QString& fileName) {
    const QFileInfo info(fileName);
    return info.exists() && !info.isFile();
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

TIniFile::TIniFile(const QString& FileName) : FileName_(FileName) {
    if (!HoldsNoFile(FileName))
        Settings = std::make_unique<QSettings>(FileName, IniFormat());
}

TIniFile::~TIniFile() = default;

QString TIniFile::ReadString(const QString& Section, const QString& Ident, const QString& Default) {
    if (!Settings)
        return Default;
    const QVariant value = Settings->value(Key(Section, Ident));
    return value.isValid() ? value.toString() : Default;
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
    if (Settings) {
        Settings->setValue(Key(Section, Ident), Value);
        Settings->sync();
        if (Settings->status() == QSettings::NoError)
            return;
    }
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
