#include <gtest/gtest.h>

#include "controls/colors.h"
#include "controls/gauges.h"
#include "support/errors.h"
#include "tests/controls/controltest.h"

namespace {

struct TLengthCase {
    int32_t Percent, Length, Expected;
};

void PrintTo(const TLengthCase& c, std::ostream* out) {
    *out << c.Percent << "% of " << c.Length;
}

class PercentOfLengthCases : public testing::TestWithParam<TLengthCase> {};

TEST_P(PercentOfLengthCases, TruncatesTheExtendedProduct) {
    const TLengthCase& c = GetParam();
    EXPECT_EQ(PercentOfLength(c.Percent, c.Length), c.Expected);
}

// 0.01 in extended precision lies just below 1/100, so some whole products lose one.
INSTANTIATE_TEST_SUITE_P(Cases, PercentOfLengthCases,
                         testing::Values(TLengthCase{5, 100, 4}, TLengthCase{20, 15, 2},
                                         TLengthCase{50, 206, 103}, TLengthCase{100, 206, 206},
                                         TLengthCase{0, 206, 0}, TLengthCase{33, 99, 32}));

TEST(PercentOfLength, EveryPercentOf16And206IsExact) {
    for (const int32_t length : {16, 206})
        for (int32_t percent = 0; percent <= 100; ++percent)
            EXPECT_EQ(PercentOfLength(percent, length), percent * length / 100)
                << percent << "% of " << length;
}

struct TRangeCase {
    int64_t Part, Whole;
    int32_t Expected;
};

void PrintTo(const TRangeCase& c, std::ostream* out) {
    *out << c.Part << " of " << c.Whole;
}

class PercentOfRangeCases : public testing::TestWithParam<TRangeCase> {};

TEST_P(PercentOfRangeCases, TruncatesTowardZero) {
    const TRangeCase& c = GetParam();
    EXPECT_EQ(PercentOfRange(c.Part, c.Whole), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, PercentOfRangeCases,
                         testing::Values(TRangeCase{0, 0, 0}, TRangeCase{5, 0, 0},
                                         TRangeCase{999, 1000, 99}, TRangeCase{1000, 1000, 100},
                                         TRangeCase{1, 3, 33}, TRangeCase{-1, 3, -33},
                                         // The full 32-bit range does not overflow.
                                         TRangeCase{4294967294, 4294967294, 100}));

struct TProgressCase {
    int32_t Min, Max, Progress, Stored, Percent;
};

void PrintTo(const TProgressCase& c, std::ostream* out) {
    *out << c.Progress << " in " << c.Min << ".." << c.Max;
}

class GaugeProgress : public testing::TestWithParam<TProgressCase> {};

TEST_P(GaugeProgress, IsClampedToTheRange) {
    const TProgressCase& c = GetParam();
    TGauge gauge;
    gauge.SetMaxValue(c.Max);
    gauge.SetMinValue(c.Min);
    gauge.SetProgress(c.Progress);
    EXPECT_EQ(gauge.Progress(), c.Stored);
    EXPECT_EQ(gauge.Percent(), c.Percent);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GaugeProgress,
    testing::Values(TProgressCase{0, 1000, 999, 999, 99}, TProgressCase{0, 1000, 1000, 1000, 100},
                    TProgressCase{0, 1000, 2000, 1000, 100}, TProgressCase{0, 1000, -5, 0, 0},
                    TProgressCase{10, 10, 10, 10, 0}, TProgressCase{-100, 100, 0, 0, 50},
                    TProgressCase{-2147483647, 2147483647, 2147483647, 2147483647, 100}));

TEST(Gauge, LimitErrorsNameTheAllowedRangeAndStoreNothing) {
    TGauge gauge;
    try {
        gauge.SetMinValue(150);
        FAIL() << "no error";
    } catch (const EInvalidOperation& error) {
        EXPECT_EQ(error.Message(), "Value must be between -2147483647 and 99");
    }
    EXPECT_EQ(gauge.MinValue(), 0);
    gauge.SetMinValue(20);
    try {
        gauge.SetMaxValue(-5);
        FAIL() << "no error";
    } catch (const EInvalidOperation& error) {
        EXPECT_EQ(error.Message(), "Value must be between 21 and 2147483647");
    }
    EXPECT_EQ(gauge.MaxValue(), 100);
}

TEST(Gauge, LoadingAcceptsLimitsInAnyOrder) {
    TGauge gauge;
    gauge.BeginLoading();
    gauge.SetMinValue(500);
    gauge.SetMaxValue(1000);
    gauge.EndLoading();
    EXPECT_EQ(gauge.MinValue(), 500);
    EXPECT_EQ(gauge.MaxValue(), 1000);
    EXPECT_EQ(gauge.Progress(), 500);
}

TEST(Gauge, NewLimitsPullProgressIn) {
    TGauge gauge;
    gauge.SetProgress(50);
    gauge.SetMaxValue(30);
    EXPECT_EQ(gauge.Progress(), 30);
    gauge.SetMinValue(-10);
    gauge.SetProgress(-5);
    gauge.SetMinValue(0);
    EXPECT_EQ(gauge.Progress(), 0);
}

// A vertical level bar as the window places it.
TGauge* MakeLevelBar(QWidget* parent) {
    auto* gauge = new TGauge(parent);
    gauge->resize(15, 205);
    gauge->SetKind(TGaugeKind::gkVerticalBar);
    gauge->SetBorderStyle(TBorderStyle::bsNone);
    gauge->SetForeColor(clMaroon);
    gauge->SetBackColor(clWhite);
    gauge->SetShowText(false);
    return gauge;
}

// The first row from the top that shows the bar, or the height when none does.
int FirstBarRow(const QImage& image, int x) {
    for (int y = 0; y < image.height(); ++y)
        if (image.pixelColor(x, y) == clMaroon)
            return y;
    return image.height();
}

struct TBarCase {
    int32_t Percent;
    int FirstRow;
};

void PrintTo(const TBarCase& c, std::ostream* out) {
    *out << c.Percent << "%";
}

class GaugeVerticalBar : public testing::TestWithParam<TBarCase> {};

TEST_P(GaugeVerticalBar, FillsUpFromTheBottom) {
    const TBarCase& c = GetParam();
    QWidget window;
    TGauge* gauge = MakeLevelBar(&window);
    gauge->SetProgress(c.Percent);
    const QImage image = gauge->PaintImage();
    for (const int x : {0, 14}) {
        EXPECT_EQ(FirstBarRow(image, x), c.FirstRow) << "column " << x;
        for (int y = c.FirstRow; y < 205; ++y)
            ASSERT_EQ(image.pixelColor(x, y), clMaroon) << x << "," << y;
    }
}

// 15 x 205 without a border measures w = 16, h = 206: at 50 % the bar starts at row 103, and at
// 100 % it is cut to 205 rows, so the top row keeps the background. 1 % is 2 rows from 204, one
// of them below the control.
INSTANTIATE_TEST_SUITE_P(Cases, GaugeVerticalBar,
                         testing::Values(TBarCase{50, 103}, TBarCase{100, 1}, TBarCase{0, 205},
                                         TBarCase{1, 204}));

TEST(Gauge, EqualLimitsFillNothing) {
    QWidget window;
    TGauge* gauge = MakeLevelBar(&window);
    gauge->SetMaxValue(0);
    EXPECT_EQ(FirstBarRow(gauge->PaintImage(), 7), 205);
}

TEST(Gauge, HorizontalBarInsideABlackFrame) {
    TGauge gauge;
    gauge.SetShowText(false);
    gauge.SetForeColor(clMaroon);
    gauge.SetProgress(50);
    const QImage image = gauge.PaintImage();
    // Paint area 1..98: w = 99, 50 % of it is 49, filled from column 1 up to 48.
    EXPECT_EQ(image.pixelColor(0, 50), clBlack);
    EXPECT_EQ(image.pixelColor(99, 50), clBlack);
    EXPECT_EQ(image.pixelColor(50, 0), clBlack);
    EXPECT_EQ(image.pixelColor(50, 99), clBlack);
    EXPECT_EQ(image.pixelColor(1, 1), clMaroon);
    EXPECT_EQ(image.pixelColor(48, 98), clMaroon);
    EXPECT_EQ(image.pixelColor(49, 50), clWhite);
    EXPECT_EQ(image.pixelColor(98, 50), clWhite);
}

TEST(Gauge, TextShowsInverseOverBarAndBackground) {
    TGauge gauge;
    gauge.resize(120, 30);
    gauge.SetProgress(50);
    gauge.SetShowText(false);
    const QImage plain = gauge.PaintImage();
    gauge.SetShowText(true);
    const QImage withText = gauge.PaintImage();
    int overBar = 0;
    int overBackground = 0;
    for (int y = 0; y < plain.height(); ++y)
        for (int x = 0; x < plain.width(); ++x) {
            const QRgb before = plain.pixel(x, y);
            const QRgb after = withText.pixel(x, y);
            if (before == after)
                continue;
            ASSERT_EQ(after, before ^ 0x00FFFFFFu) << x << "," << y;
            (before == clBlack.rgb() ? overBar : overBackground)++;
        }
    EXPECT_GT(overBar, 0);
    EXPECT_GT(overBackground, 0);
}

TEST(Gauge, PieAndNeedleFollowThePercentage) {
    TGauge gauge;
    gauge.SetShowText(false);
    gauge.SetForeColor(clMaroon);
    gauge.SetBackColor(clWhite);
    gauge.SetKind(TGaugeKind::gkPie);
    gauge.SetProgress(25);
    QImage image = gauge.PaintImage();
    // The wedge grows clockwise from twelve o'clock.
    EXPECT_EQ(image.pixelColor(70, 30), clMaroon);
    EXPECT_EQ(image.pixelColor(30, 30), clWhite);
    EXPECT_EQ(image.pixelColor(70, 70), clWhite);
    gauge.SetProgress(75);
    image = gauge.PaintImage();
    EXPECT_EQ(image.pixelColor(30, 70), clMaroon);
    EXPECT_EQ(image.pixelColor(30, 30), clWhite);

    gauge.SetKind(TGaugeKind::gkNeedle);
    gauge.SetProgress(50);
    image = gauge.PaintImage();
    // Upright at 50 %, on a white half dial.
    EXPECT_EQ(image.pixelColor(50, 60), clMaroon);
    EXPECT_EQ(image.pixelColor(30, 80), clWhite);
}

// The dial reaches the edges of the paint rectangle (1..98 inside the frame) and goes no further:
// the platform's ellipses and pies stop before their right and bottom edges, and its lines
// before their last pixel, so the needle's tip leaves the frame above it black. Only the needle's
// base line runs on the frame, along the bottom.
TEST(Gauge, DialStaysInsideTheFrame) {
    TGauge gauge;
    gauge.SetShowText(false);
    gauge.SetForeColor(clMaroon);
    for (const auto& [kind, progress] :
         {std::pair(TGaugeKind::gkPie, 60), std::pair(TGaugeKind::gkNeedle, 50)}) {
        const bool needle = kind == TGaugeKind::gkNeedle;
        SCOPED_TRACE(needle ? "needle" : "pie");
        gauge.SetKind(kind);
        gauge.SetProgress(progress);
        const QImage image = gauge.PaintImage();
        const auto shows = [&image](const QRect& area) {
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x)
                    if (image.pixelColor(x, y) == clMaroon)
                        return true;
            return false;
        };
        EXPECT_TRUE(shows(QRect(1, 1, 1, 98)) && shows(QRect(1, 1, 98, 1)));
        EXPECT_TRUE(needle || (shows(QRect(98, 1, 1, 98)) && shows(QRect(1, 98, 98, 1))));
        EXPECT_FALSE(shows(QRect(0, 0, 1, 99)) || shows(QRect(99, 0, 1, 99)));
        EXPECT_FALSE(shows(QRect(0, 0, 100, 1)));
        EXPECT_EQ(shows(QRect(0, 99, 100, 1)), needle);
    }
}

TEST(Gauge, RepaintsOnlyWhenThePercentageChanges) {
    QWidget window;
    TGauge* gauge = MakeLevelBar(&window);
    gauge->SetMaxValue(1000);
    ShowAndSettle(window);
    int paints = 0;
    struct TPaintCounter : QObject {
        int& Count;
        explicit TPaintCounter(int& count) : Count(count) {}
        bool eventFilter(QObject*, QEvent* event) override {
            Count += event->type() == QEvent::Paint;
            return false;
        }
    } counter(paints);
    gauge->installEventFilter(&counter);
    for (int32_t progress = 1; progress < 10; ++progress)
        gauge->SetProgress(progress);
    QApplication::processEvents();
    EXPECT_EQ(paints, 0);
    gauge->SetProgress(10);
    QApplication::processEvents();
    EXPECT_EQ(paints, 1);
    gauge->SetForeColor(clRed);
    QApplication::processEvents();
    EXPECT_EQ(paints, 2);
    // The screen shows the off-screen picture.
    EXPECT_EQ(gauge->grab().toImage().convertToFormat(QImage::Format_RGB32), gauge->PaintImage());
}

TEST(GaugeLayer, MakeLikeTakesTheSizeAndTheFrameColour) {
    const QImage source(17, 9, QImage::Format_RGB32);
    TGaugeLayer bitmap;
    bitmap.MakeLike(source);
    EXPECT_EQ(bitmap.size(), QSize(17, 9));
    EXPECT_EQ(bitmap.pixelColor(16, 8), clWindowFrame);
}

} // namespace
