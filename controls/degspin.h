#pragma once

#include <QFont>
#include <cstdint>
#include <functional>

#include "controls/loading.h"
#include "controls/panel.h"

class QLabel;
class TEditEx;
class TUpDownButton;

// Decimals shown for the seconds, 0 to 5.
using TDecimalDigits = uint8_t;

// Entry of a signed sexagesimal quantity in three fields (leading unit, minutes, seconds), each
// an edit with an up/down button and a caption under it. The value is held exactly as a count
// of 1/100000 s; every entry, arrow click or property change recomputes the count, applies the
// limits and rewrites all three texts, so minutes and seconds carry into the fields on their
// left. The leading unit is the hour (or degree) whatever the captions say.
class TDegreeSpin : public TPanel, public TLoadingState {
public:
    explicit TDegreeSpin(QWidget* parent = nullptr);
    ~TDegreeSpin() override;

    // The leading unit as a real number: hours here, degrees for an angle entry.
    double Degrees() const;
    void SetDegrees(double value);
    // The number written in each field; 0 when the field does not read as one.
    int32_t Hours() const;
    void SetHours(int32_t value);
    int32_t Minutes() const;
    void SetMinutes(int32_t value);
    double Seconds() const;
    void SetSeconds(double value);

    TDecimalDigits Digits() const { return DigitsValue; }
    // Raises ERangeError above 5.
    void SetDigits(int value);

    double MaxValue() const { return MaxValueValue; }
    void SetMaxValue(double value);
    double MinValue() const { return MinValueValue; }
    void SetMinValue(double value);
    bool UseLimit() const { return UseLimitValue; }
    void SetUseLimit(bool value) { UseLimitValue = value; }
    bool Wrap() const { return WrapValue; }
    void SetWrap(bool value) { WrapValue = value; }
    bool BlockChangeEvent() const { return BlockChangeEventValue; }
    void SetBlockChangeEvent(bool value) { BlockChangeEventValue = value; }
    // Out-of-range minutes and seconds are added in (true) or the entry is left alone (false).
    bool AutoCorrect() const { return AutoCorrectValue; }
    void SetAutoCorrect(bool value) { AutoCorrectValue = value; }
    // Seconds per click of the seconds arrows.
    double SecInc() const { return SecIncValue; }
    void SetSecInc(double value) { SecIncValue = value; }

    QString UnitsString() const;
    void SetUnitsString(const QString& value);
    TAlignment Alignment() const { return AlignmentValue; }
    void SetAlignment(TAlignment value);
    const QFont& SpinFont() const { return SpinFontValue; }
    void SetSpinFont(const QFont& value);
    const QFont& LabelFont() const { return LabelFontValue; }
    void SetLabelFont(const QFont& value);

    // The exact value in ticks of 1/100000 s.
    int64_t Ticks() const { return TicksValue; }
    // The last entry had minutes or seconds out of range; cleared when the value is shown.
    bool EntryNotValid() const { return EntryNotValidValue; }

    // Places and sizes the control and lays out its parts at once, shown or not.
    void SetBounds(int left, int top, int width, int height);

    TEditEx* HoursEdit() const { return HoursEditValue; }
    TEditEx* MinutesEdit() const { return MinutesEditValue; }
    TEditEx* SecondsEdit() const { return SecondsEditValue; }
    TUpDownButton* HoursSpin() const { return HoursSpinValue; }
    TUpDownButton* MinutesSpin() const { return MinutesSpinValue; }
    TUpDownButton* SecondsSpin() const { return SecondsSpinValue; }
    QLabel* HoursLabel() const { return HoursLabelValue; }
    QLabel* MinutesLabel() const { return MinutesLabelValue; }
    QLabel* SecondsLabel() const { return SecondsLabelValue; }

    std::function<void(QObject* sender)> OnChange;

    // Ticks in one second, one minute and one leading unit.
    const int64_t TicksPerSecond;
    const int64_t TicksPerMinute;
    const int64_t TicksPerHour;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    struct TValueTexts {
        QString Leading, Minutes, Seconds;
    };

    void StoreTicks(int64_t value);
    void StepBy(int64_t delta);
    void ShowValue();
    TValueTexts FormatValue() const;
    void EntryChanged();
    void FilterKey(QChar& key) const;
    void ArrangeParts();
    void DoChange();

    TAlignment AlignmentValue = TAlignment::taLeftJustify;
    TDecimalDigits DigitsValue = 1;
    bool Showing = false;
    TEditEx* HoursEditValue;
    TUpDownButton* HoursSpinValue;
    TEditEx* MinutesEditValue;
    TUpDownButton* MinutesSpinValue;
    TEditEx* SecondsEditValue;
    TUpDownButton* SecondsSpinValue;
    bool UseLimitValue = false;
    bool WrapValue = false;
    double MinValueValue = 0;
    double MaxValueValue = 0;
    QLabel* HoursLabelValue;
    QLabel* MinutesLabelValue;
    QLabel* SecondsLabelValue;
    QFont SpinFontValue;
    QFont LabelFontValue;
    bool BlockChangeEventValue = false;
    bool AutoCorrectValue = true;
    double SecIncValue = 1.0;
    int64_t TicksValue = 0;
    bool EntryNotValidValue = false;
};
