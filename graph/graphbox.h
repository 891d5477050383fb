#pragma once

#include "controls/panel.h"
#include "graph/canvas.h"
#include "graph/graphaxes.h"

#include <QColor>
#include <QPoint>
#include <QPointF>
#include <QString>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

enum class TGraphType : uint8_t { gtLine, gtHorzBar, gtVertBar };

// One stored point. Size is the line width of a polyline point, the half side of a marker
// (negative series) or the thickness of a bar.
struct TDataPoint {
    double X = 0;
    double Y = 0;
    double Size = 0;
    QColor Color;
    int32_t Series = 0;
    QString Text;
};

// Samples copied once from a capture buffer, in their own 8- or 16-bit form, and shared by the
// series that show its channels: a long buffer costs its own bytes instead of a record per
// sample and per channel.
class TSampleBuffer {
public:
    // Copies bytes from samples into buffer. The memory is reused when nothing else holds the
    // buffer and it is not far larger than needed, so a new capture of the same length costs no
    // fresh pages; otherwise buffer becomes a new one.
    static void Refill(std::shared_ptr<TSampleBuffer>& buffer, const void* samples, size_t bytes);

    const uint8_t* Data() const { return Bytes.get(); }
    size_t Size() const { return Used; }

private:
    std::unique_ptr<uint8_t[]> Bytes;
    size_t Capacity = 0;
    size_t Used = 0;
};

// A run of evenly spaced samples of one series inside a sample buffer: sample j is the point
// (j, sample j) with the run's colour and size.
class TSampleRun {
public:
    TSampleRun(int32_t series, const QColor& color, double size,
               std::shared_ptr<const TSampleBuffer> buffer, int32_t bytesPerSample, int64_t first,
               int64_t count, int32_t stride, size_t position);

    int32_t Series() const { return SeriesNumber; }
    const QColor& Color() const { return RunColor; }
    double Size() const { return PointSize; }
    int64_t Count() const { return SampleCount; }
    double Sample(int64_t j) const {
        const int64_t index = First + j * Stride;
        if (Wide) {
            int16_t value;
            std::memcpy(&value, Buffer->Data() + 2 * index, sizeof value);
            return value;
        }
        return Buffer->Data()[index];
    }
    // The number of records stored before this run, which fixes its place in insertion order.
    size_t Position() const { return RecordsBefore; }

private:
    int32_t SeriesNumber;
    QColor RunColor;
    double PointSize;
    std::shared_ptr<const TSampleBuffer> Buffer;
    bool Wide;
    int64_t First;
    int64_t SampleCount;
    int64_t Stride;
    size_t RecordsBefore;
};

// The point store, the update hold and the properties every graph shares.
class TCustomGraph : public TPanel {
    Q_OBJECT
public:
    static constexpr int32_t LowestSeries = -1024;
    static constexpr int32_t HighestSeries = 1024;

    explicit TCustomGraph(QWidget* parent = nullptr);
    ~TCustomGraph() override;

    // Draws the whole graph (not the panel background) on any painter.
    virtual void DrawTo(QPainter& painter) = 0;
    bool DefaultData() const { return DefaultData_; }
    virtual void SetDefaultData(bool value) = 0;

    const QColor& GridColor() const { return GridColor_; }
    void SetGridColor(const QColor& value);
    int32_t GraphBorder() const { return GraphBorder_; }
    void SetGraphBorder(int32_t value);
    int32_t Decimals1() const { return Decimals1_; }
    void SetDecimals1(int32_t value);
    int32_t Decimals2() const { return Decimals2_; }
    void SetDecimals2(int32_t value);
    bool DrawLastPixel() const { return DrawLastPixel_; }
    void SetDrawLastPixel(bool value) { DrawLastPixel_ = value; }
    bool Updating() const { return Updating_; }

    void Clear();
    // Points of a series outside LowestSeries..HighestSeries - 1 could never be drawn and are
    // not stored.
    void AddLabelledPoint(int32_t series, const QString& text, double x, double y, double size,
                          const QColor& color);
    // Stores count samples of buffer as the points (j, sample j) of one series, as AddPoint
    // would one by one: sample j is sample number first + j x stride of the buffer, unsigned
    // 8-bit when bytesPerSample is 1, else signed 16-bit. Samples beyond the buffer's end are
    // left out.
    void AddSamples(int32_t series, const QColor& color, double size,
                    std::shared_ptr<const TSampleBuffer> buffer, int32_t bytesPerSample,
                    int32_t first, int32_t count, int32_t stride);
    void BeginUpdate();
    void EndUpdate();

