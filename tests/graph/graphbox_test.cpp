#include "graph/graphbox.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <cmath>
#include <gtest/gtest.h>
#include <vector>

namespace {

const QRgb Black = qRgb(0, 0, 0);
const QRgb White = qRgb(255, 255, 255);
const QRgb Red = qRgb(255, 0, 0);

// The graph as it paints itself: panel, inner frame and DrawTo.
QImage Render(TGraphBox& graph) {
    return graph.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

int CountColour(const QImage& image, QRgb colour, QRect area = {}) {
    if (area.isNull())
        area = image.rect();
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += image.pixel(x, y) == colour ? 1 : 0;
    return count;
}

TGraphBox* NewLineGraph(int width, int height) {
    auto* graph = new TGraphBox;
    graph->resize(width, height);
    graph->SetDefaultData(false);
    graph->SetGraphType(TGraphType::gtLine);
    graph->SetBevelOuter(TPanelBevel::bvNone);
    return graph;
}

TEST(GraphBox, StartsAsTheDemonstrationBarGraph) {
    TGraphBox graph;
    EXPECT_EQ(graph.size(), QSize(90, 90));
    EXPECT_EQ(graph.Color(), clWhite);
    EXPECT_EQ(graph.BevelOuter(), TPanelBevel::bvLowered);
    EXPECT_EQ(graph.GridColor(), clBlack);
    EXPECT_EQ(graph.GraphBorder(), 20);
    EXPECT_EQ(graph.Decimals1(), 0);
    EXPECT_EQ(graph.Decimals2(), 0);
    EXPECT_FALSE(graph.DrawLastPixel());
    EXPECT_FALSE(graph.Updating());
    EXPECT_EQ(graph.GraphType(), TGraphType::gtHorzBar);
    EXPECT_TRUE(graph.DefaultData());
    EXPECT_EQ(graph.PointCount(), 4);
    EXPECT_EQ(graph.SeriesCount(0), 4);
    for (TAxisParams* axis : {graph.XAxis(), graph.YAxis()}) {
        EXPECT_EQ(axis->Lines(), 3);
        EXPECT_EQ(axis->Min(), 0);
        EXPECT_EQ(axis->Max(), 75);
        EXPECT_TRUE(axis->ShowLabels());
        EXPECT_FALSE(axis->Log());
        EXPECT_TRUE(axis->Units().isEmpty());
    }
    EXPECT_FALSE(graph.Title()->ShowCaption());
}

struct TBarCase {
    QRgb Colour;
    double Length, Centre;
};

TEST(GraphBox, TheDemonstrationBarsStartAtZeroAndTheSilverOneIsClippedAway) {
    TGraphBox graph;
    graph.resize(300, 300);
    const QImage image = Render(graph);
    const TBarCase bars[] = {{Red, 10, 10}, {qRgb(0, 128, 0), 15, 25}, {qRgb(0, 0, 255), 50, 50}};
    for (const TBarCase& bar : bars) {
        const QPoint inside = graph.DataToPixel(bar.Length / 2, bar.Centre);
        const QPoint beyond = graph.DataToPixel(bar.Length + 1, bar.Centre);
        const QPoint above = graph.DataToPixel(bar.Length / 2, bar.Centre + 3.5);
        EXPECT_EQ(image.pixel(inside), bar.Colour) << bar.Length;
        EXPECT_NE(image.pixel(beyond), bar.Colour) << bar.Length;
        EXPECT_NE(image.pixel(above), bar.Colour) << bar.Length;
    }
    EXPECT_EQ(CountColour(image, qRgb(192, 192, 192)), 0);
}

TEST(GraphBox, VerticalBarsRiseFromZero) {
    TGraphBox graph;
    graph.resize(300, 300);
    graph.SetGraphType(TGraphType::gtVertBar);
    const QImage image = Render(graph);
    EXPECT_EQ(image.pixel(graph.DataToPixel(10, 5)), Red);
    EXPECT_NE(image.pixel(graph.DataToPixel(10, 12)), Red);
    EXPECT_NE(image.pixel(graph.DataToPixel(14, 5)), Red);
}

TEST(GraphBox, OnlyAWhiteGraphGetsTheInnerBlackFrame) {
    TGraphBox graph;
    graph.resize(120, 120);
    graph.SetBevelOuter(TPanelBevel::bvNone);
    EXPECT_EQ(Render(graph).pixel(0, 60), Black);
    graph.SetColor(clSilver);
    const QImage image = Render(graph);
    EXPECT_NE(image.pixel(0, 60), Black);
    EXPECT_EQ(image.pixel(graph.PlotLeft(), 60), Black); // the plot frame stays
}

TEST(GraphBox, DefaultDataAddsToWhatIsStoredAndItsRemovalClearsEverything) {
    TGraphBox graph;
    graph.SetDefaultData(false);
    EXPECT_EQ(graph.PointCount(), 0);
    graph.AddPoint(0, clRed, 1, 2, 1);
    graph.AddPoint(-1, clRed, 1, 2, 1);
    graph.SetDefaultData(true);
    EXPECT_EQ(graph.PointCount(), 6);
    EXPECT_EQ(graph.SeriesCount(0), 5);
    graph.SetDefaultData(true);
    EXPECT_EQ(graph.PointCount(), 6);
    graph.SetDefaultData(false);
    EXPECT_EQ(graph.PointCount(), 0);
    EXPECT_EQ(graph.SeriesCount(-1), 0);
}

TEST(GraphBox, SeriesOutsideTheDrawnRangeAreNotStored) {
    TGraphBox graph;
    graph.SetDefaultData(false);
    graph.AddPoint(-1025, clRed, 1, 1, 1);
    graph.AddPoint(1024, clRed, 1, 1, 1);
    graph.AddPoint(-1024, clRed, 1, 1, 1);
    graph.AddPoint(1023, clRed, 1, 1, 1);
    EXPECT_EQ(graph.PointCount(), 2);
}

// Counts the paints a shown graph makes when the event loop runs.
class RepaintRequests : public ::testing::Test {
protected:
    RepaintRequests() {
        Graph.SetDefaultData(false);
        Graph.OnPaint = [this](QObject*) { ++Paints; };
        Graph.show();
        Settle();
    }
    int Settle() {
        Paints = 0;
        for (int i = 0; i < 5; ++i)
            QApplication::processEvents();
        return Paints;
    }

    TGraphBox Graph;
    int Paints = 0;
};

TEST_F(RepaintRequests, AnUpdateHoldsAdditionsButNotClearAndEndsInOneRepaint) {
    Graph.AddPoint(0, clRed, 1, 1, 1);
    EXPECT_EQ(Settle(), 1);
    Graph.BeginUpdate();
    Graph.BeginUpdate();
    Graph.AddPoint(0, clRed, 2, 2, 1);
    const int16_t samples[] = {1, 2, 3};
    std::shared_ptr<TSampleBuffer> buffer;
    TSampleBuffer::Refill(buffer, samples, sizeof samples);
    Graph.AddSamples(0, clRed, 1, buffer, 2, 0, 3, 1);
    EXPECT_EQ(Settle(), 0);
    Graph.Clear();
    EXPECT_TRUE(Graph.Updating());
    EXPECT_EQ(Settle(), 1);
    Graph.AddPoint(0, clRed, 3, 3, 1);
    EXPECT_EQ(Settle(), 0);
    Graph.EndUpdate(); // one EndUpdate ends any number of BeginUpdate
    EXPECT_FALSE(Graph.Updating());
    EXPECT_EQ(Settle(), 1);
}

TEST_F(RepaintRequests, OnlyEffectiveChangesRepaint) {
    const std::function<void()> changes[] = {
        [this] { Graph.SetGridColor(clRed); },
        [this] { Graph.SetGraphBorder(10); },
        [this] { Graph.SetDecimals1(2); },
        [this] { Graph.SetDecimals2(2); },
        [this] { Graph.SetGraphType(TGraphType::gtVertBar); },
        [this] { Graph.XAxis()->SetMax(100); },
        [this] { Graph.YAxis()->SetMin(-5); },
        [this] { Graph.Title()->SetCaption(QStringLiteral("Left Channel")); },
    };
    for (const auto& change : changes) {
        change();
        EXPECT_EQ(Settle(), 1);
        change();
        EXPECT_EQ(Settle(), 0);
    }
}

TEST(GraphBox, NegativeSeriesAreUnconnectedMarkersAndOthersSeparatePolylines) {
    std::unique_ptr<TGraphBox> graph(NewLineGraph(300, 300));
    graph->SetXRange(3, 0, 100);
    graph->SetYRange(3, 0, 100);
    const QColor blue(0, 0, 255);
    graph->AddPoint(-1, blue, 20, 50, 3);
    graph->AddPoint(-1, blue, 80, 50, 3);
    graph->AddPoint(0, clRed, 10, 10, 1);
    graph->AddPoint(0, clRed, 40, 10, 1);
    graph->AddPoint(1, clRed, 60, 90, 1);
    graph->AddPoint(1, clRed, 90, 90, 1);
    const QImage image = Render(*graph);

    for (const double x : {20.0, 80.0}) {
        const QPoint p = graph->DataToPixel(x, 50);
        EXPECT_EQ(image.pixel(p), blue.rgb());
        EXPECT_EQ(image.pixel(p.x() - 3, p.y()), Black); // outline, half side 3
        EXPECT_EQ(image.pixel(p.x() - 4, p.y()), White);
    }
    EXPECT_EQ(image.pixel(graph->DataToPixel(50, 50)), White); // markers are not joined
    EXPECT_EQ(image.pixel(graph->DataToPixel(25, 10)), Red);
    EXPECT_EQ(image.pixel(graph->DataToPixel(75, 90)), Red);
    EXPECT_EQ(image.pixel(graph->DataToPixel(50, 50)), White); // no line from series 0 to 1
    EXPECT_EQ(image.pixel(graph->DataToPixel(45, 30)), White);
}

TEST(GraphBox, PointTextsAreDrawnAtTheirPoints) {
    std::unique_ptr<TGraphBox> graph(NewLineGraph(300, 300));
    graph->SetXRange(3, 0, 100);
    graph->SetYRange(3, 0, 100);
    const QImage empty = Render(*graph);
    graph->AddLabelledPoint(2, QStringLiteral("Peak"), 50, 50, 1, clRed);
    const QImage labelled = Render(*graph);
    const QPoint p = graph->DataToPixel(50, 50);
    // The text sits right of and above its baseline point.
    const QRect area(p.x(), p.y() - 12, 30, 12);
    EXPECT_LT(CountColour(labelled, White, area), CountColour(empty, White, area) - 10);
}

// Series whose points at multiples of `step` alternate between two levels and whose other
// points spike to the top: drawn with that step exactly, the trace touches both levels and
// never the top.
struct TThinningCase {
    int Width;
    int Count;
    int Step;
};

void AddThinningProbe(TGraphBox& graph, int count, int step, bool compact) {
    std::vector<int16_t> samples(count);
    for (int i = 0; i < count; ++i) {
        const int number = i + 1;
        samples[i] = number % step != 0 ? 900 : (number / step) % 2 ? 200 : 400;
    }
    if (compact) {
        std::shared_ptr<TSampleBuffer> buffer;
        TSampleBuffer::Refill(buffer, samples.data(), samples.size() * sizeof(int16_t));
        graph.AddSamples(0, clRed, 1, buffer, 2, 0, count, 1);
        return;
    }
    graph.BeginUpdate();
    for (int i = 0; i < count; ++i)
        graph.AddPoint(0, clRed, i, samples[i], 1);
    graph.EndUpdate();
}

TEST(GraphBox, LargeSeriesAreThinnedToFiftyPointsPerPixelOfWidth) {
    const TThinningCase cases[] = {
        {437, 44100, 3}, {437, 21849, 1}, {437, 21850, 2}, {100, 5000, 2}, {100, 4999, 1},
    };
    for (const bool compact : {false, true}) {
        for (const TThinningCase& c : cases) {
            SCOPED_TRACE(testing::Message() << c.Count << " points, compact " << compact);
            std::unique_ptr<TGraphBox> graph(NewLineGraph(c.Width, 133));
            graph->YAxis()->SetShowLabels(false);
            graph->SetXRange(4, 0, c.Count - 1);
            graph->SetYRange(2, 0, 1000);
            AddThinningProbe(*graph, c.Count, c.Step, compact);
            const QImage image = Render(*graph);
            auto redOnRow = [&](double level) {
                const int y = graph->DataToPixel(0, level).y();
                return CountColour(image, Red, QRect(0, y - 1, image.width(), 3));
            };
            EXPECT_GT(redOnRow(200), 0);
            EXPECT_GT(redOnRow(400), 0);
            EXPECT_EQ(redOnRow(900), 0);
        }
    }
}

TEST(GraphBox, DrawLastPixelLengthensDataLinesByTheirFinalPixel) {
    int ends[2] = {};
    for (const bool last : {false, true}) {
        std::unique_ptr<TGraphBox> graph(NewLineGraph(200, 200));
        graph->SetXRange(2, 0, 100);
        graph->SetYRange(2, 0, 100);
        graph->SetDrawLastPixel(last);
        graph->AddPoint(0, clRed, 10, 30, 1);
        graph->AddPoint(0, clRed, 60, 30, 1);
        const QImage image = Render(*graph);
        const int row = graph->DataToPixel(60, 30).y();
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, row) == Red)
                ends[last] = x;
    }
    EXPECT_EQ(ends[1], ends[0] + 1);
}

