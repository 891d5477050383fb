#include "tests/audio/linkedrun.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <ctime>

namespace {

// The calling thread's own CPU time: a cycle's work, without the time other processes on a
// busy machine took the core from it.
std::chrono::nanoseconds ThreadTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

constexpr uint32_t Rate = 48000;
constexpr uint32_t Channels = 2;
constexpr uint32_t PeriodFrames = 256;
constexpr uint32_t DelayFrames = 2 * Rate;
constexpr TWaveFormat Stereo16{WaveFormatPcm, Channels, Rate, Rate * 4, 4, 16, 0};

// The audio callback's cost as a share of its period, 48 kHz stereo, 256-frame periods: plain
// pass-through, and the build-up after a one-second dump (dumped again whenever it is done,
// so that the crossfade and the stretcher's restart are among the cycles). A device misses
// its deadline on the worst cycle, not the average one: both are reported, the worst both as
// wall time and as the cycle's own work.
void Callback(benchmark::State& state, bool buildingUp) {
    using TClock = std::chrono::steady_clock;
    TLinkedRun run(Stereo16, DelayFrames, TBuildUp{3.0, false});
    for (uint32_t frame = 0; frame < 2 * DelayFrames; frame += PeriodFrames)
        run.Cycle(PeriodFrames);
    TClock::duration worst{};
    std::chrono::nanoseconds worstWork{};
    for (auto _ : state) {
        if (buildingUp && !run.Link.BuildingUp.load(std::memory_order_relaxed))
            run.Link.DumpRequest.store(Rate, std::memory_order_relaxed);
        const TClock::time_point start = TClock::now();
        const std::chrono::nanoseconds startWork = ThreadTime();
        run.Cycle(PeriodFrames);
        worstWork = std::max(worstWork, ThreadTime() - startWork);
        worst = std::max(worst, TClock::now() - start);
    }
    // Seconds of callback per second of sound.
    state.counters["PeriodShare"] =
        benchmark::Counter(double(state.iterations()) * PeriodFrames / Rate,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["WorstPeriodShare"] =
        std::chrono::duration<double>(worst).count() * Rate / PeriodFrames;
    state.counters["WorstWorkPeriodShare"] =
        std::chrono::duration<double>(worstWork).count() * Rate / PeriodFrames;
}

void BM_CallbackPlain(benchmark::State& state) {
    Callback(state, false);
}

void BM_CallbackBuildingUp(benchmark::State& state) {
    Callback(state, true);
}

BENCHMARK(BM_CallbackPlain);
BENCHMARK(BM_CallbackBuildingUp);

} // namespace