    int64_t PointCount() const { return StoredCount; }
    int64_t SeriesCount(int32_t series) const;

    int32_t PlotLeft() const { return PlotLeft_; }
    int32_t PlotRight() const { return PlotRight_; }
    int32_t PlotTop() const { return PlotTop_; }
    int32_t PlotBottom() const { return PlotBottom_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    static bool SeriesStored(int32_t series) {
        return series >= LowestSeries && series < HighestSeries;
    }

    // Visits the stored points in insertion order: records one by one, sample runs whole.
    template <class RecordVisitor, class RunVisitor>
    void WalkPoints(RecordVisitor onRecord, RunVisitor onRun) const {
        size_t record = 0;
        for (const TSampleRun& run : Runs) {
            for (; record < run.Position(); ++record)
                onRecord(Points[record]);
            onRun(run);
        }
        for (; record < Points.size(); ++record)
            onRecord(Points[record]);
    }
    const std::vector<TDataPoint>& Records() const { return Points; }

    TCanvas* Canvas = nullptr;
    int32_t PlotLeft_ = 0;
    int32_t PlotRight_ = 0;
    int32_t PlotTop_ = 0;
    int32_t PlotBottom_ = 0;

private:
    void Stored(int32_t series, int64_t count);

    bool DrawLastPixel_ = false;
    bool Updating_ = false;
    QColor GridColor_{clBlack};
    int32_t Decimals1_ = 0;
    int32_t Decimals2_ = 0;
    std::vector<TDataPoint> Points;
    std::vector<TSampleRun> Runs;
    std::array<int64_t, HighestSeries - LowestSeries + 1> SeriesCounts{};
    int64_t StoredCount = 0;
    int32_t GraphBorder_ = 20;

protected:
    bool DefaultData_ = false;
};

// An x/y graph: the points drawn as polylines and markers or as bars, in a framed plot area with
// linear or log axes, grid, labels and a title.
class TGraphBox : public TCustomGraph {
    Q_OBJECT
public:
    // The axes and the title are child objects and go with the graph.
    explicit TGraphBox(QWidget* parent = nullptr);

    TAxisParams* XAxis() const { return XAxis_; }
    TAxisParams* YAxis() const { return YAxis_; }
    TGraphTitle* Title() const { return Title_; }
    TNotifyEvent OnPaint;
    TGraphType GraphType() const { return GraphType_; }
    void SetGraphType(TGraphType value);

    void SetDefaultData(bool value) override;
    void AddPoint(int32_t series, const QColor& color, double x, double y, double size);
    void SetXRange(int32_t lines, double min, double max);
    void SetYRange(int32_t lines, double min, double max);

    void DrawTo(QPainter& painter) override;
    QPoint DataToPixel(double x, double y) const;

    int32_t PlotWidth() const { return PlotWidth_; }
    int32_t PlotHeight() const { return PlotHeight_; }
    double XScale() const { return XScale_; }
    double YScale() const { return YScale_; }
    double XOffset() const { return XOffset_; }
    double YOffset() const { return YOffset_; }

protected:
    virtual void AxisChanged(QObject* sender);
    void TitleChanged(QObject* sender);

private:
    void MoveToPlot(int32_t x, int32_t y);
    void LineToPlot(int32_t x, int32_t y, const QColor& color);
    // Far-out pixels clamped, so that they fit an integer and still lie off any screen.
    static int32_t ClampPixel(double v);
    // A data point in plot pixels (y up from the plot's bottom), before any rounding.
    QPointF PlotPoint(double x, double y) const;
    // The part of the line between two plot points that can show, in the pen width and colour.
    void DrawDataLine(QPointF from, QPointF to, int32_t penWidth, const QColor& color);
    void DrawLinearXAxis(int32_t lines, double min, double max);
    void DrawLinearYAxis(int32_t lines, double min, double max);
    void DrawLogXAxis(double min, double max);
    void DrawLogYAxis(double min, double max);
    QString FormatAxisValue(const TAxisParams& axis, double v) const;
    int32_t YLabelWidth() const;
    void DrawTitle();
    void LayOut();
    void DrawLineGraph();
    int64_t DrawSeries(int32_t series);
    void DrawBars(bool horizontal);

    TGraphType GraphType_ = TGraphType::gtHorzBar;
    TAxisParams* XAxis_;
    TAxisParams* YAxis_;
    TGraphTitle* Title_;
    int32_t PlotWidth_ = 0;
    int32_t PlotHeight_ = 0;
    double XScale_ = 1;
    double YScale_ = 1;
    double XOffset_ = 0;
    double YOffset_ = 0;
};
