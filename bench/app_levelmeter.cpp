// The level meter walks the whole delay once per buffer on the main thread: each walk over a
// 256 MB buffer should stay within 2.5x of a plain sequential read of the same memory.

#include "station/levelmeter.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t BufferBytes = size_t(256) << 20;

// One buffer for every benchmark, filled once, so all read the same warm pages.
const uint8_t* Buffer() {
    static const uint8_t* buffer = [] {
        auto* bytes = static_cast<uint8_t*>(std::aligned_alloc(64, BufferBytes));
        for (size_t i = 0; i < BufferBytes; ++i)
            bytes[i] = uint8_t(i * 7 + i / 4096);
        return bytes;
    }();
    return buffer;
}

void BM_SequentialRead(benchmark::State& state) {
    const auto* words = reinterpret_cast<const uint64_t*>(Buffer());
    for (auto _ : state) {
        uint64_t sum = 0;
        for (size_t i = 0; i < BufferBytes / sizeof(uint64_t); ++i)
            sum += words[i];
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BufferBytes));
}

void LevelMeter(benchmark::State& state, TWaveDataFormat format) {
    const auto frames = int32_t(BufferBytes / size_t(format.BytesPerSample * format.Channels));
    for (auto _ : state) {
        TLevelReading reading = MeasureLevels(Buffer(), frames, format);
        benchmark::DoNotOptimize(reading);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(BufferBytes));
}

void BM_LevelMeter_Mono8(benchmark::State& state) {
    LevelMeter(state, {44100, 1, 1});
}
void BM_LevelMeter_Stereo8(benchmark::State& state) {
    LevelMeter(state, {44100, 1, 2});
}
void BM_LevelMeter_Mono16(benchmark::State& state) {
    LevelMeter(state, {44100, 2, 1});
}
void BM_LevelMeter_Stereo16(benchmark::State& state) {
    LevelMeter(state, {44100, 2, 2});
}

} // namespace

BENCHMARK(BM_SequentialRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LevelMeter_Mono8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LevelMeter_Stereo8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LevelMeter_Mono16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LevelMeter_Stereo16)->Unit(benchmark::kMillisecond);
