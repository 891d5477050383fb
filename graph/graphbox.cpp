#include "graph/graphbox.h"

#include "support/conversions.h"

#include <QPaintEvent>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

static_assert(std::endian::native == std::endian::little,
              "16-bit samples are copied in their little-endian wire order");

namespace {

// Pixels further out than this are clamped: a deep zoom must not overflow the pixel integers,
// nor Qt's text positions, which are 26.6 fixed point and end at 2^25.
constexpr double PixelLimit = 1 << 24;

// Plot coordinates beyond this are infinities or worse; below it any finite slope survives
// and the difference of two coordinates stays finite.
constexpr double FarOut = 1e300;

// Pixels a data line is clipped beyond the plot, besides its pen width, so that a wide pen
// still shows up to the plot's edge and a lengthened last pixel stays outside.
constexpr double ClipMargin = 2;

// Cuts the segment from a to b down to its part inside box; false when none of it is inside.
bool ClipSegment(QPointF& a, QPointF& b, const QRectF& box) {
    const QPointF d = b - a;
    // For each edge, how fast the segment heads out through it and how far a is inside it.
    const double edges[4][2] = {{-d.x(), a.x() - box.left()},
                                {d.x(), box.right() - a.x()},
                                {-d.y(), a.y() - box.top()},
                                {d.y(), box.bottom() - a.y()}};
    double enter = 0;
    double leave = 1;
    for (const auto& [outward, inside] : edges) {
        if (outward == 0) {
            if (inside < 0)
                return false;
        } else if (outward < 0) {
            enter = std::max(enter, inside / outward);
        } else {
            leave = std::min(leave, inside / outward);
        }
    }
    if (enter > leave)
        return false;
    // Ends inside stay exact, so what lies within the plot is drawn as it always was.
    if (leave < 1)
        b = a + d * leave;
    if (enter > 0)
        a = a + d * enter;
    return true;
}

// Below this many points per pixel of width a series is drawn point by point.
constexpr int64_t PointsPerPixel = 50;

} // namespace

void TSampleBuffer::Refill(std::shared_ptr<TSampleBuffer>& buffer, const void* samples,
                           size_t bytes) {
    const bool reusable = buffer && buffer.use_count() == 1 && buffer->Capacity >= bytes &&
                          buffer->Capacity / 2 <= bytes;
    if (!reusable) {
        buffer = std::make_shared<TSampleBuffer>();
        // Left uninitialised: the copy below writes every byte.
        buffer->Bytes.reset(new uint8_t[bytes]);
        buffer->Capacity = bytes;
    }
    if (bytes > 0)
        std::memcpy(buffer->Bytes.get(), samples, bytes);
    buffer->Used = bytes;
}

TSampleRun::TSampleRun(int32_t series, const QColor& color, double size,
                       std::shared_ptr<const TSampleBuffer> buffer, int32_t bytesPerSample,
                       int64_t first, int64_t count, int32_t stride, size_t position)
    : SeriesNumber(series), RunColor(color), PointSize(size), Buffer(std::move(buffer)),
      Wide(bytesPerSample != 1), First(first), SampleCount(count), Stride(stride),
      RecordsBefore(position) {}

TCustomGraph::TCustomGraph(QWidget* parent) : TPanel(parent) {}

TCustomGraph::~TCustomGraph() = default;

void TCustomGraph::SetGridColor(const QColor& value) {
    if (Change(GridColor_, value))
        update();
}

void TCustomGraph::SetGraphBorder(int32_t value) {
    if (Change(GraphBorder_, value))
        update();
}

void TCustomGraph::SetDecimals1(int32_t value) {
    if (Change(Decimals1_, value))
        update();
}

void TCustomGraph::SetDecimals2(int32_t value) {
    if (Change(Decimals2_, value))
        update();
}

void TCustomGraph::Clear() {
    SeriesCounts.fill(0);
    Points.clear();
    Points.shrink_to_fit();
    Runs.clear();
    StoredCount = 0;
    update();
}

void TCustomGraph::Stored(int32_t series, int64_t count) {
    SeriesCounts[series - LowestSeries] += count;
    StoredCount += count;
    if (!Updating_)
        update();
}

void TCustomGraph::AddLabelledPoint(int32_t series, const QString& text, double x, double y,
                                    double size, const QColor& color) {
    if (!SeriesStored(series))
        return;
    Points.push_back(TDataPoint{x, y, size, color, series, text});
    Stored(series, 1);
}

void TCustomGraph::AddSamples(int32_t series, const QColor& color, double size,
                              std::shared_ptr<const TSampleBuffer> buffer, int32_t bytesPerSample,
                              int32_t first, int32_t count, int32_t stride) {
    if (!SeriesStored(series) || !buffer || first < 0 || stride < 1)
        return;
    const int64_t available = int64_t(buffer->Size() / (bytesPerSample == 1 ? 1 : 2)) - first;
    const int64_t fits = available > 0 ? (available - 1) / stride + 1 : 0;
    const int64_t stored = std::min<int64_t>(count, fits);
    if (stored <= 0)
        return;
    Runs.emplace_back(series, color, size, std::move(buffer), bytesPerSample, first, stored, stride,
                      Points.size());
    Stored(series, stored);
}

