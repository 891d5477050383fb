#include "window/oscilloscope.h"

#include "controls/colors.h"

#include <algorithm>
#include <memory>

namespace {

// Module-wide state: the scope's two graphs and the ranges the reset buttons restore.
TGraphBox* LeftGraph = nullptr;
TGraphBox* RightGraph = nullptr;
TScopeRanges SavedRanges;
// The copy of the last plotted buffer that the graphs show; its memory serves the next buffer.
std::shared_ptr<TSampleBuffer> Samples;

constexpr double PointSize = 1.0;

TAxisParams& ChosenAxis(TGraphBox& graph, bool vertical) {
    return vertical ? *graph.YAxis() : *graph.XAxis();
}

void SetAxisRange(TAxisParams& axis, const TAxisRange& range) {
    axis.SetMin(range.Min);
    axis.SetMax(range.Max);
}

void PlotMono(const void* buffer, int32_t frames, int32_t bytesPerSample) {
    LeftGraph->BeginUpdate();
    LeftGraph->Clear();
    TSampleBuffer::Refill(Samples, buffer, size_t(frames) * bytesPerSample);
    LeftGraph->AddSamples(0, clRed, PointSize, Samples, bytesPerSample, 0, frames, 1);
    LeftGraph->EndUpdate();
}

// Every frame is plotted: the left sample of frame k at x = k on the left, the right sample at
// x = k on the right, so each graph shows its whole channel over the whole X range.
void PlotStereo(const void* buffer, int32_t frames, int32_t bytesPerSample) {
    LeftGraph->BeginUpdate();
    RightGraph->BeginUpdate();
    LeftGraph->Clear();
    RightGraph->Clear();
    TSampleBuffer::Refill(Samples, buffer, size_t(frames) * 2 * bytesPerSample);
    LeftGraph->AddSamples(0, clRed, PointSize, Samples, bytesPerSample, 0, frames, 2);
    RightGraph->AddSamples(0, clRed, PointSize, Samples, bytesPerSample, 1, frames, 2);
    LeftGraph->EndUpdate();
    RightGraph->EndUpdate();
}

} // namespace

void AttachScopeGraphs(TGraphBox* leftGraph, TGraphBox* rightGraph) {
    LeftGraph = leftGraph;
    RightGraph = rightGraph;
}

void DetachScopeGraphs(const TGraphBox* leftGraph) {
    if (LeftGraph == leftGraph)
        AttachScopeGraphs(nullptr, nullptr);
}

void SetupScopeAxes(int32_t SamplesPerBuffer, int32_t BytesPerSample) {
    if (!LeftGraph)
        return;
    LeftGraph->Clear();
    RightGraph->Clear();
    // The next buffer has another length: nothing is gained by holding on to the last copy.
    Samples.reset();
    for (TGraphBox* graph : {LeftGraph, RightGraph}) {
        graph->XAxis()->SetMin(0);
        graph->XAxis()->SetMax(double(SamplesPerBuffer) - 1);
    }
    for (TGraphBox* graph : {LeftGraph, RightGraph}) {
        if (BytesPerSample == 1) {
            graph->YAxis()->SetMin(0);
            graph->YAxis()->SetMax(256);
        } else {
            graph->YAxis()->SetMin(-32768);
            graph->YAxis()->SetMax(32768);
        }
    }
    SaveResetRanges();
}

void SaveResetRanges() {
    if (!LeftGraph)
        return;
    SavedRanges.Y = {LeftGraph->YAxis()->Min(), LeftGraph->YAxis()->Max()};
    SavedRanges.X = {LeftGraph->XAxis()->Min(), LeftGraph->XAxis()->Max()};
}

const TScopeRanges& ResetRanges() {
    return SavedRanges;
}

void PlotBuffer(const void* Buffer, int32_t SampleCount, const TWaveDataFormat& Format) {
    if (!LeftGraph)
        return;
    // No samples to read means an empty trace, never a read through a null pointer.
    const int32_t frames = Buffer ? std::max(SampleCount, 0) : 0;
    const int32_t sampleBytes = Format.BytesPerSample == 1 ? 1 : 2;
    if (Format.Channels == 1)
        PlotMono(Buffer, frames, sampleBytes);
    else
        PlotStereo(Buffer, frames, sampleBytes);
}

void ZoomAxis(TGraphBox& Graph, bool Vertical, double Factor) {
    TAxisParams& axis = ChosenAxis(Graph, Vertical);
    const double half = (axis.Max() - axis.Min()) / 2 * Factor;
    const double centre = (axis.Max() + axis.Min()) / 2;
    axis.SetMin(centre - half);
    axis.SetMax(centre + half);
}

void PanAxis(TGraphBox& Graph, bool Vertical, double Fraction) {
    TAxisParams& axis = ChosenAxis(Graph, Vertical);
    const double d = (axis.Max() - axis.Min()) * Fraction;
    axis.SetMax(axis.Max() + d);
    axis.SetMin(axis.Min() + d);
}

void ResetAxis(TGraphBox& Graph, const TScopeRanges& Ranges, bool Horizontal) {
    SetAxisRange(ChosenAxis(Graph, !Horizontal), Horizontal ? Ranges.X : Ranges.Y);
}
