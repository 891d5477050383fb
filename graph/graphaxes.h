#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

// Notification with the changed object as sender.
using TNotifyEvent = std::function<void(QObject* sender)>;

// Stores value in field; true when that changed it, so a setter knows whether to notify.
template <class T> bool Change(T& field, const T& value) {
    if (field == value)
        return false;
    field = value;
    return true;
}

// One axis of a graph box: its range, grid, labels and the transform from axis values to label
// values. Every effective change of a property calls OnChange once.
class TAxisParams : public QObject {
    Q_OBJECT
public:
    explicit TAxisParams(QObject* parent = nullptr);

    TNotifyEvent OnChange;

    bool ExponentLabels() const { return ExponentLabels_; }
    void SetExponentLabels(bool value);
    bool Log() const { return Log_; }
    void SetLog(bool value);
    bool MinorLabels() const { return MinorLabels_; }
    void SetMinorLabels(bool value);
    bool MinorLines() const { return MinorLines_; }
    void SetMinorLines(bool value);
    double Min() const { return Min_; }
    void SetMin(double value);
    double Max() const { return Max_; }
    void SetMax(double value);
    double Multiplier() const { return Multiplier_; }
    void SetMultiplier(double value);
    double Offset() const { return Offset_; }
    void SetOffset(double value);
    int32_t Lines() const { return Lines_; }
    void SetLines(int32_t value);
    bool ShowLabels() const { return ShowLabels_; }
    void SetShowLabels(bool value);
    const QString& Units() const { return Units_; }
    void SetUnits(const QString& value);
    // Values below 1 are ignored: only multiples of a positive modulo make sense.
    int32_t LabelModulo() const { return LabelModulo_; }
    void SetLabelModulo(int32_t value);
    double Cycle() const { return Cycle_; }
    void SetCycle(double value);

    // On a log axis no bound may be 0 or below: such a Max, then such a Min, becomes 1.
    void CheckLogRange();
    // The value a label shows for axis value v.
    double LabelValue(double v) const;
    // A label text: LabelValue(v) in fixed point with the given decimals, then Units.
    QString LabelText(double v, int32_t decimals) const;

private:
    template <class T> void Assign(T& field, const T& value, bool checkLog = false);

    double Multiplier_ = 1.0;
    double Cycle_ = 0;
    double Offset_ = 0;
    int32_t Lines_ = 0;
    bool ShowLabels_ = false;
    bool MinorLabels_ = false;
    bool Log_ = false;
    QString Units_;
    int32_t LabelModulo_ = 1;
    bool ExponentLabels_ = false;
    bool MinorLines_ = false;
    double Min_ = 0;
    double Max_ = 0;
};

enum class TTitlePosition : uint8_t { tpCenter, tpLeft, tpRight };

class TGraphTitle : public QObject {
    Q_OBJECT
public:
    explicit TGraphTitle(QObject* parent = nullptr);

    TNotifyEvent OnChange;

    const QString& Caption() const { return Caption_; }
    void SetCaption(const QString& value);
    bool ShowCaption() const { return ShowCaption_; }
    void SetShowCaption(bool value);
    bool Boxed() const { return Boxed_; }
    void SetBoxed(bool value);
    TTitlePosition Position() const { return Position_; }
    void SetPosition(TTitlePosition value);

private:
    template <class T> void Assign(T& field, const T& value);

    QString Caption_;
    bool ShowCaption_ = false;
    bool Boxed_ = false;
    TTitlePosition Position_ = TTitlePosition::tpCenter;
};

// A tick of a log axis: Mantissa x 10^Exponent, Mantissa 1..9.
struct TLogTick {
    int32_t Mantissa = 1;
    int32_t Exponent = 0;
    bool operator==(const TLogTick&) const = default;
};

// The tick after the one at or below v.
TLogTick FirstLogTick(double v);
void NextLogTick(TLogTick& tick);
double LogTickValue(const TLogTick& tick);
// Visits the ticks strictly between min and max (always at least one) with their major flag.
void ForEachLogTick(double min, double max,
                    const std::function<void(const TLogTick& tick, bool major)>& visitor);

// Fixed-point text with the user's decimal separator and no digit grouping.
QString FixedText(double value, int32_t decimals);
