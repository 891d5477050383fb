#include "controls/degspin.h"

#include <QApplication>
#include <QLabel>
#include <QPaintEvent>
#include <QRegularExpression>
#include <cmath>
#include <limits>

#include "controls/spinbuttons.h"
#include "support/conversions.h"
#include "support/errors.h"

namespace {

constexpr int ControlHeight = 50;
constexpr int ButtonWidth = 15;
constexpr int MaxDigits = 5;

// Percent of the width for the leading, minutes and seconds fields, by Digits.
constexpr int WidthShares[MaxDigits + 1][3] = {
    {36, 24, 24}, {32, 24, 28}, {30, 24, 30}, {28, 24, 32}, {26, 24, 34}, {24, 24, 36},
};

int64_t RoundTicks(double value) {
    return SaturatedInt64(std::nearbyint(value));
}

int64_t TruncTicks(double value) {
    return SaturatedInt64(std::trunc(value));
}

// Rounds half away from zero, as the layout does.
int RoundAway(double value) {
    return static_cast<int>(std::lround(value));
}

// An optional sign and digits, nothing else, within 32 bits.
bool ReadInteger(const QString& text, int32_t& value) {
    static const QRegularExpression pattern(QStringLiteral("^[+-]?[0-9]+$"));
    if (!pattern.match(text).hasMatch())
        return false;
    bool ok = false;
    value = text.toInt(&ok);
    return ok;
}

// A real number written with the user's decimal separator.
bool ReadReal(const QString& text, double& value) {
    const QString separator = QRegularExpression::escape(QString(SystemNumberFormat.DecimalChar()));
    const QRegularExpression pattern(
        QStringLiteral("^[+-]?([0-9]+(%1[0-9]*)?|%1[0-9]+)([eE][+-]?[0-9]+)?$").arg(separator));
    if (!pattern.match(text).hasMatch())
        return false;
    QString plain = text;
    plain.replace(SystemNumberFormat.DecimalChar(), QLatin1Char('.'));
    bool ok = false;
    value = QLocale::c().toDouble(plain, &ok);
    return ok && std::isfinite(value);
}

// Writes text into an edit and puts its caret back where it was, so a carry into other fields
// does not throw the typist out of place.
void WriteKeepingCaret(TEditEx* edit, const QString& text) {
    if (edit->text() == text)
        return;
    const int caret = edit->hasSelectedText() ? edit->selectionStart() : edit->cursorPosition();
    edit->setText(text);
    edit->setCursorPosition(std::min(caret, static_cast<int>(text.size())));
}

} // namespace

TDegreeSpin::TDegreeSpin(QWidget* parent)
    : TPanel(parent), TicksPerSecond(static_cast<int64_t>(std::trunc(SignedPower(10, 5)))),
      TicksPerMinute(60 * TicksPerSecond), TicksPerHour(3600 * TicksPerSecond),
      HoursEditValue(new TEditEx(this)), HoursSpinValue(new TUpDownButton(this)),
      MinutesEditValue(new TEditEx(this)), MinutesSpinValue(new TUpDownButton(this)),
      SecondsEditValue(new TEditEx(this)), SecondsSpinValue(new TUpDownButton(this)),
      HoursLabelValue(new QLabel(QStringLiteral("Deg"), this)),
      MinutesLabelValue(new QLabel(QStringLiteral("Min"), this)),
      SecondsLabelValue(new QLabel(QStringLiteral("Sec"), this)),
      SpinFontValue(QApplication::font()), LabelFontValue(QStringLiteral("Arial"), 8) {
    resize(width(), ControlHeight);
    const auto wireSpin = [this](TUpDownButton* spin, std::function<int64_t()> step) {
        spin->OnUpClick = [this, step](QObject*) { StepBy(step()); };
        spin->OnDownClick = [this, step](QObject*) { StepBy(-step()); };
    };
    wireSpin(HoursSpinValue, [this] { return TicksPerHour; });
    wireSpin(MinutesSpinValue, [this] { return TicksPerMinute; });
    // Read at each click, so a changed SecInc acts at once.
    wireSpin(SecondsSpinValue, [this] { return RoundTicks(TicksPerSecond * SecIncValue); });
    for (TEditEx* edit : {HoursEditValue, MinutesEditValue, SecondsEditValue}) {
        edit->OnChange = [this](QObject*) { EntryChanged(); };
        edit->OnKeyPress = [this](QObject*, QChar& key) { FilterKey(key); };
    }
    ArrangeParts();
}

TDegreeSpin::~TDegreeSpin() = default;

double TDegreeSpin::Degrees() const {
    return static_cast<double>(TicksValue) / static_cast<double>(TicksPerHour);
}

void TDegreeSpin::SetDegrees(double value) {
    StoreTicks(RoundTicks(static_cast<double>(TicksPerHour) * value));
    ShowValue();
    if (!Loading())
        DoChange();
}

int32_t TDegreeSpin::Hours() const {
    int32_t value = 0;
    return ReadInteger(HoursEditValue->text(), value) ? value : 0;
}

