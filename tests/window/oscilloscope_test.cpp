#include "tests/controls/controltest.h"
#include "tests/graph/paintrecorder.h"
#include "window/oscilloscope.h"
#include "window/oscopepanel.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace {

const QRgb Red = qRgb(255, 0, 0);
const TWaveDataFormat Stereo16{44100, 2, 2};
const TWaveDataFormat Mono16{44100, 2, 1};
const TWaveDataFormat Mono8{11025, 1, 1};
const TWaveDataFormat Stereo8{22050, 1, 2};

QImage Render(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

std::vector<QString> YLabels(TGraphBox& graph) {
    TPaintRecorder recorder(graph.width(), graph.height());
    QPainter painter(&recorder);
    graph.DrawTo(painter);
    std::vector<QString> texts = recorder.TextStrings();
    // Title, five X labels, then the Y labels.
    return std::vector<QString>(texts.begin() + 6, texts.end());
}

void ExpectRange(const TAxisParams& axis, double min, double max) {
    EXPECT_NEAR(axis.Min(), min, 1e-9 * std::abs(max - min));
    EXPECT_NEAR(axis.Max(), max, 1e-9 * std::abs(max - min));
}

class Oscilloscope : public ::testing::Test {
protected:
    Oscilloscope() : Panel(std::make_unique<TOscopePanel>(nullptr)) {}

    TGraphBox& Left() { return *Panel->LeftGraph; }
    TGraphBox& Right() { return *Panel->RightGraph; }

    TVirtualClock Clock; // outlives the buttons' timers
    std::unique_ptr<TOscopePanel> Panel;
};

struct TAxesCase {
    int32_t SamplesPerBuffer, BytesPerSample;
    double XMax, YMin, YMax;
    std::vector<QString> Labels;
};

TEST_F(Oscilloscope, SetupFitsBothGraphsToTheBufferAndSampleSize) {
    const TAxesCase cases[] = {
        {1102, 1, 1101, 0, 256, {"0", "128", "256"}},
        {441000, 2, 440999, -32768, 32768, {"-32768", "0", "32768"}},
    };
    for (const TAxesCase& c : cases) {
        Left().AddPoint(0, clRed, 1, 1, 1);
        Right().AddPoint(0, clRed, 1, 1, 1);
        SetupScopeAxes(c.SamplesPerBuffer, c.BytesPerSample);
        for (TGraphBox* graph : {&Left(), &Right()}) {
            EXPECT_EQ(graph->PointCount(), 0);
            ExpectRange(*graph->XAxis(), 0, c.XMax);
            ExpectRange(*graph->YAxis(), c.YMin, c.YMax);
            EXPECT_EQ(YLabels(*graph), c.Labels);
        }
        EXPECT_EQ(ResetRanges().X.Max, c.XMax);
        EXPECT_EQ(ResetRanges().Y.Min, c.YMin);
        EXPECT_EQ(ResetRanges().Y.Max, c.YMax);
    }
}

TEST_F(Oscilloscope, MonoPlotsIntoTheLeftGraphOnly) {
    SetupScopeAxes(1000, 2);
    std::vector<int16_t> stereo(2000, 5);
    PlotBuffer(stereo.data(), 1000, Stereo16);
    SetupScopeAxes(1000, 1);
    std::vector<uint8_t> mono(1000, 128);
    PlotBuffer(mono.data(), 1000, Mono8);
    EXPECT_EQ(Left().PointCount(), 1000);
    EXPECT_EQ(Right().PointCount(), 0);
    PlotBuffer(mono.data(), 700, Mono8); // a new buffer replaces the last one
    EXPECT_EQ(Left().PointCount(), 700);
}

TEST_F(Oscilloscope, StereoPlotsEveryFrameOfEachChannel) {
    SetupScopeAxes(3000, 1);
    std::vector<uint8_t> frames(6000);
    PlotBuffer(frames.data(), 3000, Stereo8);
    EXPECT_EQ(Left().PointCount(), 3000);
    EXPECT_EQ(Right().PointCount(), 3000);
}

struct TSilenceCase {
    TWaveDataFormat Format;
    int32_t BytesPerSample;
    int Silence;
};

TEST_F(Oscilloscope, SilenceIsAFlatLineAtMidHeight) {
    const TSilenceCase cases[] = {{Mono8, 1, 128}, {Mono16, 2, 0}, {Stereo8, 1, 128}};
    for (const TSilenceCase& c : cases) {
        SetupScopeAxes(4000, c.BytesPerSample);
        std::vector<uint8_t> buffer(4000 * c.Format.Channels * c.BytesPerSample);
        for (size_t i = 0; i < buffer.size(); i += c.BytesPerSample)
            buffer[i] = uint8_t(c.Silence);
        PlotBuffer(buffer.data(), 4000, c.Format);
        const QImage image = Render(Left());
        int redRows = 0;
        int redOnMiddle = 0;
        const int middle = (Left().PlotTop() + Left().PlotBottom() + 1) / 2;
        for (int y = 0; y < image.height(); ++y) {
            int red = 0;
            for (int x = 0; x < image.width(); ++x)
                red += image.pixel(x, y) == Red ? 1 : 0;
            redRows += red > 0 ? 1 : 0;
            if (std::abs(y - middle) <= 1)
                redOnMiddle += red;
        }
        EXPECT_EQ(redRows, 1) << c.Silence;
        EXPECT_GT(redOnMiddle, Left().PlotWidth() - 2) << c.Silence;
    }
}

TEST_F(Oscilloscope, ZoomingInAndOutDoesNotRestoreTheRangeButResetDoes) {
    SetupScopeAxes(1001, 2);
    Panel->ZoomInRawHBtnClick();
    Panel->ZoomOutRawHBtnClick();
    Panel->ZoomInRawVBtnClick();
    Panel->ZoomOutRawVBtnClick();
    for (TGraphBox* graph : {&Left(), &Right()}) {
        ExpectRange(*graph->XAxis(), 500 - 500 * 0.99, 500 + 500 * 0.99);
        ExpectRange(*graph->YAxis(), -32768 * 0.99, 32768 * 0.99);
    }
    Panel->ResetRawHBtnClick();
    Panel->ResetRawVBtnClick();
    for (TGraphBox* graph : {&Left(), &Right()}) {
        ExpectRange(*graph->XAxis(), 0, 1000);
        ExpectRange(*graph->YAxis(), -32768, 32768);
    }
}

TEST_F(Oscilloscope, ResetAppliesTheLeftGraphsRangesToBoth) {
    SetupScopeAxes(1001, 1);
    Left().XAxis()->SetMax(200);
    Left().YAxis()->SetMin(50);
    SaveResetRanges();
    Right().XAxis()->SetMin(-7);
    Right().YAxis()->SetMax(9999);
    Panel->ResetRawHBtnClick();
    Panel->ResetRawVBtnClick();
    for (TGraphBox* graph : {&Left(), &Right()}) {
        ExpectRange(*graph->XAxis(), 0, 200);
        ExpectRange(*graph->YAxis(), 50, 256);
    }
}

struct TButtonCase {
    std::function<QAbstractButton*(TOscopePanel&)> Button;
    QString Hint;
    bool Repeats;
    bool Vertical;
    double Min, Max; // of the acted-on axis, from 0..1000
};

TEST_F(Oscilloscope, EachButtonMovesItsAxisOnBothGraphs) {
    const TButtonCase cases[] = {
        {[](TOscopePanel& p) { return p.PanUpRawVBtn; }, "Move Up", true, true, 100, 1100},
        {[](TOscopePanel& p) { return p.PanDownRawVBtn; }, "Move Down", true, true, -100, 900},
        {[](TOscopePanel& p) { return p.ZoomInRawVBtn; }, "Zoom In", true, true, 50, 950},
        {[](TOscopePanel& p) { return p.ZoomOutRawVBtn; }, "Zoom Out", true, true, -50, 1050},
        {[](TOscopePanel& p) { return p.ResetRawVBtn; }, "Reset", false, true, 0, 256},
        {[](TOscopePanel& p) { return p.LeftRawBtn; }, "Move Left", true, false, -100, 900},
        {[](TOscopePanel& p) { return p.PanRightRawHBtn; }, "Move Right", true, false, 100, 1100},
        {[](TOscopePanel& p) { return p.ZoomInRawHBtn; }, "Zoom In", true, false, 50, 950},
        {[](TOscopePanel& p) { return p.ZoomOutRawHBtn; }, "ZoomOut", true, false, -50, 1050},
        {[](TOscopePanel& p) { return p.ResetRawHBtn; }, "Reset", false, false, 0, 1000},
    };
    for (const TButtonCase& c : cases) {
        SCOPED_TRACE(c.Hint.toStdString());
        SetupScopeAxes(1001, 1);
        for (TGraphBox* graph : {&Left(), &Right()}) {
            graph->SetXRange(4, 0, 1000);
            graph->SetYRange(2, 0, 1000);
        }
        QAbstractButton* button = c.Button(*Panel);
        EXPECT_EQ(button->toolTip(), c.Hint);
        auto* repeating = dynamic_cast<TAutoButton*>(button);
        EXPECT_EQ(repeating != nullptr && repeating->DoRepeat(), c.Repeats);
        button->click();
        for (TGraphBox* graph : {&Left(), &Right()}) {
            ExpectRange(c.Vertical ? *graph->YAxis() : *graph->XAxis(), c.Min, c.Max);
            const TAxisParams& other = c.Vertical ? *graph->XAxis() : *graph->YAxis();
            ExpectRange(other, 0, 1000);
        }
    }
}

TEST_F(Oscilloscope, AHeldPanOrZoomButtonRepeatsAndAResetButtonDoesNot) {
    ShowAndSettle(*Panel);
    SetupScopeAxes(1001, 1);
    Panel->PanRightRawHBtn->SetRepeatTimerFactory(Clock.Factory());
    Press(Panel->PanRightRawHBtn);
    Clock.Advance(1000);
    Release(Panel->PanRightRawHBtn);
    // Clicks at 400, 500, ... 1000 ms and one more on release: eight tenths of the span.
    for (TGraphBox* graph : {&Left(), &Right()})
        ExpectRange(*graph->XAxis(), 800, 1800);

    Press(Panel->ResetRawHBtn);
    Clock.Advance(1000);
    Release(Panel->ResetRawHBtn);
    for (TGraphBox* graph : {&Left(), &Right()})
        ExpectRange(*graph->XAxis(), 0, 1000);
}

struct TPlaceCase {
    const char* Name;
    std::function<QWidget*(TOscopePanel&)> Control;
    QRect Geometry;
};

TEST_F(Oscilloscope, ThePanelIsLaidOutAsTheWindowWantsIt) {
    const TPlaceCase cases[] = {
        {"HorzButtonStrip", [](TOscopePanel& p) { return p.HorzButtonStrip; }, {4, 4, 455, 18}},
        {"LeftRawBtn", [](TOscopePanel& p) { return p.LeftRawBtn; }, {10, 1, 23, 15}},
        {"PanRightRawHBtn", [](TOscopePanel& p) { return p.PanRightRawHBtn; }, {80, 1, 23, 15}},
        {"PositionPanel", [](TOscopePanel& p) { return p.PositionPanel; }, {263, 0, 192, 18}},
        {"PosXDis", [](TOscopePanel& p) { return p.PosXDis; }, {30, 1, 79, 16}},
        {"PositionGap", [](TOscopePanel& p) { return p.PositionGap; }, {109, 1, 3, 16}},
        {"PosYDis", [](TOscopePanel& p) { return p.PosYDis; }, {112, 1, 79, 16}},
        {"VertButtonStrip", [](TOscopePanel& p) { return p.VertButtonStrip; }, {443, 22, 16, 247}},
        {"PanDownRawVBtn", [](TOscopePanel& p) { return p.PanDownRawVBtn; }, {1, 73, 15, 23}},
        {"GraphsPanel", [](TOscopePanel& p) { return p.GraphsPanel; }, {4, 22, 439, 247}},
        {"LeftGraph", [](TOscopePanel& p) { return p.LeftGraph; }, {1, 1, 437, 104}},
        {"GraphSplitter", [](TOscopePanel& p) { return p.GraphSplitter; }, {1, 105, 437, 8}},
        {"RightGraph", [](TOscopePanel& p) { return p.RightGraph; }, {1, 113, 437, 133}},
    };
    EXPECT_EQ(Panel->size(), QSize(463, 273));
    for (const TPlaceCase& c : cases)
        EXPECT_EQ(c.Control(*Panel)->geometry(), c.Geometry) << c.Name;
    EXPECT_EQ(Panel->PositionPanel->Caption(), QStringLiteral(" Pos:"));
    EXPECT_EQ(Panel->PosXDis->text(), QStringLiteral(" "));
    EXPECT_EQ(Left().Title()->Caption(), QStringLiteral("Left Channel"));
    EXPECT_EQ(Right().Title()->Caption(), QStringLiteral("Right Channel"));
    for (TGraphBox* graph : {&Left(), &Right()}) {
        EXPECT_EQ(graph->GraphType(), TGraphType::gtLine);
        EXPECT_TRUE(graph->Title()->Boxed());
        EXPECT_FALSE(graph->DefaultData());
        EXPECT_EQ(graph->PointCount(), 0);
    }
    // A taller window gives the extra height to the right graph.
    Panel->show();
    Panel->resize(463, 373);
    EXPECT_EQ(Right().geometry(), QRect(1, 113, 437, 233));
}

void Drag(QWidget& widget, int fromY, int toY) {
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(10, fromY),
                      widget.mapToGlobal(QPointF(10, fromY)), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(&widget, &press);
    QMouseEvent move(QEvent::MouseMove, QPointF(10, toY), widget.mapToGlobal(QPointF(10, toY)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&widget, &move);
}

TEST_F(Oscilloscope, TheSplitterMovesTheBoundaryBetweenTheGraphsWithinLimits) {
    Drag(*Panel->GraphSplitter, 4, 24);
    EXPECT_EQ(Left().height(), 124);
    EXPECT_EQ(Right().geometry(), QRect(1, 133, 437, 113));
    Drag(*Panel->GraphSplitter, 4, -500);
    EXPECT_EQ(Left().height(), 30);
    Drag(*Panel->GraphSplitter, 4, 500);
    EXPECT_EQ(Right().height(), 30);
}

TEST_F(Oscilloscope, ASqueezedPanelGivesTheLeftGraphItsHeightBackOnGrowing) {
    Panel->show();
    Panel->resize(463, 60);
    EXPECT_LT(Left().height(), 104);
    Panel->resize(463, 273);
    EXPECT_EQ(Left().geometry(), QRect(1, 1, 437, 104));
    EXPECT_EQ(Right().geometry(), QRect(1, 113, 437, 133));
}

TEST(OscilloscopePanels, AnOlderPanelGoingAwayLeavesTheNewerOneAttached) {
    auto older = std::make_unique<TOscopePanel>(nullptr);
    TOscopePanel newer(nullptr);
    older.reset();
    SetupScopeAxes(2001, 2);
    EXPECT_EQ(newer.LeftGraph->XAxis()->Max(), 2000);
    EXPECT_EQ(ResetRanges().X.Max, 2000);
}

TEST(OscilloscopeWithoutPanel, LeavesTheSavedRangesAloneOnceThePanelIsGone) {
    auto panel = std::make_unique<TOscopePanel>(nullptr);
    SetupScopeAxes(1001, 1);
    panel.reset();
    std::vector<int16_t> samples(100);
    SetupScopeAxes(5001, 2);
    PlotBuffer(samples.data(), 50, Stereo16);
    EXPECT_EQ(ResetRanges().X.Max, 1000);
    EXPECT_EQ(ResetRanges().Y.Max, 256);
}

// The same buffer through AddPoint records, one per sample, and through PlotBuffer's samples
// must give the same pixels whatever the view.
TEST(OscilloscopeTrace, SamplesLookExactlyLikeOneRecordPerSample) {
    constexpr int32_t Frames = 220500;
    std::vector<int16_t> buffer(2 * Frames);
    for (int32_t k = 0; k < Frames; ++k) {
        buffer[2 * k] = int16_t(20000 * std::sin(k * 0.0007) + 3000 * std::sin(k * 0.9));
        buffer[2 * k + 1] = int16_t((k * 7919) % 50000 - 25000);
    }
    TOscopePanel records(nullptr);
    SetupScopeAxes(Frames, 2);
    TOscopePanel compact(nullptr);
    SetupScopeAxes(Frames, 2);
    PlotBuffer(buffer.data(), Frames, Stereo16);
    for (TGraphBox* graph : {records.LeftGraph, records.RightGraph})
        graph->BeginUpdate();
    for (int32_t k = 0; k < Frames; ++k) {
        records.LeftGraph->AddPoint(0, clRed, k, buffer[2 * k], 1.0);
        records.RightGraph->AddPoint(0, clRed, k, buffer[2 * k + 1], 1.0);
    }
    for (TGraphBox* graph : {records.LeftGraph, records.RightGraph})
        graph->EndUpdate();

    const std::function<void(TOscopePanel&)> views[] = {
        [](TOscopePanel&) {},
        [](TOscopePanel& p) { p.ZoomInRawHBtnClick(); },
        [](TOscopePanel& p) {
            for (int i = 0; i < 12; ++i)
                p.ZoomInRawHBtnClick();
        },
        [](TOscopePanel& p) { p.PanRightRawHBtnClick(); },
        [](TOscopePanel& p) {
            p.LeftRawBtnClick();
            p.LeftRawBtnClick();
        },
        [](TOscopePanel& p) {
            p.ZoomInRawVBtnClick();
            p.PanUpRawVBtnClick();
        },
        [](TOscopePanel& p) {
            p.ZoomOutRawHBtnClick();
            p.PanDownRawVBtnClick();
        },
    };
    int view = 0;
    for (const auto& change : views) {
        change(records);
        change(compact);
        EXPECT_EQ(Render(*records.LeftGraph), Render(*compact.LeftGraph)) << "view " << view;
        EXPECT_EQ(Render(*records.RightGraph), Render(*compact.RightGraph)) << "view " << view;
        ++view;
    }
}

} // namespace