// As after some 200 zoom-in clicks on both axes: the far end lies 10^11 data units out, and
// the part of the line inside the plot still runs at its own slope.
TEST(GraphBox, ALineToAFarPointKeepsItsSlopeInsideThePlot) {
    std::unique_ptr<TGraphBox> graph(NewLineGraph(200, 200));
    graph->SetXRange(2, 0, 100);
    graph->SetYRange(2, 0, 100);
    graph->AddPoint(0, clRed, 50, 50, 1);
    graph->AddPoint(0, clRed, 50 + 1e11, 50 + 2e11, 1);
    const QImage image = Render(*graph);
    const auto redNear = [&](double x, double y) {
        const QPoint p = graph->DataToPixel(x, y);
        return CountColour(image, Red, QRect(p - QPoint(1, 1), QSize(3, 3)));
    };
    EXPECT_GT(redNear(60, 70), 0);
    EXPECT_GT(redNear(70, 90), 0);
    EXPECT_EQ(redNear(70, 70), 0);
}

TEST(GraphBox, OnALogAxisValuesAtOrBelowZeroAreDrawnAtOne) {
    std::unique_ptr<TGraphBox> graph(NewLineGraph(200, 200));
    graph->XAxis()->SetLog(true);
    graph->SetXRange(3, 1, 1000);
    graph->SetYRange(2, 0, 100);
    graph->AddPoint(-1, clRed, 0, 50, 2);
    const QImage image = Render(*graph);
    EXPECT_EQ(graph->DataToPixel(0, 50), graph->DataToPixel(1, 50));
    EXPECT_EQ(graph->DataToPixel(-7, 50), graph->DataToPixel(1, 50));
    EXPECT_EQ(graph->DataToPixel(10, 50).x(),
              graph->PlotLeft() + int(std::nearbyint(graph->PlotWidth() / 3.0)));
    EXPECT_EQ(image.pixel(graph->DataToPixel(1, 50)), Red);
}