void TDegreeSpin::SetHours(int32_t value) {
    HoursEditValue->setText(QString::number(value));
    EntryChanged();
}

int32_t TDegreeSpin::Minutes() const {
    int32_t value = 0;
    return ReadInteger(MinutesEditValue->text(), value) ? value : 0;
}

void TDegreeSpin::SetMinutes(int32_t value) {
    MinutesEditValue->setText(QString::number(value));
    EntryChanged();
}

double TDegreeSpin::Seconds() const {
    return TextToReal(SecondsEditValue->text());
}

void TDegreeSpin::SetSeconds(double value) {
    QString text = QString::number(value, 'f', DigitsValue);
    text.replace(QLatin1Char('.'), SystemNumberFormat.DecimalChar());
    SecondsEditValue->setText(text);
    EntryChanged();
}

void TDegreeSpin::SetDigits(int value) {
    if (value < 0 || value > MaxDigits)
        throw ERangeError();
    if (value == DigitsValue)
        return;
    DigitsValue = static_cast<TDecimalDigits>(value);
    ArrangeParts();
    repaint();
}

void TDegreeSpin::SetMaxValue(double value) {
    if (value == MaxValueValue)
        return;
    MaxValueValue = value;
    if (UseLimitValue && Degrees() > value)
        SetDegrees(value);
}

void TDegreeSpin::SetMinValue(double value) {
    if (value == MinValueValue)
        return;
    MinValueValue = value;
    if (UseLimitValue && Degrees() < value)
        SetDegrees(value);
}

QString TDegreeSpin::UnitsString() const {
    return HoursLabelValue->text();
}

void TDegreeSpin::SetUnitsString(const QString& value) {
    HoursLabelValue->setText(value);
    HoursLabelValue->resize(HoursLabelValue->sizeHint());
}

void TDegreeSpin::SetAlignment(TAlignment value) {
    if (value == AlignmentValue)
        return;
    AlignmentValue = value;
    for (TEditEx* edit : {HoursEditValue, MinutesEditValue, SecondsEditValue})
        edit->SetAlignment(value);
}

void TDegreeSpin::SetSpinFont(const QFont& value) {
    SpinFontValue = value;
    ArrangeParts();
}

void TDegreeSpin::SetLabelFont(const QFont& value) {
    LabelFontValue = value;
    ArrangeParts();
}

void TDegreeSpin::SetBounds(int left, int top, int width, int height) {
    setGeometry(left, top, width, height);
    // A hidden widget gets its resize event only when shown; lay out now all the same.
    ArrangeParts();
}

void TDegreeSpin::StoreTicks(int64_t value) {
    if (UseLimitValue) {
        double e = static_cast<double>(value) / static_cast<double>(TicksPerHour);
        const double hour = static_cast<double>(TicksPerHour);
        // Wrapping needs a span to wrap in; without one the limits clamp.
        const double span = MaxValueValue - MinValueValue;
        const bool wrap = WrapValue && span > 0 && std::isfinite(span);
        if (e >= MaxValueValue) {
            if (wrap) {
                e = MinValueValue + std::fmod(e - MaxValueValue, span);
                value = RoundTicks(e * hour);
            } else {
                // Cut, not rounded, so the stored value never exceeds the maximum.
                value = TruncTicks(MaxValueValue * hour);
            }
        }
        if (e < MinValueValue) {
            if (wrap) {
                e = MaxValueValue - std::fmod(MinValueValue - e, span);
                value = RoundTicks(e * hour);
            } else {
                value = RoundTicks(MinValueValue * hour);
            }
        }
    }
    TicksValue = TruncToPowerOfTen(value, MaxDigits - DigitsValue);
}

void TDegreeSpin::StepBy(int64_t delta) {
    int64_t sum = 0;
    if (__builtin_add_overflow(TicksValue, delta, &sum))
        sum =
            delta > 0 ? std::numeric_limits<int64_t>::max() : -std::numeric_limits<int64_t>::max();
    StoreTicks(sum);
    ShowValue();
    DoChange();
}

TDegreeSpin::TValueTexts TDegreeSpin::FormatValue() const {
    const bool negative = TicksValue < 0;
    const int64_t magnitude = negative ? -TicksValue : TicksValue;
    int64_t rest = 0;
    int64_t secondsRest = 0;
    int64_t fraction = 0;
    const int64_t h = DivRem64(magnitude, TicksPerHour, rest);
    const int64_t m = DivRem64(rest, TicksPerMinute, secondsRest);
    const int64_t s = DivRem64(secondsRest, TicksPerSecond, fraction);
    TValueTexts texts;
    texts.Leading = negative && h == 0 ? QStringLiteral("-0") : QString::number(negative ? -h : h);
    texts.Minutes = QString::number(m);
    texts.Seconds = QString::number(s);
    if (fraction != 0) {
        const QString digits = PadRight(
            PadLeft(QString::number(fraction), MaxDigits, QLatin1Char('0')), 20, QLatin1Char('0'));
        texts.Seconds += SystemNumberFormat.DecimalChar() + digits.left(DigitsValue);
    }
    return texts;
}

