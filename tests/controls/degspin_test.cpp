#include <gtest/gtest.h>

#include <QLabel>
#include <cmath>

#include "controls/degspin.h"
#include "controls/spinbuttons.h"
#include "support/errors.h"
#include "tests/controls/controltest.h"

namespace {

// Lets the tables below print through the shared printers.
using ::PrintTo;

constexpr int64_t TicksPerSecond = 100000;
constexpr int64_t TicksPerMinute = 60 * TicksPerSecond;
constexpr int64_t TicksPerHour = 3600 * TicksPerSecond;
// The smallest delay, 0.1 s, in hours as the main window states it.
constexpr double TenthSecondHours = 2.77777777777778e-05;

struct TSpinFixture {
    TVirtualClock Clock;
    QWidget Window;
    TDegreeSpin* Spin;
    int Changes = 0;

    TSpinFixture() : Spin(new TDegreeSpin(&Window)) {
        Spin->SetBounds(0, 0, 152, 50);
        Spin->OnChange = [this](QObject* sender) {
            EXPECT_EQ(sender, Spin);
            ++Changes;
        };
        for (TUpDownButton* spin : {Spin->HoursSpin(), Spin->MinutesSpin(), Spin->SecondsSpin()})
            for (TArrowButton* arrow : {spin->UpButton(), spin->DownButton()})
                arrow->SetRepeatTimerFactory(Clock.Factory());
    }

    // The delay entry as the main window sets it up.
    void UseDelayLimits() {
        Spin->SetDegrees(TenthSecondHours);
        Spin->SetMaxValue(24);
        Spin->SetMinValue(TenthSecondHours);
        Spin->SetUseLimit(true);
        Spin->SetSecInc(0.1);
        Changes = 0;
    }

    QStringList Texts() const {
        return {Spin->HoursEdit()->text(), Spin->MinutesEdit()->text(),
                Spin->SecondsEdit()->text()};
    }

