// The level meter sets two bars on every captured buffer: what that costs when the percentage
// stays and when it changes and the bar paints.

#include <QApplication>
#include <benchmark/benchmark.h>
#include <memory>

#include "controls/colors.h"
#include "controls/gauges.h"

namespace {

// Painting text needs an application object, made before the benchmarks run; headless.
const std::unique_ptr<QApplication> Application = [] {
    static int argc = 1;
    static char name[] = "bench_controls_gauge";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QApplication>(argc, argv);
}();

// A level bar as the window places it.
struct TLevelBar {
    TGauge Gauge;
    TLevelBar() {
        Gauge.resize(15, 205);
        Gauge.SetKind(TGaugeKind::gkVerticalBar);
        Gauge.SetMaxValue(1000);
        Gauge.SetForeColor(clMaroon);
        Gauge.SetBorderStyle(TBorderStyle::bsNone);
    }
};

void BM_LevelBarProgressSamePercent(benchmark::State& state) {
    TLevelBar bar;
    int32_t progress = 500;
    for (auto _ : state) {
        // 500..509 is 50 % throughout: no repaint is asked for.
        bar.Gauge.SetProgress(500 + (++progress % 10));
        benchmark::DoNotOptimize(bar.Gauge.Percent());
    }
}
BENCHMARK(BM_LevelBarProgressSamePercent);

void BM_LevelBarPaint(benchmark::State& state) {
    TLevelBar bar;
    int32_t progress = 0;
    for (auto _ : state) {
        progress = (progress + 37) % 1001;
        bar.Gauge.SetProgress(progress);
        benchmark::DoNotOptimize(bar.Gauge.PaintImage());
    }
}
BENCHMARK(BM_LevelBarPaint);

} // namespace
