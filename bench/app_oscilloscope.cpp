#include "bench/graph_application.h"
#include "window/oscilloscope.h"
#include "window/oscopepanel.h"

#include <QImage>
#include <benchmark/benchmark.h>
#include <cmath>
#include <vector>

namespace {

std::vector<int16_t> StereoTone(int32_t frames) {
    std::vector<int16_t> buffer(2 * size_t(frames));
    for (int32_t k = 0; k < frames; ++k) {
        buffer[2 * size_t(k)] = int16_t(20000 * std::sin(k * 0.0005) + 2000 * std::sin(k * 0.7));
        buffer[2 * size_t(k) + 1] = int16_t(15000 * std::sin(k * 0.0011));
    }
    return buffer;
}

// The scope panel with one capture buffer of a ten-minute delay at 44.1 kHz stereo 16-bit, and
// images of the two graphs' window sizes to paint them on.
struct TTenMinuteScope {
    static constexpr int32_t Frames = 10 * 60 * 44100;
    const TWaveDataFormat Format{44100, 2, 2};
    std::vector<int16_t> Buffer = StereoTone(Frames);
    TOscopePanel Panel{nullptr};
    QImage Left{Panel.LeftGraph->size(), QImage::Format_ARGB32_Premultiplied};
    QImage Right{Panel.RightGraph->size(), QImage::Format_ARGB32_Premultiplied};

    TTenMinuteScope() { SetupScopeAxes(Frames, Format.BytesPerSample); }
    void Paint() {
        Panel.LeftGraph->render(&Left);
        Panel.RightGraph->render(&Right);
        benchmark::DoNotOptimize(Left.constBits());
        benchmark::DoNotOptimize(Right.constBits());
    }
};

// PlotBuffer and one paint of both graphs.
void BM_PlotBufferTenMinutesStereo16(benchmark::State& state) {
    EnsureApplication();
    TTenMinuteScope scope;
    for (auto _ : state) {
        PlotBuffer(scope.Buffer.data(), scope.Frames, scope.Format);
        scope.Paint();
    }
    state.counters["buffer_MB"] = double(scope.Buffer.size() * sizeof(int16_t)) / 1e6;
}
BENCHMARK(BM_PlotBufferTenMinutesStereo16)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A held zoom button repaints the same buffer at every repeat.
void BM_ZoomRepaintTenMinutesStereo16(benchmark::State& state) {
    EnsureApplication();
    TTenMinuteScope scope;
    PlotBuffer(scope.Buffer.data(), scope.Frames, scope.Format);
    for (auto _ : state) {
        scope.Panel.ZoomInRawHBtnClick();
        scope.Paint();
    }
}
BENCHMARK(BM_ZoomRepaintTenMinutesStereo16)->Unit(benchmark::kMillisecond);

} // namespace
