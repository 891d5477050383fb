#include "audio/devices/virtualwavedevice.h"
#include "audio/waveread.h"

#include <QCoreApplication>
#include <benchmark/benchmark.h>
#include <cstring>
#include <sys/mman.h>

namespace {

QCoreApplication& Application() {
    static int argc = 1;
    static char name[] = "bench_audio_bufferstart";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    return application;
}

void StartAndStop(benchmark::State& state, TWaveTypes waveType, int32_t bufferFrames) {
    Application();
    TVirtualWaveDevice device;
    TWaveDeviceFactory* previous = SetWaveDeviceFactory(&device);
    TWaveReader reader;
    reader.SetWaveType(waveType);
    reader.SampleCount = bufferFrames;
    for (auto _ : state) {
        reader.Start();
        reader.Stop();
    }
    SetWaveDeviceFactory(previous);
}

// Starting a run commits four buffers of the whole delay before anything plays; a start and
// stop of buffers up to half a gigabyte each.
void StartAndStopWithLargeBuffers(benchmark::State& state) {
    StartAndStop(state, wf44Khz_Mono_16Bit, int32_t((state.range(0) << 20) / 2));
    state.counters["BufferMiB"] = double(state.range(0));
}

constexpr int32_t OneHourFrames = 44100 * 3600;
constexpr size_t OneHourStereo16Bytes = size_t(OneHourFrames) * 4;

// Four one-hour buffers of 44.1 kHz stereo 16-bit, committed (and locked where allowed) at
// start: compare with BM_FreshMemset, the same bytes written once into fresh memory.
void BM_StartOneHourStereo16(benchmark::State& state) {
    StartAndStop(state, wf44Khz_Stereo_16Bit, OneHourFrames);
}

void BM_FreshMemset(benchmark::State& state) {
    for (auto _ : state) {
        for (int buffer = 0; buffer < TWaveReader::BufferCount; ++buffer) {
            void* memory = mmap(nullptr, OneHourStereo16Bytes, PROT_READ | PROT_WRITE,
                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (memory == MAP_FAILED) {
                state.SkipWithError("no memory");
                return;
            }
            std::memset(memory, 0, OneHourStereo16Bytes);
            benchmark::DoNotOptimize(memory);
            munmap(memory, OneHourStereo16Bytes);
        }
    }
}

} // namespace

BENCHMARK(StartAndStopWithLargeBuffers)->Arg(1)->Arg(500)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartOneHourStereo16)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_FreshMemset)->Unit(benchmark::kMillisecond)->Iterations(3);