void TCustomGraph::BeginUpdate() {
    Updating_ = true;
}

void TCustomGraph::EndUpdate() {
    Updating_ = false;
    update();
}

int64_t TCustomGraph::SeriesCount(int32_t series) const {
    return series >= LowestSeries && series <= HighestSeries ? SeriesCounts[series - LowestSeries]
                                                             : 0;
}

void TCustomGraph::paintEvent(QPaintEvent* event) {
    TPanel::paintEvent(event);
    QPainter painter(this);
    if (Color() == clWhite)
        TCanvas(painter).FrameRect(FaceRect(), clBlack);
    DrawTo(painter);
}

TGraphBox::TGraphBox(QWidget* parent)
    : TCustomGraph(parent), XAxis_(new TAxisParams(this)), YAxis_(new TAxisParams(this)),
      Title_(new TGraphTitle(this)) {
    resize(90, 90);
    SetColor(clWhite);
    SetBevelOuter(TPanelBevel::bvLowered);
    XAxis_->OnChange = [this](QObject* sender) { AxisChanged(sender); };
    YAxis_->OnChange = [this](QObject* sender) { AxisChanged(sender); };
    Title_->OnChange = [this](QObject* sender) { TitleChanged(sender); };
    SetXRange(3, 0, 75);
    SetYRange(3, 0, 75);
    SetDecimals1(0);
    SetDecimals2(0);
    SetDefaultData(true);
    XAxis_->SetShowLabels(true);
    YAxis_->SetShowLabels(true);
}

void TGraphBox::AxisChanged(QObject*) {
    update();
}

void TGraphBox::TitleChanged(QObject*) {
    update();
}

void TGraphBox::SetGraphType(TGraphType value) {
    if (Change(GraphType_, value))
        update();
}

void TGraphBox::SetDefaultData(bool value) {
    if (DefaultData_ == value)
        return;
    DefaultData_ = value;
    if (!value) {
        Clear();
        return;
    }
    AddPoint(0, clRed, 10, 10, 5);
    AddPoint(0, clGreen, 15, 25, 5);
    AddPoint(0, QColor(0, 0, 255), 50, 50, 5); // the toolkit's clBlue
    AddPoint(0, clSilver, 128, 100, 5);
}

void TGraphBox::AddPoint(int32_t series, const QColor& color, double x, double y, double size) {
    AddLabelledPoint(series, QString(), x, y, size, color);
}

void TGraphBox::SetXRange(int32_t lines, double min, double max) {
    XAxis_->SetLines(lines);
    XAxis_->SetMin(min);
    XAxis_->SetMax(max);
    update();
}

void TGraphBox::SetYRange(int32_t lines, double min, double max) {
    YAxis_->SetLines(lines);
    YAxis_->SetMin(min);
    YAxis_->SetMax(max);
    update();
}

namespace {

// An axis value as the axis measures it: its logarithm on a log axis, where values at or
// below zero count as 1.
double AxisValue(const TAxisParams& axis, double v) {
    if (!axis.Log())
        return v;
    return v <= 0 ? 0.0 : double(Log10(v));
}

} // namespace

int32_t TGraphBox::ClampPixel(double v) {
    if (std::isnan(v))
        return 0;
    return int32_t(std::clamp(v, -PixelLimit, PixelLimit));
}

QPointF TGraphBox::PlotPoint(double x, double y) const {
    const auto finite = [](double v) {
        return std::isnan(v) ? 0.0 : std::clamp(v, -FarOut, FarOut);
    };
    return QPointF(finite((AxisValue(*XAxis_, x) - XOffset_) * XScale_),
                   finite((AxisValue(*YAxis_, y) - YOffset_) * YScale_));
}

QPoint TGraphBox::DataToPixel(double x, double y) const {
    const QPointF p = PlotPoint(x, y);
    return QPoint(ClampPixel(std::nearbyint(p.x())) + PlotLeft_,
                  PlotBottom_ - ClampPixel(std::nearbyint(p.y())));
}

void TGraphBox::DrawDataLine(QPointF from, QPointF to, int32_t penWidth, const QColor& color) {
    // Clipped before it becomes pixels: ends clamped one by one would tilt a line whose far end
    // lies far out.
    const double margin = std::max(penWidth, 1) + ClipMargin;
    if (!ClipSegment(from, to,
                     QRectF(-margin, -margin, PlotWidth_ + 2 * margin, PlotHeight_ + 2 * margin)))
        return;
    Canvas->SetPenWidth(penWidth);
    MoveToPlot(int32_t(std::trunc(from.x())), int32_t(std::trunc(from.y())));
    LineToPlot(int32_t(std::trunc(to.x())), int32_t(std::trunc(to.y())), color);
}

