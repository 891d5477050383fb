// Resuming a held one-hour 48 kHz stereo 16-bit delay against making a fresh one: both map and
// commit all four buffers (2.8 GB); resuming also moves what is held into a file of its own. It
// should take at most 1.5 times as long as the fresh one.

#include "audio/helddelay.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <unistd.h>

namespace {

const THeldLayout OneHour{48000, 2, 2, 48000 * 3600, 48000ull * 3600};

std::string BenchPath() {
    return THeldDelayFile::PathFor("bench-" + std::to_string(getpid()));
}

// A held delay the input left half a second ago, so that it is resumed.
void LeaveHeld(const std::string& path) {
    THeldDelayFile file = THeldDelayFile::Take(path, OneHour);
    THeldHeader& header = file.Header();
    header.RecordBegin(0, 0);
    header.RecordMark({0, 0, BootTimeNs() - 1000000000});
    header.RecordFilled(24000);
}

void BM_TakeFresh(benchmark::State& state) {
    const std::string path = BenchPath();
    for (auto _ : state) {
        THeldDelayFile::Discard(path);
        const THeldDelayFile file = THeldDelayFile::Take(path, OneHour);
        if (!file.Data() || file.Resumed())
            state.SkipWithError("no fresh delay");
    }
    THeldDelayFile::Discard(path);
}

void BM_TakeHeld(benchmark::State& state) {
    const std::string path = BenchPath();
    for (auto _ : state) {
        state.PauseTiming();
        LeaveHeld(path);
        state.ResumeTiming();
        const THeldDelayFile file = THeldDelayFile::Take(path, OneHour);
        if (!file.Resumed())
            state.SkipWithError("not resumed");
    }
    THeldDelayFile::Discard(path);
}

} // namespace

BENCHMARK(BM_TakeFresh)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TakeHeld)->Unit(benchmark::kMillisecond)->Iterations(3);
