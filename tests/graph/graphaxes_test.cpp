#include "graph/graphaxes.h"
#include "graph/graphbox.h"
#include "tests/graph/paintrecorder.h"

#include <QFontMetrics>
#include <QImage>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <limits>

namespace {

struct TNotifyCount {
    int Count = 0;
    QObject* Sender = nullptr;
    TNotifyEvent Handler() {
        return [this](QObject* sender) {
            ++Count;
            Sender = sender;
        };
    }
};

struct TSetterCase {
    const char* Name;
    std::function<void(TAxisParams&)> Set;
};

TEST(AxisParams, EveryEffectiveChangeNotifiesOnceAndARepeatNotAtAll) {
    const TSetterCase cases[] = {
        {"ExponentLabels", [](TAxisParams& a) { a.SetExponentLabels(true); }},
        {"Log", [](TAxisParams& a) { a.SetLog(true); }},
        {"MinorLabels", [](TAxisParams& a) { a.SetMinorLabels(true); }},
        {"MinorLines", [](TAxisParams& a) { a.SetMinorLines(true); }},
        {"Min", [](TAxisParams& a) { a.SetMin(-3.5); }},
        {"Max", [](TAxisParams& a) { a.SetMax(12); }},
        {"Multiplier", [](TAxisParams& a) { a.SetMultiplier(2); }},
        {"Offset", [](TAxisParams& a) { a.SetOffset(1); }},
        {"Lines", [](TAxisParams& a) { a.SetLines(5); }},
        {"ShowLabels", [](TAxisParams& a) { a.SetShowLabels(true); }},
        {"Units", [](TAxisParams& a) { a.SetUnits(QStringLiteral("dB")); }},
        {"LabelModulo", [](TAxisParams& a) { a.SetLabelModulo(3); }},
        {"Cycle", [](TAxisParams& a) { a.SetCycle(360); }},
    };
    for (const TSetterCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TAxisParams axis;
        TNotifyCount notify;
        axis.OnChange = notify.Handler();
        c.Set(axis);
        EXPECT_EQ(notify.Count, 1);
        EXPECT_EQ(notify.Sender, &axis);
        c.Set(axis);
        EXPECT_EQ(notify.Count, 1);
    }
}

TEST(AxisParams, LabelModuloBelowOneIsIgnored) {
    TAxisParams axis;
    TNotifyCount notify;
    axis.OnChange = notify.Handler();
    axis.SetLabelModulo(0);
    axis.SetLabelModulo(-4);
    EXPECT_EQ(axis.LabelModulo(), 1);
    EXPECT_EQ(notify.Count, 0);
}

TEST(TitleParams, EveryEffectiveChangeNotifiesOnce) {
    const std::function<void(TGraphTitle&)> setters[] = {
        [](TGraphTitle& t) { t.SetCaption(QStringLiteral("Left Channel")); },
        [](TGraphTitle& t) { t.SetShowCaption(true); },
        [](TGraphTitle& t) { t.SetBoxed(true); },
        [](TGraphTitle& t) { t.SetPosition(TTitlePosition::tpRight); },
    };
    for (const auto& set : setters) {
        TGraphTitle title;
        TNotifyCount notify;
        title.OnChange = notify.Handler();
        set(title);
        set(title);
        EXPECT_EQ(notify.Count, 1);
        EXPECT_EQ(notify.Sender, &title);
    }
}

struct TLogRangeCase {
    double Min, Max;
    double ExpectedMin, ExpectedMax;
};

TEST(AxisParams, SwitchingToLogLiftsNonPositiveBoundsToOneAndNotifiesOnce) {
    const TLogRangeCase cases[] = {
        {0, 75, 1.0, 75},
        {-5, -1, 1.0, 1.0},
        {2, 0, 2, 1.0}, // only the bound at or below zero moves
        {0.5, 10, 0.5, 10},
    };
    for (const TLogRangeCase& c : cases) {
        TAxisParams axis;
        axis.SetMin(c.Min);
        axis.SetMax(c.Max);
        TNotifyCount notify;
        axis.OnChange = notify.Handler();
        axis.SetLog(true);
        EXPECT_EQ(axis.Min(), c.ExpectedMin) << c.Min << ".." << c.Max;
        EXPECT_EQ(axis.Max(), c.ExpectedMax) << c.Min << ".." << c.Max;
        EXPECT_EQ(notify.Count, 1);
    }
}

TEST(AxisParams, OnALogAxisANonPositiveMinBecomesOneAndALinearAxisKeepsIt) {
    TAxisParams axis;
    axis.SetMax(100);
    axis.SetLog(true);
    axis.SetMin(-3);
    EXPECT_EQ(axis.Min(), 1.0);
    axis.SetLog(false);
    axis.SetMin(-3);
    EXPECT_EQ(axis.Min(), -3);
}

struct TLabelValueCase {
    double Offset, Multiplier, Cycle, V, Expected;
};

TEST(AxisParams, LabelValueShiftsScalesAndWrapsWithTheSignOfTheValue) {
    const TLabelValueCase cases[] = {
        {0, 1, 0, 37.5, 37.5},  {10, 1, 0, 5, 15},     {1, 2.5, 0, 3, 10}, {0, 1, 360, 370, 10},
        {0, 1, 360, -370, -10}, {90, 1, 360, 300, 30}, {0, -1, 0, 4, -4},  {0, 1, 7.5, 7.5, 0},
    };
    for (const TLabelValueCase& c : cases) {
        TAxisParams axis;
        axis.SetOffset(c.Offset);
        axis.SetMultiplier(c.Multiplier);
        axis.SetCycle(c.Cycle);
        EXPECT_DOUBLE_EQ(axis.LabelValue(c.V), c.Expected)
            << c.Offset << " " << c.Multiplier << " " << c.Cycle << " " << c.V;
    }
}

TEST(AxisParams, LabelTextIsFixedPointWithUnitsAppended) {
    TAxisParams axis;
    EXPECT_EQ(axis.LabelText(32768, 0), QStringLiteral("32768"));
    EXPECT_EQ(axis.LabelText(-32768, 0), QStringLiteral("-32768"));
    EXPECT_EQ(axis.LabelText(1234567, 0), QStringLiteral("1234567")); // no digit grouping
    axis.SetUnits(QStringLiteral("dB"));
    EXPECT_EQ(axis.LabelText(1.5, 2), QStringLiteral("1.50dB"));
    EXPECT_EQ(axis.LabelText(0.25, 1).left(1), QStringLiteral("0"));
}

struct TFirstTickCase {
    double V;
    TLogTick Expected;
};

TEST(LogTicks, TheFirstTickIsTheOneAfterTheTickAtOrBelowTheValue) {
    const TFirstTickCase cases[] = {
        {1, {2, 0}},     {15, {2, 1}}, {1000, {2, 3}}, {9.5, {1, 1}},
        {0.02, {3, -2}}, {99, {1, 2}}, {1.5, {2, 0}},
    };
    for (const TFirstTickCase& c : cases) {
        const TLogTick tick = FirstLogTick(c.V);
        EXPECT_EQ(tick.Mantissa, c.Expected.Mantissa) << c.V;
        EXPECT_EQ(tick.Exponent, c.Expected.Exponent) << c.V;
    }
}

std::vector<std::pair<double, bool>> VisitedTicks(double min, double max) {
    std::vector<std::pair<double, bool>> visited;
    ForEachLogTick(min, max, [&](const TLogTick& tick, bool major) {
        visited.emplace_back(LogTickValue(tick), major);
    });
    return visited;
}

TEST(LogTicks, TheWalkVisitsTheTicksStrictlyInsideTheRange) {
    const auto decades = VisitedTicks(1, 1000);
    ASSERT_EQ(decades.size(), 26u); // 2..9, 10..90, 100..900
    EXPECT_EQ(decades.front(), std::make_pair(2.0, false));
    EXPECT_EQ(decades[8], std::make_pair(10.0, true));
    EXPECT_EQ(decades[17], std::make_pair(100.0, true));
    EXPECT_EQ(decades.back(), std::make_pair(900.0, false));
    int majors = 0;
    for (const auto& [value, major] : decades)
        majors += major ? 1 : 0;
    EXPECT_EQ(majors, 2);

    // A range narrower than one tick still visits its first tick, beyond the range.
    EXPECT_EQ(VisitedTicks(1, 1.5), (std::vector<std::pair<double, bool>>{{2.0, false}}));
}

TEST(LogTicks, AnUnreachableMaxEndsTheWalkInsteadOfHanging) {
    EXPECT_FALSE(VisitedTicks(1, std::numeric_limits<double>::quiet_NaN()).empty());
    EXPECT_FALSE(VisitedTicks(1, std::numeric_limits<double>::infinity()).empty());
}

// A graph with no data, drawn on the recorder, so only grid, labels and title count.
class AxisDrawing : public ::testing::Test {
protected:
    AxisDrawing() {
        Graph.resize(437, 133);
        Graph.SetDefaultData(false);
        Graph.SetGraphType(TGraphType::gtLine);
        Graph.YAxis()->SetShowLabels(false);
    }