void TGraphBox::LayOut() {
    const int32_t w = YLabelWidth();
    if (w == 0) {
        PlotLeft_ = GraphBorder();
        PlotRight_ = width() - GraphBorder();
    } else {
        const int32_t b = GraphBorder() / 3;
        PlotLeft_ = w + BevelWidth() + BorderWidth() + b;
        PlotRight_ = width() - (GraphBorder() - b);
    }
    PlotTop_ = GraphBorder();
    PlotBottom_ = height() - GraphBorder();
    PlotWidth_ = std::abs(PlotRight_ - PlotLeft_);
    PlotHeight_ = std::abs(PlotBottom_ - PlotTop_);
    Canvas->SetPenDotted(false);
    Canvas->MoveTo(PlotLeft_, PlotBottom_);
    Canvas->LineTo(PlotRight_, PlotBottom_);
    Canvas->LineTo(PlotRight_, PlotTop_);
    Canvas->LineTo(PlotLeft_, PlotTop_);
    Canvas->LineTo(PlotLeft_, PlotBottom_);
}

void TGraphBox::DrawTo(QPainter& painter) {
    painter.save();
    painter.setFont(font());
    TCanvas canvas(painter);
    Canvas = &canvas;
    canvas.SetPenColor(GridColor());
    LayOut();
    canvas.SetPenColor(GridColor());
    DrawTitle();
    if (XAxis_->Log())
        DrawLogXAxis(XAxis_->Min(), XAxis_->Max());
    else
        DrawLinearXAxis(XAxis_->Lines(), XAxis_->Min(), XAxis_->Max());
    if (YAxis_->Log())
        DrawLogYAxis(YAxis_->Min(), YAxis_->Max());
    else
        DrawLinearYAxis(YAxis_->Lines(), YAxis_->Min(), YAxis_->Max());
    // Only the data is clipped to the plot; frame, grid, labels and title are not.
    canvas.SetClip(QRect(QPoint(PlotLeft_, PlotTop_), QPoint(PlotRight_ - 1, PlotBottom_)));
    switch (GraphType_) {
    case TGraphType::gtHorzBar:
        DrawBars(true);
        break;
    case TGraphType::gtVertBar:
        DrawBars(false);
        break;
    default:
        DrawLineGraph();
        break;
    }
    canvas.RemoveClip();
    Canvas = nullptr;
    painter.restore();
    if (OnPaint)
        OnPaint(this);
}

void TGraphBox::DrawLineGraph() {
    int64_t drawn = 0;
    for (int32_t s = LowestSeries; s < HighestSeries; ++s) {
        if (SeriesCount(s) == 0)
            continue;
        if (drawn >= PointCount())
            break;
        drawn += DrawSeries(s);
    }
}

int64_t TGraphBox::DrawSeries(int32_t series) {
    const int64_t count = SeriesCount(series);
    // A graph of no width is drawn as if one pixel wide rather than dividing by zero.
    const int64_t step = count / std::max(width(), 1) / PointsPerPixel + 1;
    int64_t counted = 0;
    bool first = true;
    QPointF previous;
    auto draw = [&](double x, double y, double size, const QColor& color) {
        if (series < 0) {
            const QPoint p = DataToPixel(x, y);
            const int32_t h = int32_t(std::trunc(size));
            Canvas->SetPenColor(clBlack);
            Canvas->SetBrushColor(color);
            Canvas->Rectangle(p.x() - h, p.y() - h, p.x() + h, p.y() + h);
            return;
        }
        const QPointF point = PlotPoint(x, y);
        if (!first)
            DrawDataLine(previous, point, int32_t(std::trunc(size)), color);
        previous = point;
        first = false;
    };
    WalkPoints(
        [&](const TDataPoint& point) {
            if (point.Series != series)
                return;
            ++counted;
            if (counted % step == 0)
                draw(point.X, point.Y, point.Size, point.Color);
        },
        [&](const TSampleRun& run) {
            if (run.Series() != series)
                return;
            // Sample j is point number counted + j + 1 of the series; jump from one multiple
            // of step to the next instead of visiting every sample.
            for (int64_t j = step - 1 - counted % step; j < run.Count(); j += step)
                draw(double(j), run.Sample(j), run.Size(), run.Color());
            counted += run.Count();
        });
    for (const TDataPoint& point : Records()) {
        if (point.Series == series && !point.Text.isEmpty()) {
            const QPoint p = DataToPixel(point.X, point.Y);
            Canvas->TextOut(p.x(), p.y(), point.Text);
        }
    }
    return count;
}

void TGraphBox::DrawBars(bool horizontal) {
    auto bar = [&](double x, double y, double size, const QColor& color) {
        const QPoint a = horizontal ? DataToPixel(0, y - size / 2) : DataToPixel(x - size / 2, y);
        const QPoint b = horizontal ? DataToPixel(x, y + size / 2) : DataToPixel(x + size / 2, 0);
        Canvas->SetPenColor(GridColor());
        Canvas->SetBrushColor(color);
        Canvas->Rectangle(a.x(), a.y(), b.x(), b.y());
    };
    WalkPoints([&](const TDataPoint& point) { bar(point.X, point.Y, point.Size, point.Color); },
               [&](const TSampleRun& run) {
                   for (int64_t j = 0; j < run.Count(); ++j)
                       bar(double(j), run.Sample(j), run.Size(), run.Color());
               });
}