TEST(GraphBox, AnEmptyRangeMapsEveryValueOntoTheOrigin) {
    std::unique_ptr<TGraphBox> graph(NewLineGraph(200, 200));
    graph->SetXRange(3, 5, 5);
    graph->SetYRange(3, 5, 5);
    Render(*graph);
    const QPoint origin(graph->PlotLeft(), graph->PlotBottom());
    EXPECT_EQ(graph->DataToPixel(5, 5), origin);
    EXPECT_EQ(graph->DataToPixel(1e6, -1e6), origin);
}

TEST(GraphBox, SamplesDrawLikeTheSamePointsAddedOneByOne) {
    std::vector<uint8_t> bytes(30000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(128 + 100 * std::sin(i * 0.01) + (i % 7) * 3);
    // Stride 2 takes every other byte, as the left channel of an interleaved buffer.
    const int count = int(bytes.size() / 2);
    std::unique_ptr<TGraphBox> records(NewLineGraph(437, 104));
    std::unique_ptr<TGraphBox> compact(NewLineGraph(437, 104));
    for (TGraphBox* graph : {records.get(), compact.get()}) {
        graph->SetXRange(4, 0, count - 1);
        graph->SetYRange(2, 0, 256);
        graph->AddPoint(-1, clRed, 100, 100, 2); // a record before the run keeps its place
    }
    for (int i = 0; i < count; ++i)
        records->AddPoint(0, clRed, i, bytes[2 * i], 1);
    std::shared_ptr<TSampleBuffer> buffer;
    TSampleBuffer::Refill(buffer, bytes.data(), bytes.size());
    compact->AddSamples(0, clRed, 1, buffer, 1, 0, count, 2);
    for (TGraphBox* graph : {records.get(), compact.get()})
        graph->AddPoint(0, clRed, count + 10, 0, 1);
    EXPECT_EQ(records->PointCount(), compact->PointCount());
    EXPECT_EQ(Render(*records), Render(*compact));
    for (TGraphBox* graph : {records.get(), compact.get()})
        graph->SetXRange(4, 1000, 1400);
    EXPECT_EQ(Render(*records), Render(*compact));
}

} // namespace

