#include "support/conversions.h"

#include "support/errors.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>

const TSystemNumberFormat SystemNumberFormat;

int64_t ProcessorClock = 0;

double FootInMetres = 0;
double FeetPerMetre = 0;
double InchesPerMetre = 0;
double InchesPerMillimetre = 0;
double InchesPerCentimetre = 0;
double MetresPerInch = 0;
double MillimetresPerInch = 0;
double CentimetresPerInch = 0;
double SquareFeetPerSquareMetre = 0;
double SquareMetresPerSquareFoot = 0;
double CubicFeetPerCubicMetre = 0;
double CubicMetresPerCubicFoot = 0;

namespace {

QString HelpFile;

constexpr int32_t MsPerSecond = 1000;
constexpr int32_t MsPerMinute = 60 * MsPerSecond;
constexpr int32_t MsPerHour = 60 * MsPerMinute;
constexpr int32_t FractionDigits = 18;
constexpr int32_t MaxPowerOfTen = 9; // 10^9 is the largest power of ten in 32 bits

// The conversion must not follow the C library's numeric locale, which QApplication sets from
// the environment: the work text carries our own separator, turned into ".".
locale_t ClassicLocale() {
    static const locale_t classic = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return classic;
}

// The text-to-real conversion of a work text: an optional "-", digits with at most one
// separator, and an exponent that has digits. Anything else is refused with the user's message.
double ConvertWorkText(const QString& work, QChar separator) {
    QString ascii = work;
    ascii.replace(separator, QLatin1Char('.'));
    static const QRegularExpression number(
        QStringLiteral("^-?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE]-?[0-9]+)?$"));
    if (!number.match(ascii).hasMatch())
        throw EConvertError(QStringLiteral("'%1' is not a valid floating point value").arg(work));
    const QByteArray latin = ascii.toLatin1();
    return strtod_l(latin.constData(), nullptr, ClassicLocale());
}

QString FractionOfSecond(int32_t ms, int32_t decimals) {
    const QString digits = PadRight(IntToZeroPadded(ms, 3), FractionDigits, QLatin1Char('0'));
    return digits.left(decimals);
}

} // namespace

QChar TSystemNumberFormat::DecimalChar() const {
    const QString point = QLocale::system().decimalPoint();
    return point.isEmpty() ? QLatin1Char('.') : point.front();
}

void InitSupport() {
    ProcessorClock = ProcessorHz();
    SetFootStandard(true);
}

bool HasBits(int32_t value, int32_t mask) {
    return (value & mask) != 0;
}