void TDegreeSpin::ShowValue() {
    // Our own writes must not read back as entries, even when one of them throws.
    struct TShowingGuard {
        bool& Flag;
        explicit TShowingGuard(bool& flag) : Flag(flag) { Flag = true; }
        ~TShowingGuard() { Flag = false; }
    } guard(Showing);
    EntryNotValidValue = false;
    const TValueTexts texts = FormatValue();
    WriteKeepingCaret(HoursEditValue, texts.Leading);
    WriteKeepingCaret(MinutesEditValue, texts.Minutes);
    WriteKeepingCaret(SecondsEditValue, texts.Seconds);
}

void TDegreeSpin::EntryChanged() {
    if (Showing || Loading())
        return;
    const QString leadingText = HoursEditValue->text();
    int32_t h = 0;
    int32_t m = 0;
    double s = 0;
    if (!ReadInteger(leadingText, h) || !ReadInteger(MinutesEditValue->text(), m) ||
        !ReadReal(SecondsEditValue->text(), s))
        return;
    const bool negative = leadingText.contains(QLatin1Char('-')) || h < 0 || m < 0 || s < 0;
    const bool valid = m >= 0 && m <= 59 && s >= 0 && s < 60;
    EntryNotValidValue = !valid;
    if (!AutoCorrectValue && !valid) {
        DoChange();
        return;
    }
    const long double magnitude =
        static_cast<long double>(std::abs(static_cast<int64_t>(h))) * TicksPerHour +
        static_cast<long double>(std::abs(static_cast<int64_t>(m))) * TicksPerMinute +
        static_cast<long double>(RoundTicks(TicksPerSecond * std::fabs(s)));
    const int64_t value = SaturatedInt64(negative ? -magnitude : magnitude);
    if (value == TicksValue)
        return;
    StoreTicks(value);
    ShowValue();
    DoChange();
}

void TDegreeSpin::FilterKey(QChar& key) const {
    if (key == QLatin1Char('+') || key == QLatin1Char('-') || IsDigitChar(key) ||
        key == SystemNumberFormat.DecimalChar())
        return;
    constexpr char16_t firstPrintable = 32;
    constexpr char16_t enter = 13;
    if (key.unicode() >= firstPrintable || key.unicode() == enter)
        key = QChar();
}

void TDegreeSpin::ArrangeParts() {
    SetCaption(QString());
    TEditEx* const edits[] = {HoursEditValue, MinutesEditValue, SecondsEditValue};
    TUpDownButton* const spins[] = {HoursSpinValue, MinutesSpinValue, SecondsSpinValue};
    QLabel* const labels[] = {HoursLabelValue, MinutesLabelValue, SecondsLabelValue};
    for (TEditEx* edit : edits)
        edit->setFont(SpinFontValue);
    for (QLabel* label : labels)
        label->setFont(LabelFontValue);

    const int fullWidth = width();
    int fieldWidths[3];
    for (int field = 0; field < 3; ++field)
        fieldWidths[field] = RoundAway(fullWidth * WidthShares[DigitsValue][field] / 100.0);
    const int gap = (fullWidth - fieldWidths[0] - fieldWidths[1] - fieldWidths[2]) / 4;
    const int lefts[3] = {gap + 1, fieldWidths[0] + 2 * gap + 1,
                          fieldWidths[0] + fieldWidths[1] + 3 * gap + 1};
    const int editHeight = HoursEditValue->sizeHint().height();
    const int labelHeight = HoursLabelValue->sizeHint().height();
    const int top = RoundAway((height() - editHeight - labelHeight - 2) * 75 / 100.0);
    for (int field = 0; field < 3; ++field) {
        const int editWidth = fieldWidths[field] - ButtonWidth;
        edits[field]->setGeometry(lefts[field], top, editWidth, editHeight);
        // The button overlaps the edit's last pixel column.
        spins[field]->SetBounds(lefts[field] + editWidth - 1, top, ButtonWidth, editHeight);
        labels[field]->setGeometry(lefts[field], top + editHeight,
                                   labels[field]->sizeHint().width(), labelHeight);
    }
}

void TDegreeSpin::DoChange() {
    if (!BlockChangeEventValue && OnChange)
        OnChange(this);
}

void TDegreeSpin::paintEvent(QPaintEvent* event) {
    TPanel::paintEvent(event);
    // Qt repaints a parent under its children's own updates (a blinking caret); only a paint
    // of the panel itself shows the value again, so typing is not undone mid-entry.
    QRegion own = event->region();
    for (const QWidget* child :
         std::initializer_list<const QWidget*>{HoursEditValue, MinutesEditValue, SecondsEditValue,
                                               HoursSpinValue, MinutesSpinValue, SecondsSpinValue})
        own -= child->geometry();
    if (!own.isEmpty())
        ShowValue();
}

void TDegreeSpin::resizeEvent(QResizeEvent* event) {
    TPanel::resizeEvent(event);
    ArrangeParts();
}