    std::vector<TPaintRecorder::TText> Draw() {
        TPaintRecorder recorder(Graph.width(), Graph.height());
        QPainter painter(&recorder);
        Graph.DrawTo(painter);
        return recorder.Texts();
    }
    std::vector<QString> DrawnTexts() {
        std::vector<QString> texts;
        for (const auto& text : Draw())
            texts.push_back(text.Text);
        return texts;
    }
    int TextWidth(const QString& text) const {
        QImage image(1, 1, QImage::Format_RGB32);
        return QFontMetrics(Graph.font(), &image).horizontalAdvance(text);
    }
    // The column of the first black pixel on the row just above the bottom of the plot, from x.
    static std::vector<int> GridColumns(const QImage& image, int row, int from, int to) {
        std::vector<int> columns;
        for (int x = from; x <= to; ++x)
            if (image.pixel(x, row) == qRgb(0, 0, 0))
                columns.push_back(x);
        return columns;
    }
    QImage Render() {
        QImage image(Graph.size(), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        Graph.DrawTo(painter);
        return image;
    }

    TGraphBox Graph;
};

struct TLinearLabelsCase {
    int32_t Lines;
    double Min, Max;
    int32_t Modulo;
    std::vector<QString> Expected;
};

TEST_F(AxisDrawing, LinearXLabelsStepThroughTheRangeAndSkipByModulo) {
    const TLinearLabelsCase cases[] = {
        {3, 0, 75, 1, {"0", "25", "50", "75"}},
        {4, 0, 512, 1, {"0", "128", "256", "384", "512"}},
        {4, 0, 512, 2, {"0", "256", "512"}},
        {2, -32768, 32768, 1, {"-32768", "0", "32768"}},
        {-1, 0, 75, 1, {}},
        {0, 0, 75, 1, {}},
        {3, 5, 5, 1, {"5", "5", "5", "5"}},
    };
    for (const TLinearLabelsCase& c : cases) {
        Graph.SetXRange(c.Lines, c.Min, c.Max);
        Graph.XAxis()->SetLabelModulo(c.Modulo);
        EXPECT_EQ(DrawnTexts(), c.Expected) << c.Lines << " " << c.Min << ".." << c.Max;
    }
}

TEST_F(AxisDrawing, EachXLabelStartsSixtyFivePercentOfItsWidthLeftOfItsLine) {
    Graph.SetXRange(4, 0, 512);
    const QImage image = Render();
    const auto texts = Draw();
    const auto lines =
        GridColumns(image, Graph.PlotBottom() - 1, Graph.PlotLeft() + 1, Graph.PlotRight());
    // Four lines, the last one on the right edge of the frame.
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines.back(), Graph.PlotRight());
    ASSERT_EQ(texts.size(), 5u);
    for (size_t i = 0; i < texts.size(); ++i) {
        const int lineX = i == 0 ? Graph.PlotLeft() : lines[i - 1];
        const double shift = 0.65 * TextWidth(texts[i].Text);
        EXPECT_NEAR(texts[i].Baseline.x(), lineX - shift, 0.5 + 1e-9)
            << texts[i].Text.toStdString();
        EXPECT_GT(texts[i].Baseline.y(), Graph.PlotBottom()); // below the plot
    }
}

TEST_F(AxisDrawing, AFreshAxisHasGridLinesAtThirds) {
    const QImage image = Render();
    const auto lines =
        GridColumns(image, Graph.PlotBottom() - 1, Graph.PlotLeft() + 1, Graph.PlotRight());
    const double third = Graph.PlotWidth() / 3.0;
    ASSERT_EQ(lines.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(lines[i], Graph.PlotLeft() + int(std::nearbyint((i + 1) * third)));
}

TEST_F(AxisDrawing, YLabelsUseDecimals1AndXLabelsDecimals2) {
    Graph.YAxis()->SetShowLabels(true);
    Graph.SetXRange(1, 0, 1);
    Graph.SetYRange(1, 0, 2);
    Graph.SetDecimals1(1);
    Graph.SetDecimals2(2);
    EXPECT_EQ(DrawnTexts(), (std::vector<QString>{"0.00", "1.00", "0.0", "2.0"}));
}

TEST_F(AxisDrawing, TheLeftMarginFitsTheWiderOfTheYBoundTexts) {
    Graph.YAxis()->SetShowLabels(true);
    const int border = Graph.GraphBorder();
    const int inset = Graph.BevelWidth() + Graph.BorderWidth() + border / 3;
    Graph.SetYRange(2, -32768, 32768);
    Draw();
    EXPECT_EQ(Graph.PlotLeft(), TextWidth("-32768") + inset);
    EXPECT_EQ(Graph.PlotRight(), Graph.width() - (border - border / 3));
    Graph.SetYRange(2, 0, 256);
    Draw();
    EXPECT_EQ(Graph.PlotLeft(), TextWidth("256") + inset);

    Graph.YAxis()->SetShowLabels(false);
    Draw();
    EXPECT_EQ(Graph.PlotLeft(), border);
    EXPECT_EQ(Graph.PlotRight(), Graph.width() - border);
    EXPECT_EQ(Graph.PlotTop(), border);
    EXPECT_EQ(Graph.PlotBottom(), Graph.height() - border);
}

TEST_F(AxisDrawing, LogXMajorLabelsOnlyInsideTheRange) {
    Graph.XAxis()->SetLog(true);
    Graph.SetXRange(3, 1, 1000);
    EXPECT_EQ(DrawnTexts(), (std::vector<QString>{"1", "0", "1", "0", "0"}));
    const QImage image = Render();
    const auto lines =
        GridColumns(image, Graph.PlotBottom() - 1, Graph.PlotLeft() + 1, Graph.PlotRight() - 1);
    const double decade = Graph.PlotWidth() / 3.0;
    EXPECT_EQ(lines, (std::vector<int>{Graph.PlotLeft() + int(decade),
                                       Graph.PlotLeft() + int(2 * decade)}));
}

TEST_F(AxisDrawing, LogXMinorLabelsAreMantissasAndExponentLabelsAreRaised) {
    Graph.XAxis()->SetLog(true);
    Graph.SetXRange(3, 1, 100);
    Graph.XAxis()->SetMinorLabels(true);
    Graph.XAxis()->SetExponentLabels(true);
    const auto texts = Draw();
    std::vector<QString> strings;
    for (const auto& t : texts)
        strings.push_back(t.Text);
    // 2..9, then 10 as "10^1" drawn as 1, 0 and a raised 1, then 20..90.
    EXPECT_EQ(strings, (std::vector<QString>{"2", "3", "4", "5", "6", "7", "8", "9", "1", "0", "1",
                                             "2", "3", "4", "5", "6", "7", "8", "9"}));
    EXPECT_LT(texts[10].Baseline.y(), texts[9].Baseline.y());
    EXPECT_GT(texts[9].Baseline.x(), texts[8].Baseline.x());
}

TEST_F(AxisDrawing, LogYExponentLabelsRaiseTheExponentAndSizeTheMargin) {
    Graph.XAxis()->SetShowLabels(false);
    Graph.YAxis()->SetShowLabels(true);
    Graph.YAxis()->SetLog(true);
    Graph.YAxis()->SetExponentLabels(true);
    Graph.SetYRange(3, 1, 1000);
    const auto texts = Draw();
    ASSERT_EQ(texts.size(), 6u);
    const QString expected[] = {"1", "0", "1", "1", "0", "2"};
    const int halfLine = QFontMetrics(Graph.font()).height() / 2;
    for (int label = 0; label < 2; ++label) {
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(texts[label * 3 + c].Text, expected[label * 3 + c]);
        EXPECT_EQ(texts[label * 3 + 2].Baseline.y(), texts[label * 3].Baseline.y() - halfLine);
    }
    const int border = Graph.GraphBorder();
    const int margin = std::max(TextWidth("10^0"), TextWidth("10^3"));
    EXPECT_EQ(Graph.PlotLeft(), margin + Graph.BevelWidth() + Graph.BorderWidth() + border / 3);
}

TEST_F(AxisDrawing, LogXFromOneToOneAndAHalfStillDrawsItsFirstMinorLine) {
    Graph.XAxis()->SetLog(true);
    Graph.XAxis()->SetMinorLines(true);
    Graph.SetXRange(3, 1, 1.5);
    Graph.XAxis()->SetShowLabels(false);
    const QImage wide = [&] {
        QImage image(Graph.width() + 800, Graph.height(), QImage::Format_RGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        Graph.DrawTo(painter);
        return image;
    }();
    // log 2 / log 1.5 of the plot width to the right of its left edge: beyond the frame.
    const int x =
        Graph.PlotLeft() + int(std::trunc(std::log10(2.0) / std::log10(1.5) * Graph.PlotWidth()));
    int dark = 0;
    for (int y = Graph.PlotTop(); y < Graph.PlotBottom(); ++y)
        dark += wide.pixel(x, y) == qRgb(0, 0, 0) ? 1 : 0;
    EXPECT_GT(dark, 0);
    EXPECT_GT(x, Graph.PlotRight());
}

// The first tick of a range of 10^-9 decades lies some 10^11 pixels out: clamped, it still
// lies far beyond the plot on the side it belongs to.
TEST_F(AxisDrawing, TicksOfAVeryNarrowLogRangeLieFarBeyondThePlot) {
    for (TAxisParams* axis : {Graph.XAxis(), Graph.YAxis()}) {
        axis->SetLog(true);
        axis->SetShowLabels(true);
        axis->SetMinorLabels(true);
    }
    Graph.SetXRange(3, 1, 1 + 1e-9);
    Graph.SetYRange(3, 1, 1 + 1e-9);
    const auto texts = Draw();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].Text, "2");
    EXPECT_GT(texts[0].Baseline.x(), Graph.PlotRight() + (1 << 20));
    EXPECT_EQ(texts[1].Text, "2");
    EXPECT_LT(texts[1].Baseline.y(), Graph.PlotTop() - (1 << 20));
}

struct TTitleCase {
    TTitlePosition Position;
    std::function<int(const TGraphBox&, int)> ExpectedX; // from the graph and the text width
};

TEST_F(AxisDrawing, TheTitleIsPlacedByPositionAboveThePlot) {
    const QString caption = QStringLiteral("Left Channel");
    Graph.Title()->SetCaption(caption);
    Graph.Title()->SetShowCaption(true);
    const TTitleCase cases[] = {
        {TTitlePosition::tpCenter, [](const TGraphBox& g, int w) { return (g.width() - w) / 2; }},
        {TTitlePosition::tpLeft, [](const TGraphBox& g, int) { return g.PlotLeft() + 2; }},
        {TTitlePosition::tpRight, [](const TGraphBox& g, int w) { return g.PlotRight() - w - 2; }},
    };
    Graph.XAxis()->SetShowLabels(false);
    for (const TTitleCase& c : cases) {
        Graph.Title()->SetPosition(c.Position);
        const auto texts = Draw();
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(texts[0].Text, caption);
        EXPECT_EQ(texts[0].Baseline.x(), c.ExpectedX(Graph, TextWidth(caption)));
        const QFontMetrics metrics(Graph.font());
        EXPECT_EQ(texts[0].Baseline.y(),
                  (Graph.PlotTop() - metrics.height()) / 2 + metrics.ascent());
    }
}

TEST_F(AxisDrawing, ABoxedTitleGetsAFrameTwoPixelsOut) {
    Graph.Title()->SetCaption(QStringLiteral("Right Channel"));
    Graph.Title()->SetShowCaption(true);
    Graph.XAxis()->SetShowLabels(false);
    const int w = TextWidth(QStringLiteral("Right Channel"));
    const int h = QFontMetrics(Graph.font()).height();
    const int x = (Graph.width() - w) / 2;
    const int y = (Graph.GraphBorder() - h) / 2;
    auto frameAt = [&](const QImage& image) {
        return image.pixel(x - 2, y - 2) == qRgb(0, 0, 0) &&
               image.pixel(x + w + 2, y + h + 1) == qRgb(0, 0, 0) &&
               image.pixel(x + w / 2, y - 2) == qRgb(0, 0, 0);
    };
    EXPECT_FALSE(frameAt(Render()));
    Graph.Title()->SetBoxed(true);
    EXPECT_TRUE(frameAt(Render()));
}

} // namespace
