#include "support/conversions.h"
#include "support/errors.h"

#include <QCoreApplication>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

constexpr long double SecondsPerHour = 3600;
constexpr long double MsPerHour = 3600000;

long double Seconds(long double s) {
    return s / SecondsPerHour;
}
long double Ms(long double ms) {
    return ms / MsPerHour;
}

// The tables below are written with "." as the separator; the comma is tested in its own
// executable run under a German locale.
class SupportTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(SystemNumberFormat.DecimalChar(), QLatin1Char('.')); }
};

struct ScanCase {
    const char* text;
    int32_t start;
    bool found;
    double value;
    int32_t end;
};

TEST_F(SupportTest, ScanRealPullsOneNumberAndLeavesThePositionAfterIt) {
    const ScanCase cases[] = {
        {"12:30", 1, true, 12, 3},      {"12:30", 4, true, 30, 6},   {"12:30", 3, true, 30, 6},
        {"abc-4.5x", 1, true, -4.5, 8}, {"--5", 1, true, -5, 4},     {"- 5", 1, true, 5, 4},
        {".5", 1, true, 0.5, 3},        {"-.5", 1, true, -0.5, 4},   {".-5", 1, true, 0.5, 4},
        {"1.2.3", 1, true, 1.2, 4},     {"1..5", 1, true, 1, 3},     {"5.", 1, true, 5, 3},
        {"2e-3", 1, true, 0.002, 5},    {"7e--2", 1, true, 0.07, 6}, {"1.5E2x", 1, true, 150, 6},
        {"+3", 1, true, 3, 3},          {"a-b-7", 1, true, -7, 6},   {"5-3", 1, true, 5, 2},
        {"0:01:30", 3, true, 1, 5},     {"x", 1, false, 0, 2},       {"abc", 1, false, 0, 4},
        {"1 a", 2, false, 0, 4},        {"12", 5, false, 0, 5},      {"", 1, false, 0, 1},
        {"", 0, false, 0, 0},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(testing::Message() << '"' << c.text << "\" from " << c.start);
        int32_t position = c.start;
        double value = -99;
        EXPECT_EQ(ScanReal(QString::fromLatin1(c.text), position, value), c.found);
        EXPECT_DOUBLE_EQ(value, c.value);
        EXPECT_EQ(position, c.end);
    }
}

TEST_F(SupportTest, ScanRealRefusesAnExponentWithoutDigits) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"1E", "'1E' is not a valid floating point value"},
        {"2e-", "'2e-' is not a valid floating point value"},
        {"3E+4", "'3E' is not a valid floating point value"},
        {"x-1.5e--y", "'-1.5e-' is not a valid floating point value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t position = 1;
        double value = 0;
        try {
            ScanReal(QString::fromLatin1(c.text), position, value);
            ADD_FAILURE() << "no conversion error";
        } catch (const EConvertError& error) {
            EXPECT_EQ(error.Message(), QString::fromLatin1(c.message));
        }
        EXPECT_THROW(TextToReal(QString::fromLatin1(c.text)), EConvertError);
    }
}

TEST_F(SupportTest, ScanRealRejectsAPositionBeforeTheText) {
    for (int32_t start : {0, -1, std::numeric_limits<int32_t>::min()}) {
        int32_t position = start;
        double value = 0;
        EXPECT_THROW(ScanReal(QStringLiteral("12"), position, value), ERangeError) << start;
    }
}

TEST_F(SupportTest, TextToRealIsTheFirstNumberOrZero) {
    const struct {
        const char* text;
        double value;
    } cases[] = {{"0:01:30", 0}, {" 12.5 h", 12.5}, {"delay -3", -3}, {"none", 0}, {"", 0}};
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(TextToReal(QString::fromLatin1(c.text)), c.value) << c.text;
}

TEST_F(SupportTest, PaddingFillsToTheWidthButNeverCuts) {
    const struct {
        const char* text;
        int32_t width;
        const char* left;
        const char* right;
    } cases[] = {
        {"123", 5, "00123", "12300"}, {"123", 3, "123", "123"}, {"123", 2, "123", "123"},
        {"123", -4, "123", "123"},    {"", 2, "00", "00"},
    };
    for (const auto& c : cases) {
        const QString text = QString::fromLatin1(c.text);
        EXPECT_EQ(PadLeft(text, c.width, QLatin1Char('0')), QString::fromLatin1(c.left));
        EXPECT_EQ(PadRight(text, c.width, QLatin1Char('0')), QString::fromLatin1(c.right));
    }
    EXPECT_EQ(IntToZeroPadded(5, 2), QStringLiteral("05"));
    EXPECT_EQ(IntToZeroPadded(0, 3), QStringLiteral("000"));
    EXPECT_EQ(IntToZeroPadded(1234, 2), QStringLiteral("1234"));
}