bool IsDigitChar(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

QString PadLeft(const QString& text, int32_t width, QChar fill) {
    const int32_t missing = width - int32_t(text.size());
    return missing > 0 ? QString(missing, fill) + text : text;
}

QString PadRight(const QString& text, int32_t width, QChar fill) {
    const int32_t missing = width - int32_t(text.size());
    return missing > 0 ? text + QString(missing, fill) : text;
}

bool ScanReal(const QString& text, int32_t& position, double& value) {
    value = 0;
    if (text.isEmpty())
        return false;
    if (position < 1)
        throw ERangeError();
    const int32_t length = int32_t(text.size());
    auto at = [&](int32_t pos) { return text.at(pos - 1); };
    auto isSeparator = [](QChar c) { return c == SystemNumberFormat.DecimalChar(); };

    QString work;
    bool separatorSeen = false;
    bool digitFound = false;
    while (position <= length) {
        const QChar c = at(position);
        if (c == QLatin1Char('-')) {
            if (work.isEmpty())
                work += c;
        } else if (isSeparator(c) && !separatorSeen) {
            work += c;
            separatorSeen = true;
        } else if (IsDigitChar(c)) {
            digitFound = true;
            break;
        } else {
            work.clear();
            separatorSeen = false;
        }
        ++position;
    }
    if (!digitFound)
        return false;

    while (position <= length && (IsDigitChar(at(position)) || isSeparator(at(position)))) {
        if (isSeparator(at(position))) {
            if (separatorSeen)
                break;
            separatorSeen = true;
        }
        work += at(position);
        ++position;
    }

    // The minus and digits belong to the exponent only: "5-3" is 5 followed by other text.
    if (position <= length &&
        (at(position) == QLatin1Char('E') || at(position) == QLatin1Char('e'))) {
        work += at(position);
        ++position;
        while (position <= length && at(position) == QLatin1Char('-')) {
            if (!work.endsWith(QLatin1Char('-')))
                work += at(position);
            ++position;
        }
        while (position <= length && IsDigitChar(at(position))) {
            work += at(position);
            ++position;
        }
    }

    value = ConvertWorkText(work, SystemNumberFormat.DecimalChar());
    return true;
}

double TextToReal(const QString& text) {
    int32_t position = 1;
    double value = 0;
    return ScanReal(text, position, value) ? value : 0;
}

QString IntToZeroPadded(int32_t number, int32_t width) {
    return PadLeft(QString::number(number), width, QLatin1Char('0'));
}

long double Log10(long double x) {
    return std::log(x) / std::log(10.0L);
}

double SignedPower(double base, double exponent) {
    if (base == 0)
        return 0;
    const double magnitude = double(std::exp(exponent * std::log(std::fabs((long double)base))));
    return base < 0 ? -magnitude : magnitude;
}

double PowerOfTen(double x) {
    return double(std::exp(x * std::log(10.0L)));
}

long double RealMod(long double a, long double b) {
    const long double quotient = a / b;
    return b * (quotient - std::trunc(quotient));
}

namespace {

template <typename Int> Int CheckedDivRem(Int a, Int b, Int& remainder) {
    if (b == 0)
        throw EDivByZero();
    if (a == std::numeric_limits<Int>::min() && b == -1)
        throw ERangeError();
    remainder = a % b;
    return a / b;
}

} // namespace

int32_t DivRem(int32_t a, int32_t b, int32_t& remainder) {
    return CheckedDivRem(a, b, remainder);
}

int64_t SaturatedInt64(long double whole) {
    constexpr long double limit = static_cast<long double>(std::numeric_limits<int64_t>::max());
    if (std::isnan(whole))
        return 0;
    if (whole >= limit)
        return std::numeric_limits<int64_t>::max();
    if (whole <= -limit)
        return -std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(whole);
}

int64_t DivRem64(int64_t a, int64_t b, int64_t& remainder) {
    return CheckedDivRem(a, b, remainder);
}

int64_t TruncToPowerOfTen(int64_t x, int64_t n) {
    if (n > MaxPowerOfTen)
        throw ERangeError();
    int32_t power = 1;
    for (int64_t i = 0; i < n; ++i)
        power *= 10;
    return (x / power) * power;
}

void SplitHours(long double hours, int32_t& h, int32_t& min, int32_t& s, int32_t& ms) {
    const bool negative = hours < 0;
    const long double total = std::nearbyint(std::fabs(hours) * MsPerHour);
    if (!(total <= std::numeric_limits<int32_t>::max()))
        throw ERangeError();
    int32_t rest = int32_t(total);
    h = rest / MsPerHour;
    rest %= MsPerHour;
    min = rest / MsPerMinute;
    rest %= MsPerMinute;
    s = rest / MsPerSecond;
    ms = rest % MsPerSecond;
    if (!negative)
        return;
    if (h != 0)
        h = -h;
    else if (min != 0)
        min = -min;
    else if (s != 0)
        s = -s;
    else
        ms = -ms;
}

QString HoursToText(bool degrees, bool milliseconds, int32_t decimals, long double hours) {
    int32_t h, min, s, ms;
    SplitHours(hours, h, min, s, ms);
    const bool negative = h < 0 || min < 0 || s < 0 || ms < 0;
    h = std::abs(h);
    min = std::abs(min);
    s = std::abs(s);
    ms = std::abs(ms);

    const QChar first = degrees ? QChar(0x00B0) : QLatin1Char(':');
    const QChar second = degrees ? QLatin1Char('\'') : QLatin1Char(':');
    QString text = negative ? QStringLiteral("-") : QString();
    text += QString::number(h) + first + IntToZeroPadded(min, 2) + second + IntToZeroPadded(s, 2);

    if (degrees) {
        if (decimals > 0)
            text += QLatin1Char('.') + FractionOfSecond(ms, decimals);
        text += QLatin1Char('"');
    } else if (milliseconds) {
        text += QLatin1Char(' ') + IntToZeroPadded(ms, 3);
    } else if (decimals > 0) {
        // Cut like the degrees form, so the seconds shown never run ahead of the value.
        text += SystemNumberFormat.DecimalChar() + FractionOfSecond(ms, decimals);
    }
    return text;
}

bool ExtendLineEnd(int32_t startX, int32_t startY, int32_t& endX, int32_t& endY) {
    const int64_t dx = int64_t(endX) - startX;
    const int64_t dy = int64_t(endY) - startY;
    if (dx == 0 && dy == 0)
        return false;
    auto sign = [](int64_t v) { return v < 0 ? -1 : 1; };
    if (std::abs(dy) < std::abs(dx)) {
        endX = int32_t(endX + sign(dx));
        endY = int32_t(endY + dy / std::abs(dx));
    } else {
        endY = int32_t(endY + sign(dy));
        endX = int32_t(endX + dx / std::abs(dy));
    }
    return true;
}

int64_t CpuInfoHz(const QString& cpuInfo) {
    static const QRegularExpression cpuMHz(QStringLiteral("^cpu MHz\\s*:\\s*([0-9.]+)\\s*$"),
                                           QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = cpuMHz.match(cpuInfo);
    bool ok = false;
    const double mhz = match.hasMatch() ? match.captured(1).toDouble(&ok) : 0;
    if (!ok || !std::isfinite(mhz))
        return 0;
    constexpr int64_t HzPerMHz = 1000000;
    return std::llround(mhz) * HzPerMHz;
}

int64_t ProcessorHz() {
    QFile file(QStringLiteral("/proc/cpuinfo"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    return CpuInfoHz(QString::fromLatin1(file.readAll()));
}

void SetFootStandard(bool international) {
    FootInMetres = international ? 0.3048 : 0.304800609601;
    FeetPerMetre = 1 / FootInMetres;
    InchesPerMetre = FeetPerMetre * 12;
    InchesPerMillimetre = InchesPerMetre / 1000;
    InchesPerCentimetre = InchesPerMetre / 100;
    MetresPerInch = 1 / InchesPerMetre;
    MillimetresPerInch = MetresPerInch * 1000;
    CentimetresPerInch = MetresPerInch * 100;
    SquareFeetPerSquareMetre = FeetPerMetre * FeetPerMetre;
    SquareMetresPerSquareFoot = FootInMetres * FootInMetres;
    CubicFeetPerCubicMetre = FeetPerMetre * FeetPerMetre * FeetPerMetre;
    CubicMetresPerCubicFoot = FootInMetres * FootInMetres * FootInMetres;
}

void SetApplicationHelpFile(const QString& fileName) {
    HelpFile = fileName;
}

const QString& ApplicationHelpFile() {
    return HelpFile;
}

void MakeHelpFileAbsolute() {
    HelpFile =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + QFileInfo(HelpFile).fileName();
}
