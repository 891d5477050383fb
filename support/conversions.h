#pragma once

// Text, number and time helpers shared by the controls, the graph and the main window.
// Texts are QString; positions passed to ScanReal are 1-based. Failures raise the
// exceptions of support/errors.h.

#include <QChar>
#include <QString>
#include <cstdint>

// Reports the user's decimal separator as the system locale has it at the moment of the call,
// so a change of regional settings takes effect without a restart.
class TSystemNumberFormat {
public:
    QChar DecimalChar() const;
};

// The one instance; it lives from program start to program end.
extern const TSystemNumberFormat SystemNumberFormat;

// Call once at program start, before any window: records the processor clock and sets the
// international foot.
void InitSupport();

bool HasBits(int32_t value, int32_t mask);
bool IsDigitChar(QChar c);
QString PadLeft(const QString& text, int32_t width, QChar fill);
QString PadRight(const QString& text, int32_t width, QChar fill);

// Pulls one real number out of text from position (1-based) on and leaves position on the first
// character after it. Returns false when no digit follows position. Raises EConvertError for an
// exponent marker without digits ("1E", "2e-"), ERangeError for a position below 1.
bool ScanReal(const QString& text, int32_t& position, double& value);
// The number ScanReal finds from position 1, or 0 when there is none.
double TextToReal(const QString& text);

QString IntToZeroPadded(int32_t number, int32_t width);

long double Log10(long double x);
// 0 for base 0 whatever the exponent; a negative base gives the negated power of its magnitude.
double SignedPower(double base, double exponent);
double PowerOfTen(double x);
// a - b * trunc(a / b): the result has the sign of a; NaN when b is 0.
long double RealMod(long double a, long double b);

// Division toward zero, the remainder with the sign of the dividend. Raise EDivByZero for a
// zero divisor and ERangeError when the quotient does not fit (the most negative value by -1).
int32_t DivRem(int32_t a, int32_t b, int32_t& remainder);
int64_t DivRem64(int64_t a, int64_t b, int64_t& remainder);

// A whole real number held within the 64-bit range; NaN counts as 0. Counts of small steps of a
// value anyone may enter stay clear of overflow this way.
int64_t SaturatedInt64(long double whole);

// x cut toward zero to a multiple of 10^n (n <= 0 leaves x). Raises ERangeError when 10^n does
// not fit in 32 bits (n > 9).
int64_t TruncToPowerOfTen(int64_t x, int64_t n);

// Splits hours into whole milliseconds (ties to the even millisecond); a negative value carries
// its sign on the first non-zero of h, min, s, else on ms. Raises ERangeError beyond
// 2^31 - 1 ms (about 596.5 hours), for infinities and NaN.
void SplitHours(long double hours, int32_t& h, int32_t& min, int32_t& s, int32_t& ms);

// "H:MM:SS" (with milliseconds: "H:MM:SS mmm") or, with degrees, H°MM'SS[.ddd]". The fraction
// of the second is cut, never rounded. Raises as SplitHours.
QString HoursToText(bool degrees, bool milliseconds, int32_t decimals, long double hours);

// Moves the end of a line one pixel further from its start, so that a line call that leaves
// out its last pixel still covers the given end. False, and nothing moves, for a point.
bool ExtendLineEnd(int32_t startX, int32_t startY, int32_t& endX, int32_t& endY);

// The processor clock in hertz from /proc/cpuinfo, or 0 when it is not reported.
int64_t ProcessorHz();
// The first "cpu MHz" of a /proc/cpuinfo text in hertz (whole megahertz), or 0 without one.
int64_t CpuInfoHz(const QString& cpuInfo);
extern int64_t ProcessorClock;

// International (true) or survey foot, and the conversions that follow from it.
void SetFootStandard(bool international);
extern double FootInMetres;
extern double FeetPerMetre;
extern double InchesPerMetre;
extern double InchesPerMillimetre;
extern double InchesPerCentimetre;
extern double MetresPerInch;
extern double MillimetresPerInch;
extern double CentimetresPerInch;
extern double SquareFeetPerSquareMetre;
extern double SquareMetresPerSquareFoot;
extern double CubicFeetPerCubicMetre;
extern double CubicMetresPerCubicFoot;

// The application's help file. The main window sets "Lagvane.html" at start-up and then calls
// MakeHelpFileAbsolute, which puts the file name (any folder dropped) in the program's folder.
void SetApplicationHelpFile(const QString& fileName);
const QString& ApplicationHelpFile();
void MakeHelpFileAbsolute();
