#pragma once

// The two-channel oscilloscope: fits the axes of the scope panel's graphs to the audio format
// and buffer length, draws each captured buffer, and pans, zooms and resets the view. The
// functions act on the graphs of the one TOscopePanel the window made; before it exists (or
// after it is gone) they do nothing.

#include "audio/waveread.h"
#include "graph/graphbox.h"

#include <cstdint>

struct TAxisRange {
    double Min = 0;
    double Max = 0;
};

// The Y range first, the X range second.
struct TScopeRanges {
    TAxisRange Y;
    TAxisRange X;
};

// Called by the scope panel as it is made and destroyed; a panel going away detaches only its
// own graphs, never those of a newer panel.
void AttachScopeGraphs(TGraphBox* leftGraph, TGraphBox* rightGraph);
void DetachScopeGraphs(const TGraphBox* leftGraph);

// X from 0 to the last frame of one buffer, Y over the whole sample range; clears both graphs
// and saves the ranges for the reset buttons.
void SetupScopeAxes(int32_t SamplesPerBuffer, int32_t BytesPerSample);
// Copies the current axis ranges of the left graph into ResetRanges().
void SaveResetRanges();
const TScopeRanges& ResetRanges();

// Replaces the graphs' points with the buffer's samples: mono into the left graph only, stereo
// the left sample of frame k at x = k in the left graph and the right one at x = k in the right.
void PlotBuffer(const void* Buffer, int32_t SampleCount, const TWaveDataFormat& Format);

// Scales one axis range about its centre (Factor below 1 zooms in).
void ZoomAxis(TGraphBox& Graph, bool Vertical, double Factor);
// Shifts one axis range by Fraction of its span.
void PanAxis(TGraphBox& Graph, bool Vertical, double Fraction);
// Restores the X (Horizontal) or the Y axis from Ranges.
void ResetAxis(TGraphBox& Graph, const TScopeRanges& Ranges, bool Horizontal);