    static void Click(TArrowButton* arrow) {
        Press(arrow);
        Release(arrow);
    }
};

struct TTextCase {
    int Digits;
    double Seconds;
    QStringList Texts;
};

void PrintTo(const TTextCase& c, std::ostream* out) {
    *out << c.Seconds << " s, " << c.Digits << " digits";
}

class DegreeSpinTexts : public testing::TestWithParam<TTextCase> {};

TEST_P(DegreeSpinTexts, ShowSignedHoursMinutesAndCutSeconds) {
    const TTextCase& c = GetParam();
    TSpinFixture f;
    f.Spin->SetDigits(c.Digits);
    f.Spin->SetDegrees(c.Seconds / 3600);
    EXPECT_EQ(f.Texts(), c.Texts);
}

INSTANTIATE_TEST_SUITE_P(Values, DegreeSpinTexts,
                         testing::Values(TTextCase{1, 1.5 * 3600, {"1", "30", "0"}},
                                         TTextCase{1, 0.1, {"0", "0", "0.1"}},
                                         TTextCase{1, -90.5, {"-0", "1", "30.5"}},
                                         TTextCase{1, -3661.5, {"-1", "1", "1.5"}},
                                         TTextCase{2, 5.5, {"0", "0", "5.50"}},
                                         TTextCase{2, 65.07, {"0", "1", "5.07"}},
                                         TTextCase{0, 12.25 * 3600 + 0.9, {"12", "15", "0"}},
                                         TTextCase{3, 59.9999, {"0", "0", "59.999"}},
                                         TTextCase{5, 1.23456, {"0", "0", "1.23456"}},
                                         TTextCase{1, 30 * 3600.0, {"30", "0", "0"}}));

TEST(DegreeSpin, NewControlShowsEmptyFieldsUntilItsFirstPaint) {
    TSpinFixture f;
    EXPECT_EQ(f.Texts(), QStringList({"", "", ""}));
    ShowAndSettle(f.Window);
    f.Spin->repaint();
    EXPECT_EQ(f.Texts(), QStringList({"0", "0", "0"}));
}

TEST(DegreeSpin, FewerDigitsCutTheShownFractionButKeepTheTicks) {
    TSpinFixture f;
    ShowAndSettle(f.Window);
    f.Spin->SetDigits(2);
    f.Spin->SetDegrees(0.55 / 3600);
    EXPECT_EQ(f.Spin->SecondsEdit()->text(), "0.55");
    f.Spin->SetDigits(1);
    EXPECT_EQ(f.Spin->SecondsEdit()->text(), "0.5");
    EXPECT_EQ(f.Spin->Ticks(), 55000);
    EXPECT_THROW(f.Spin->SetDigits(6), ERangeError);
}

struct TLimitCase {
    const char* Name;
    double Min, Max;
    bool Wrap;
    int Digits;
    double Hours;
    int64_t Ticks;
};

class DegreeSpinLimits : public testing::TestWithParam<TLimitCase> {};

TEST_P(DegreeSpinLimits, StoreKeepsTheValueWithinTheLimits) {
    const TLimitCase& c = GetParam();
    TSpinFixture f;
    f.Spin->SetDigits(c.Digits);
    f.Spin->SetMaxValue(c.Max);
    f.Spin->SetMinValue(c.Min);
    f.Spin->SetWrap(c.Wrap);
    f.Spin->SetUseLimit(true);
    f.Spin->SetDegrees(c.Hours);
    EXPECT_EQ(f.Spin->Ticks(), c.Ticks);
    if (c.Max >= c.Min) {
        EXPECT_LE(f.Spin->Degrees(), c.Max);
        EXPECT_GE(f.Spin->Degrees(), c.Min - 1e-12);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DegreeSpinLimits,
    testing::Values(
        TLimitCase{"BelowMinimum", TenthSecondHours, 24, false, 1, 0, 10000},
        TLimitCase{"AboveMaximum", TenthSecondHours, 24, false, 1, 25, 24 * TicksPerHour},
        // 1.2345678 h is 444,444,408 ticks; the 0.1 s grid cuts it down, never up.
        TLimitCase{"TruncatedMaximum", 0, 1.2345678, false, 1, 2, 444440000},
        TLimitCase{"MinimumWinsOverLowerMaximum", 2, 1, false, 1, 1.5, 2 * TicksPerHour},
        TLimitCase{"WrapPastMaximum", 0, 24, true, 1, 25, 1 * TicksPerHour},
        TLimitCase{"WrapBelowMinimum", 0, 24, true, 1, -1, 23 * TicksPerHour},
        TLimitCase{"WrapNegativeMinimum", -2, 2, true, 1, 3, -1 * TicksPerHour},
        TLimitCase{"WrapManySpans", 0, 24, true, 1, 1000, 16 * TicksPerHour},
        TLimitCase{"WrapPositiveMinimumAbove", 1, 3, true, 1, 3.5, 3 * TicksPerHour / 2},
        TLimitCase{"WrapPositiveMinimumBelow", 1, 3, true, 1, 0.5, 5 * TicksPerHour / 2},
        // No span to wrap in: the limits clamp instead of looping for ever.
        TLimitCase{"WrapWithoutSpan", 0, 0, true, 1, 5, 0},
        TLimitCase{"HugeValueSaturates", 0, 1e300, false, 5, 1e300,
                   std::numeric_limits<int64_t>::max()}),
    [](const testing::TestParamInfo<TLimitCase>& info) { return std::string(info.param.Name); });

TEST(DegreeSpin, LimitChangesMoveTheValueOnlyWhenItLiesOutside) {
    TSpinFixture f;
    f.Spin->SetDegrees(30);
    f.Spin->SetMaxValue(24);
    // Limits act only with UseLimit, and switching it on moves nothing.
    EXPECT_EQ(f.Spin->Degrees(), 30);
    f.Spin->SetUseLimit(true);
    EXPECT_EQ(f.Spin->Degrees(), 30);
    f.Changes = 0;
    f.Spin->SetMaxValue(20);
    EXPECT_EQ(f.Spin->Degrees(), 20);
    EXPECT_EQ(f.Changes, 1);
    f.Spin->SetMaxValue(20);
    f.Spin->SetMaxValue(22);
    EXPECT_EQ(f.Changes, 1);
    f.Spin->SetMinValue(21);
    EXPECT_EQ(f.Spin->Degrees(), 21);
    EXPECT_EQ(f.Changes, 2);
    f.Spin->SetMinValue(1);
    EXPECT_EQ(f.Spin->Degrees(), 21);
    EXPECT_EQ(f.Changes, 2);
}

struct TStepCase {
    const char* Name;
    double StartSeconds;
    int Field; // 0 leading, 1 minutes, 2 seconds
    bool Up;
    double SecInc;
    int64_t Ticks;
};

class DegreeSpinSteps : public testing::TestWithParam<TStepCase> {};

TEST_P(DegreeSpinSteps, ArrowAddsItsUnitToTheWholeValue) {
    const TStepCase& c = GetParam();
    TSpinFixture f;
    f.Spin->SetSecInc(c.SecInc);
    f.Spin->SetDegrees(c.StartSeconds / 3600);
    f.Changes = 0;
    TUpDownButton* spins[] = {f.Spin->HoursSpin(), f.Spin->MinutesSpin(), f.Spin->SecondsSpin()};
    TSpinFixture::Click(c.Up ? spins[c.Field]->UpButton() : spins[c.Field]->DownButton());
    EXPECT_EQ(f.Spin->Ticks(), c.Ticks);
    EXPECT_EQ(f.Changes, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DegreeSpinSteps,
    testing::Values(TStepCase{"MinuteDownBorrows", 3600, 1, false, 1, 59 * TicksPerMinute},
                    TStepCase{"SecondUpCarries", 3599.5, 2, true, 1, TicksPerHour + 50000},
                    TStepCase{"HourUp", 0, 0, true, 1, TicksPerHour},
                    TStepCase{"HourDownGoesNegative", 0, 0, false, 1, -TicksPerHour},
                    TStepCase{"TenthSecondIncrement", 1, 2, true, 0.1, 110000},
                    // One tick up is cut away again by the 0.1 s grid; one down drops a whole step.
                    TStepCase{"OneTickUpChangesNothing", 1, 2, true, 0.00001, 100000},
                    TStepCase{"OneTickDownDropsToTheGrid", 1, 2, false, 0.00001, 90000}),
    [](const testing::TestParamInfo<TStepCase>& info) { return std::string(info.param.Name); });

TEST(DegreeSpin, SecondsDownAtTheMinimumStaysAndStillNotifies) {
    TSpinFixture f;
    f.UseDelayLimits();
    TSpinFixture::Click(f.Spin->SecondsSpin()->DownButton());
    EXPECT_EQ(f.Spin->Ticks(), 10000);
    EXPECT_EQ(f.Changes, 1);
    EXPECT_EQ(f.Texts(), QStringList({"0", "0", "0.1"}));
}

TEST(DegreeSpin, HeldArrowRepeatsSteps) {
    TSpinFixture f;
    f.UseDelayLimits();
    Press(f.Spin->SecondsSpin()->UpButton());
    f.Clock.Advance(1000); // seven repeats
    Release(f.Spin->SecondsSpin()->UpButton());
    EXPECT_EQ(f.Spin->Ticks(), 10000 + 8 * 10000);
    EXPECT_EQ(f.Changes, 8);
}

struct TEntryCase {
    const char* Name;
    QStringList Typed;
    bool AutoCorrect;
    int64_t Ticks;
    QStringList Shown;
    int Changes;
};

class DegreeSpinEntries : public testing::TestWithParam<TEntryCase> {};

TEST_P(DegreeSpinEntries, TypedFieldsMakeTheValue) {
    const TEntryCase& c = GetParam();
    TSpinFixture f;
    f.UseDelayLimits();
    f.Spin->SetAutoCorrect(c.AutoCorrect);
    f.Spin->SetDegrees(0);
    f.Spin->SetUseLimit(false);
    f.Spin->SetDegrees(0);
    f.Changes = 0;
    TEditEx* edits[] = {f.Spin->HoursEdit(), f.Spin->MinutesEdit(), f.Spin->SecondsEdit()};
    for (int field = 0; field < 3; ++field)
        if (!c.Typed[field].isNull())
            edits[field]->setText(c.Typed[field]);
    EXPECT_EQ(f.Spin->Ticks(), c.Ticks);
    EXPECT_EQ(f.Texts(), c.Shown);
    EXPECT_EQ(f.Changes, c.Changes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DegreeSpinEntries,
    testing::Values(
        TEntryCase{"MinutesCarryIntoHours",
                   {QString(), "75", QString()},
                   true,
                   75 * TicksPerMinute,
                   {"1", "15", "0"},
                   1},
        TEntryCase{
            "SecondsCarry", {QString(), QString(), "75.5"}, true, 7550000, {"0", "1", "15.5"}, 1},
        TEntryCase{
            "NoAutoCorrectKeepsValue", {QString(), "75", QString()}, false, 0, {"0", "75", "0"}, 1},
        TEntryCase{"EmptyFieldIsIgnored", {"", QString(), QString()}, true, 0, {"", "0", "0"}, 0},
        TEntryCase{
            "NotANumberIsIgnored", {QString(), "1.5", QString()}, true, 0, {"0", "1.5", "0"}, 0},
        TEntryCase{"MinusAnywhereInLeadingMakesNegative",
                   {"-0", "1", "30.5"},
                   true,
                   -9050000,
                   {"-0", "1", "30.5"},
                   2},
        TEntryCase{"NegativeMinutesMakeNegative",
                   {QString(), "-5", QString()},
                   true,
                   -5 * TicksPerMinute,
                   {"-0", "5", "0"},
                   1},
        TEntryCase{"SameValueChangesNothing", {"0", "0", "0.0"}, true, 0, {"0", "0", "0.0"}, 0},
        TEntryCase{"PlusSignIsANumber",
                   {"+2", QString(), QString()},
                   true,
                   2 * TicksPerHour,
                   {"2", "0", "0"},
                   1}),
    [](const testing::TestParamInfo<TEntryCase>& info) { return std::string(info.param.Name); });

TEST(DegreeSpin, EntryBeyondTheMaximumIsClamped) {
    TSpinFixture f;
    f.UseDelayLimits();
    f.Spin->HoursEdit()->setText("25");
    EXPECT_EQ(f.Spin->Ticks(), 24 * TicksPerHour);
    EXPECT_EQ(f.Texts(), QStringList({"24", "0", "0"}));
    EXPECT_EQ(f.Changes, 1);
}

TEST(DegreeSpin, TypingACarryKeepsTheCaretInItsField) {
    TSpinFixture f;
    ShowAndSettle(f.Window);
    f.Spin->SetDegrees(0);
    TEditEx* minutes = f.Spin->MinutesEdit();
    minutes->setFocus();
    minutes->setText("5");
    minutes->setCursorPosition(0);
    TypeText(minutes, "7");
    EXPECT_EQ(f.Texts(), QStringList({"1", "15", "0"}));
    EXPECT_EQ(minutes->cursorPosition(), 1);
    minutes->selectAll();
    TypeText(minutes, "75");
    EXPECT_EQ(f.Texts(), QStringList({"2", "15", "0"}));
    EXPECT_EQ(minutes->cursorPosition(), 2);
}

TEST(DegreeSpin, InvalidEntryFlagIsClearedWhenTheValueIsShown) {
    TSpinFixture f;
    f.Spin->SetAutoCorrect(false);
    f.Spin->SetDegrees(0);
    f.Spin->SecondsEdit()->setText("60");
    EXPECT_TRUE(f.Spin->EntryNotValid());
    f.Spin->SetDegrees(1);
    EXPECT_FALSE(f.Spin->EntryNotValid());
}

TEST(DegreeSpin, KeyFilterPassesDigitsSignsAndTheSeparatorOnly) {
    TSpinFixture f;
    TEditEx* seconds = f.Spin->SecondsEdit();
    seconds->setText("");
    TypeText(seconds, "1a2 b,+-.3x");
    EXPECT_EQ(seconds->text(), "12+-.3");
    // Control characters pass: backspace still deletes.
    TypeKey(seconds, Qt::Key_Backspace, "\b");
    EXPECT_EQ(seconds->text(), "12+-.");
    EXPECT_FALSE(TypeKey(seconds, Qt::Key_Return, "\r"));
}

TEST(DegreeSpin, RepaintRestoresAnUnreadableFieldButACaretBlinkDoesNot) {
    TSpinFixture f;
    ShowAndSettle(f.Window);
    f.Spin->SetDegrees(2);
    f.Spin->HoursEdit()->setText("");
    f.Spin->HoursEdit()->repaint();
    QApplication::processEvents();
    EXPECT_EQ(f.Spin->HoursEdit()->text(), "");
    f.Spin->repaint();
    EXPECT_EQ(f.Spin->HoursEdit()->text(), "2");
}

TEST(DegreeSpin, BlockChangeEventSilencesEveryChange) {
    TSpinFixture f;
    f.Spin->SetBlockChangeEvent(true);
    f.Spin->SetDegrees(1);
    TSpinFixture::Click(f.Spin->MinutesSpin()->UpButton());
    f.Spin->SecondsEdit()->setText("5");
    f.Spin->SetAutoCorrect(false);
    f.Spin->SecondsEdit()->setText("65");
    EXPECT_EQ(f.Spin->Ticks(), TicksPerHour + TicksPerMinute + 5 * TicksPerSecond);
    EXPECT_EQ(f.Changes, 0);
}

TEST(DegreeSpin, LoadingSetsTheValueSilentlyAndFieldSettersOnlyWriteText) {
    TSpinFixture f;
    f.Spin->BeginLoading();
    f.Spin->SetDegrees(TenthSecondHours);
    f.Spin->SetHours(0);
    f.Spin->SetMinutes(5);
    f.Spin->SetSeconds(0.1);
    f.Spin->SetMaxValue(24);
    f.Spin->SetMinValue(TenthSecondHours);
    f.Spin->SetUseLimit(true);
    f.Spin->EndLoading();
    EXPECT_EQ(f.Changes, 0);
    EXPECT_EQ(f.Spin->Ticks(), 10000);
    EXPECT_EQ(f.Texts(), QStringList({"0", "5", "0.1"}));
    // After loading the setters act as entries.
    f.Spin->SetMinutes(2);
    EXPECT_EQ(f.Spin->Ticks(), 2 * TicksPerMinute + 10000);
    EXPECT_EQ(f.Changes, 1);
}

TEST(DegreeSpin, FieldPropertiesReadAndWriteTheTexts) {
    TSpinFixture f;
    f.Spin->SetDegrees(0);
    f.Spin->SetHours(3);
    f.Spin->SetSeconds(30.5);
    EXPECT_EQ(f.Spin->Ticks(), 3 * TicksPerHour + 3050000);
    EXPECT_EQ(f.Spin->Hours(), 3);
    EXPECT_EQ(f.Spin->Minutes(), 0);
    EXPECT_EQ(f.Spin->Seconds(), 30.5);
    f.Spin->HoursEdit()->setText("x");
    EXPECT_EQ(f.Spin->Hours(), 0);
}

struct TArrangeCase {
    int Width, Digits;
    int Lefts[3], Widths[3];
};

void PrintTo(const TArrangeCase& c, std::ostream* out) {
    *out << "width " << c.Width << ", " << c.Digits << " digits";
}

class DegreeSpinArrange : public testing::TestWithParam<TArrangeCase> {};

TEST_P(DegreeSpinArrange, FieldsShareTheWidth) {
    const TArrangeCase& c = GetParam();
    TSpinFixture f;
    f.Spin->SetDigits(c.Digits);
    f.Spin->SetBounds(0, 0, c.Width, 50);
    TEditEx* edits[] = {f.Spin->HoursEdit(), f.Spin->MinutesEdit(), f.Spin->SecondsEdit()};
    TUpDownButton* spins[] = {f.Spin->HoursSpin(), f.Spin->MinutesSpin(), f.Spin->SecondsSpin()};
    QLabel* labels[] = {f.Spin->HoursLabel(), f.Spin->MinutesLabel(), f.Spin->SecondsLabel()};
    const int editHeight = edits[0]->height();
    const int top =
        static_cast<int>(std::lround((50 - editHeight - labels[0]->height() - 2) * 0.75));
    for (int field = 0; field < 3; ++field) {
        SCOPED_TRACE(field);
        EXPECT_EQ(edits[field]->geometry(),
                  QRect(c.Lefts[field], top, c.Widths[field], editHeight));
        EXPECT_EQ(spins[field]->geometry(),
                  QRect(c.Lefts[field] + c.Widths[field] - 1, top, 15, editHeight));
        EXPECT_EQ(labels[field]->pos(), QPoint(c.Lefts[field], top + editHeight));
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DegreeSpinArrange,
                         testing::Values(TArrangeCase{152, 1, {7, 62, 104}, {34, 21, 28}},
                                         TArrangeCase{152, 0, {7, 68, 110}, {40, 21, 21}},
                                         TArrangeCase{200, 5, {9, 65, 121}, {33, 33, 57}},
                                         // 46.5 rounds away from zero to 47.
                                         TArrangeCase{155, 2, {7, 60, 103}, {32, 22, 32}}));

TEST(DegreeSpin, ResizeReArrangesTheParts) {
    TSpinFixture f;
    ShowAndSettle(f.Window);
    f.Spin->resize(200, 50);
    f.Spin->SetDigits(5);
    EXPECT_EQ(f.Spin->SecondsEdit()->x(), 121);
}

TEST(DegreeSpin, DisablingReachesAllNineChildren) {
    TSpinFixture f;
    f.Spin->setEnabled(false);
    const QWidget* children[] = {
        f.Spin->HoursEdit(),  f.Spin->MinutesEdit(),  f.Spin->SecondsEdit(),
        f.Spin->HoursSpin(),  f.Spin->MinutesSpin(),  f.Spin->SecondsSpin(),
        f.Spin->HoursLabel(), f.Spin->MinutesLabel(), f.Spin->SecondsLabel()};
    for (const QWidget* child : children)
        EXPECT_FALSE(child->isEnabled());
    f.Spin->setEnabled(true);
    for (const QWidget* child : children)
        EXPECT_TRUE(child->isEnabled());
}

TEST(DegreeSpin, CaptionsFontsAndAlignmentReachTheParts) {
    TSpinFixture f;
    EXPECT_EQ(f.Spin->HoursLabel()->text(), "Deg");
    EXPECT_EQ(f.Spin->MinutesLabel()->text(), "Min");
    EXPECT_EQ(f.Spin->SecondsLabel()->text(), "Sec");
    EXPECT_EQ(f.Spin->LabelFont().family(), "Arial");
    EXPECT_EQ(f.Spin->LabelFont().pointSize(), 8);
    f.Spin->SetUnitsString("Hours");
    EXPECT_EQ(f.Spin->UnitsString(), "Hours");
    QFont spinFont("MS Sans Serif");
    spinFont.setPixelSize(11);
    f.Spin->SetSpinFont(spinFont);
    EXPECT_EQ(f.Spin->MinutesEdit()->font(), spinFont);
    QFont labelFont("Arial");
    labelFont.setPixelSize(11);
    f.Spin->SetLabelFont(labelFont);
    EXPECT_EQ(f.Spin->SecondsLabel()->font(), labelFont);
    f.Spin->SetAlignment(TAlignment::taRightJustify);
    EXPECT_EQ(f.Spin->SecondsEdit()->Alignment(), TAlignment::taRightJustify);
}

} // namespace