namespace {

TEST(SampleBuffer, RefillReusesMemoryOnlyWhenNothingElseHoldsItAndItFits) {
    std::vector<uint8_t> source(1000, 7);
    std::shared_ptr<TSampleBuffer> buffer;
    TSampleBuffer::Refill(buffer, source.data(), 1000);
    const uint8_t* first = buffer->Data();
    TSampleBuffer::Refill(buffer, source.data(), 900);
    EXPECT_EQ(buffer->Data(), first); // sole owner, fits: same memory
    EXPECT_EQ(buffer->Size(), 900u);
    std::shared_ptr<const TSampleBuffer> shown = buffer; // a graph still shows it
    TSampleBuffer::Refill(buffer, source.data(), 900);
    EXPECT_NE(buffer.get(), shown.get());
    EXPECT_EQ(shown->Size(), 900u);
    TSampleBuffer::Refill(buffer, source.data(), 100); // far smaller: let the big one go
    EXPECT_EQ(buffer->Size(), 100u);
    EXPECT_EQ(buffer->Data()[99], 7);
}

TEST(SampleBuffer, SamplesBeyondTheBufferAreNotStored) {
    TGraphBox graph;
    graph.SetDefaultData(false);
    const int16_t frames[] = {1, -1, 2, -2, 3, -3, 4};
    std::shared_ptr<TSampleBuffer> buffer;
    TSampleBuffer::Refill(buffer, frames, sizeof frames);
    graph.AddSamples(0, clRed, 1, buffer, 2, 1, 100, 2); // the odd samples: three of them
    EXPECT_EQ(graph.PointCount(), 3);
    graph.AddSamples(0, clRed, 1, buffer, 2, 0, 100, 2); // the even samples: four
    EXPECT_EQ(graph.PointCount(), 7);
    graph.AddSamples(0, clRed, 1, buffer, 2, 7, 10, 1);  // starts past the end
    graph.AddSamples(0, clRed, 1, buffer, 1, 0, 100, 1); // as bytes: fourteen
    EXPECT_EQ(graph.PointCount(), 21);
    graph.AddSamples(0, clRed, 1, nullptr, 2, 0, 10, 1);
    graph.AddSamples(0, clRed, 1, buffer, 2, 0, 10, 0);
    EXPECT_EQ(graph.PointCount(), 21);
}

} // namespace