TEST_F(SupportTest, DigitsAndBits) {
    for (char c = '0'; c <= '9'; ++c)
        EXPECT_TRUE(IsDigitChar(QLatin1Char(c))) << c;
    for (QChar c : {QChar('/'), QChar(':'), QChar('a'), QChar(0x0661), QChar(0xFF10)})
        EXPECT_FALSE(IsDigitChar(c)) << int(c.unicode());
    EXPECT_TRUE(HasBits(0x0C, 0x04));
    EXPECT_FALSE(HasBits(0x0C, 0x03));
    EXPECT_TRUE(HasBits(int32_t(0x80000000), int32_t(0x80000000)));
    EXPECT_FALSE(HasBits(0, -1));
}

TEST_F(SupportTest, PowersAndLogarithms) {
    EXPECT_EQ(SignedPower(10, 5), 100000.0);
    for (double exponent : {-3.0, -1.0, 0.0, 0.5, 2.0})
        EXPECT_EQ(SignedPower(0, exponent), 0.0) << exponent;
    EXPECT_DOUBLE_EQ(SignedPower(-2, 3), -8);
    EXPECT_DOUBLE_EQ(SignedPower(-2, 2), -4);
    EXPECT_DOUBLE_EQ(SignedPower(2, 0.5), std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(SignedPower(4, -1), 0.25);

    EXPECT_DOUBLE_EQ(PowerOfTen(0), 1);
    EXPECT_DOUBLE_EQ(PowerOfTen(2), 100);
    EXPECT_DOUBLE_EQ(PowerOfTen(-1), 0.1);
    EXPECT_DOUBLE_EQ(double(Log10(1000)), 3);
    EXPECT_DOUBLE_EQ(double(Log10(0.01L)), -2);
    EXPECT_EQ(Log10(0), -std::numeric_limits<long double>::infinity());
    EXPECT_TRUE(std::isnan(Log10(-1)));
}

TEST_F(SupportTest, RealModKeepsTheSignOfTheDividend) {
    const struct {
        long double a, b, result;
    } cases[] = {{7.5, 2, 1.5}, {-7.5, 2, -1.5}, {7.5, -2, 1.5}, {-7.5, -2, -1.5},
                 {6, 2, 0},     {0.25, 1, 0.25}, {1, 4, 1}};
    for (const auto& c : cases)
        EXPECT_DOUBLE_EQ(double(RealMod(c.a, c.b)), double(c.result))
            << double(c.a) << " " << double(c.b);
    EXPECT_TRUE(std::isnan(RealMod(7.5, 0)));
}

TEST_F(SupportTest, DivRemTruncatesTowardZero) {
    const struct {
        int32_t a, b, quotient, remainder;
    } cases[] = {{7, 2, 3, 1},
                 {-7, 2, -3, -1},
                 {7, -2, -3, 1},
                 {-7, -2, 3, -1},
                 {0, 5, 0, 0},
                 {std::numeric_limits<int32_t>::min(), 1, std::numeric_limits<int32_t>::min(), 0}};
    for (const auto& c : cases) {
        int32_t remainder = 99;
        EXPECT_EQ(DivRem(c.a, c.b, remainder), c.quotient) << c.a << "/" << c.b;
        EXPECT_EQ(remainder, c.remainder) << c.a << "/" << c.b;
        int64_t remainder64 = 99;
        EXPECT_EQ(DivRem64(c.a, c.b, remainder64), c.quotient);
        EXPECT_EQ(remainder64, c.remainder);
    }
    int64_t remainder64 = 0;
    EXPECT_EQ(DivRem64(-9000000000007LL, 1000, remainder64), -9000000000LL);
    EXPECT_EQ(remainder64, -7);
}

TEST_F(SupportTest, DivRemRaisesOnAZeroDivisorAndOnOverflow) {
    int32_t remainder = 0;
    int64_t remainder64 = 0;
    try {
        DivRem(7, 0, remainder);
        ADD_FAILURE() << "no error";
    } catch (const EDivByZero& error) {
        EXPECT_EQ(error.Message(), QStringLiteral("Division by zero"));
    }
    EXPECT_THROW(DivRem64(7, 0, remainder64), EDivByZero);
    EXPECT_THROW(DivRem(std::numeric_limits<int32_t>::min(), -1, remainder), ERangeError);
    EXPECT_THROW(DivRem64(std::numeric_limits<int64_t>::min(), -1, remainder64), ERangeError);
}

TEST_F(SupportTest, TruncToPowerOfTenCutsTowardZero) {
    const struct {
        int64_t x, n, result;
    } cases[] = {
        {123456, 3, 123000},
        {-123456, 3, -123000},
        {999, 3, 0},
        {123, 0, 123},
        {123, -2, 123},
        {1234567890123LL, 9, 1234000000000LL},
        {-5, 9, 0},
        {360000000LL * 24 + 99999, 5, 360000000LL * 24},
        {std::numeric_limits<int64_t>::max(), 1, std::numeric_limits<int64_t>::max() / 10 * 10},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TruncToPowerOfTen(c.x, c.n), c.result) << c.x << " " << c.n;
    EXPECT_THROW(TruncToPowerOfTen(5, 10), ERangeError);
    EXPECT_THROW(TruncToPowerOfTen(5, int64_t(1) << 40), ERangeError);
}

struct SplitCase {
    long double hours;
    int32_t h, min, s, ms;
};

TEST_F(SupportTest, SplitHoursRoundsToEvenMillisecondsAndSignsOnePart) {
    const SplitCase cases[] = {
        {0, 0, 0, 0, 0},
        {Ms(0.5), 0, 0, 0, 0},
        {Ms(1.5), 0, 0, 0, 2},
        {Ms(2.5), 0, 0, 0, 2},
        {1 + 30 / 60.0L + Seconds(7.25), 1, 30, 7, 250},
        {-0.5, 0, -30, 0, 0},
        {Seconds(-7.25), 0, 0, -7, 250},
        {-2, -2, 0, 0, 0},
        {Seconds(-0.25), 0, 0, 0, -250},
        {Seconds(-0.0004), 0, 0, 0, 0},
        {-0.0L, 0, 0, 0, 0},
        {Ms(2147483647), 596, 31, 23, 647},
        {-Ms(2147483647), -596, 31, 23, 647},
    };
    for (const SplitCase& c : cases) {
        int32_t h = 99, min = 99, s = 99, ms = 99;
        SplitHours(c.hours, h, min, s, ms);
        EXPECT_EQ(h, c.h) << double(c.hours);
        EXPECT_EQ(min, c.min) << double(c.hours);
        EXPECT_EQ(s, c.s) << double(c.hours);
        EXPECT_EQ(ms, c.ms) << double(c.hours);
    }
}

TEST_F(SupportTest, SplitHoursAndHoursToTextRefuseWhatDoesNotFitInMilliseconds) {
    const long double tooLarge[] = {
        Ms(2147483648.0L),
        -Ms(2147483648.0L),
        597,
        -597,
        1e30L,
        std::numeric_limits<long double>::infinity(),
        -std::numeric_limits<long double>::infinity(),
        std::numeric_limits<long double>::quiet_NaN(),
    };
    for (long double hours : tooLarge) {
        int32_t h, min, s, ms;
        EXPECT_THROW(SplitHours(hours, h, min, s, ms), ERangeError) << double(hours);
        try {
            HoursToText(false, false, 0, hours);
            ADD_FAILURE() << "no error for " << double(hours);
        } catch (const ERangeError& error) {
            EXPECT_EQ(error.Message(), QStringLiteral("Range check error"));
        }
    }
}

struct TextCase {
    bool degrees;
    bool milliseconds;
    int32_t decimals;
    long double hours;
    QString text;
};

TEST_F(SupportTest, HoursToTextForms) {
    const long double hms = 1 + 30 / 60.0L + Seconds(7.25);
    const TextCase cases[] = {
        {false, false, 0, 1.5, "1:30:00"},
        {false, false, 0, Seconds(90), "0:01:30"},
        {false, false, 0, Seconds(-90), "-0:01:30"},
        {false, false, 0, Seconds(59.9), "0:00:59"},
        {false, false, 0, Seconds(59.9996), "0:01:00"},
        {false, false, 0, Seconds(-0.5), "-0:00:00"},
        {false, false, 0, Seconds(-0.0004), "0:00:00"},
        {false, false, 0, 12.5, "12:30:00"},
        {false, false, 0, 0, "0:00:00"},
        {false, false, 0, 100, "100:00:00"},
        {false, false, -3, Seconds(3661.9), "1:01:01"},
        {false, true, 0, hms, "1:30:07 250"},
        {false, true, 5, hms, "1:30:07 250"},
        {false, true, 0, Seconds(-0.007), "-0:00:00 007"},
        {true, false, 2, hms, QString::fromUtf8("1°30'07.25\"")},
        {true, true, 2, hms, QString::fromUtf8("1°30'07.25\"")},
        {true, false, 0, hms, QString::fromUtf8("1°30'07\"")},
        {true, false, 2, Seconds(7.259), QString::fromUtf8("0°00'07.25\"")},
        {true, false, 20, Seconds(7.25), QString::fromUtf8("0°00'07.250000000000000000\"")},
        {true, false, 1, -hms, QString::fromUtf8("-1°30'07.2\"")},
    };
    for (const TextCase& c : cases)
        EXPECT_EQ(HoursToText(c.degrees, c.milliseconds, c.decimals, c.hours), c.text)
            << double(c.hours);
}

TEST_F(SupportTest, HoursToTextCutsAFractionOfTheSecondAfterTheDecimalSeparator) {
    EXPECT_EQ(HoursToText(false, false, 2, Seconds(7.259)), QStringLiteral("0:00:07.25"));
    EXPECT_EQ(HoursToText(false, false, 4, Seconds(7.999)), QStringLiteral("0:00:07.9990"));
}

TEST_F(SupportTest, ExtendLineEndMovesOnePixelAwayFromTheStart) {
    const struct {
        int32_t startX, startY, endX, endY;
        bool moved;
        int32_t newX, newY;
    } cases[] = {
        {0, 0, 10, 3, true, 11, 3}, {0, 0, 3, 10, true, 3, 11},     {0, 0, -4, 4, true, -5, 5},
        {0, 0, 0, -7, true, 0, -8}, {0, 0, -10, -3, true, -11, -3}, {0, 0, 4, 4, true, 5, 5},
        {2, 3, 12, 6, true, 13, 6}, {2, 3, 1, 3, true, 0, 3},       {5, 5, 5, 5, false, 5, 5},
    };
    for (const auto& c : cases) {
        int32_t x = c.endX, y = c.endY;
        EXPECT_EQ(ExtendLineEnd(c.startX, c.startY, x, y), c.moved) << c.endX << "," << c.endY;
        EXPECT_EQ(x, c.newX) << c.endX << "," << c.endY;
        EXPECT_EQ(y, c.newY) << c.endX << "," << c.endY;
    }
}

TEST_F(SupportTest, CpuInfoHzTakesTheFirstProcessorsWholeMegahertz) {
    const struct {
        const char* text;
        int64_t hz;
    } cases[] = {
        {"processor\t: 0\ncpu MHz\t\t: 2400.000\ncache size\t: 512 KB\n"
         "processor\t: 1\ncpu MHz\t\t: 3100.000\n",
         2400000000LL},
        {"cpu MHz\t\t: 1999.6\n", 2000000000LL},
        {"model name\t: Something at 3.00GHz\n", 0},
        {"cpu MHz\t\t: unknown\n", 0},
        {"", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CpuInfoHz(QString::fromLatin1(c.text)), c.hz) << c.text;
    EXPECT_GE(ProcessorHz(), 0);
}

TEST_F(SupportTest, InitSupportSetsTheInternationalFoot) {
    SetFootStandard(false);
    EXPECT_DOUBLE_EQ(FootInMetres, 0.304800609601);
    EXPECT_NEAR(InchesPerMetre, 39.37, 1e-9);
    InitSupport();
    EXPECT_EQ(ProcessorClock, ProcessorHz());
    const struct {
        double value, expected;
    } constants[] = {
        {FootInMetres, 0.3048},
        {FeetPerMetre, 3.280839895013123},
        {InchesPerMetre, 39.37007874015748},
        {InchesPerMillimetre, 0.03937007874015748},
        {InchesPerCentimetre, 0.3937007874015748},
        {MetresPerInch, 0.0254},
        {MillimetresPerInch, 25.4},
        {CentimetresPerInch, 2.54},
        {SquareFeetPerSquareMetre, 10.76391041670972},
        {SquareMetresPerSquareFoot, 0.09290304},
        {CubicFeetPerCubicMetre, 35.31466672148859},
        {CubicMetresPerCubicFoot, 0.028316846592},
    };
    for (const auto& c : constants)
        EXPECT_DOUBLE_EQ(c.value, c.expected);
}

TEST_F(SupportTest, MakeHelpFileAbsolutePutsTheFileNameInTheProgramsFolder) {
    const QString folder = QCoreApplication::applicationDirPath() + QLatin1Char('/');
    const struct {
        const char* name;
        const char* file;
    } cases[] = {
        {"Lagvane.html", "Lagvane.html"},
        {"/usr/share/doc/Lagvane.html", "Lagvane.html"},
        {"sub/dir/Other.HTML", "Other.HTML"},
    };
    for (const auto& c : cases) {
        SetApplicationHelpFile(QString::fromLatin1(c.name));
        MakeHelpFileAbsolute();
        EXPECT_EQ(ApplicationHelpFile(), folder + QString::fromLatin1(c.file));
    }
    MakeHelpFileAbsolute();
    EXPECT_EQ(ApplicationHelpFile(), folder + QStringLiteral("Other.HTML"));
}

} // namespace
