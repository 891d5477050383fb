#include "bench/graph_application.h"
#include "graph/graphbox.h"

#include <QImage>
#include <benchmark/benchmark.h>
#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr int32_t OneMinute = 60 * 44100;

std::vector<int16_t> Tone(int32_t count) {
    std::vector<int16_t> samples(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        samples[size_t(i)] = int16_t(20000 * std::sin(i * 0.0005) + 2000 * std::sin(i * 0.7));
    return samples;
}

std::unique_ptr<TGraphBox> ScopeGraph(int32_t count) {
    auto graph = std::make_unique<TGraphBox>();
    graph->resize(437, 133);
    graph->SetDefaultData(false);
    graph->SetGraphType(TGraphType::gtLine);
    graph->SetXRange(4, 0, count - 1);
    graph->SetYRange(2, -32768, 32768);
    return graph;
}

void Paint(benchmark::State& state, TGraphBox& graph) {
    QImage image(graph.size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        graph.render(&image);
        benchmark::DoNotOptimize(image.constBits());
    }
}

// One minute of mono samples stored as one record per sample, then painted.
void BM_PaintOneMinuteRecords(benchmark::State& state) {
    EnsureApplication();
    const std::vector<int16_t> samples = Tone(OneMinute);
    auto graph = ScopeGraph(OneMinute);
    graph->BeginUpdate();
    for (int32_t i = 0; i < OneMinute; ++i)
        graph->AddPoint(0, clRed, i, samples[size_t(i)], 1.0);
    graph->EndUpdate();
    state.counters["store_MB"] = double(OneMinute) * sizeof(TDataPoint) / 1e6;
    Paint(state, *graph);
}
BENCHMARK(BM_PaintOneMinuteRecords)->Unit(benchmark::kMillisecond);

// The same minute as one run of 16-bit samples.
void BM_PaintOneMinuteSamples(benchmark::State& state) {
    EnsureApplication();
    const std::vector<int16_t> samples = Tone(OneMinute);
    auto graph = ScopeGraph(OneMinute);
    std::shared_ptr<TSampleBuffer> buffer;
    TSampleBuffer::Refill(buffer, samples.data(), samples.size() * sizeof(int16_t));
    graph->AddSamples(0, clRed, 1.0, buffer, 2, 0, OneMinute, 1);
    state.counters["store_MB"] = double(buffer->Size()) / 1e6;
    Paint(state, *graph);
}
BENCHMARK(BM_PaintOneMinuteSamples)->Unit(benchmark::kMillisecond);

} // namespace
