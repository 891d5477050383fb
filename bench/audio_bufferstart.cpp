#include "audio/virtualwavedevice.h"
#include "audio/waveread.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>

namespace {

// Starting a run allocates four buffers of the whole delay; zero pages come lazily, so even
// half a gigabyte each must start (and stop) in well under a second.
void StartAndStopWithLargeBuffers(benchmark::State& state) {
    static int argc = 1;
    static char name[] = "bench_audio_bufferstart";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    TVirtualWaveDevice device;
    TWaveDeviceFactory* previous = SetWaveDeviceFactory(&device);
    const int64_t bufferBytes = state.range(0) << 20;
    TWaveReader reader;
    reader.SetWaveType(wf44Khz_Mono_16Bit);
    reader.SampleCount = int32_t(bufferBytes / 2);
    for (auto _ : state) {
        reader.Start();
        reader.Stop();
    }
    state.counters["BufferMiB"] = double(state.range(0));
    SetWaveDeviceFactory(previous);
}

} // namespace

BENCHMARK(StartAndStopWithLargeBuffers)->Arg(1)->Arg(500)->Unit(benchmark::kMillisecond);
