#include "audio/handover.h"
#include "audio/onairplayer.h"

#include <array>
#include <benchmark/benchmark.h>
#include <vector>

namespace {

constexpr uint32_t Rate = 48000;
constexpr uint32_t Channels = 2;
constexpr uint32_t PeriodFrames = 256;
constexpr uint32_t DelayFrames = 2 * Rate;
constexpr TWaveFormat Stereo16{WaveFormatPcm, Channels, Rate, Rate * 4, 4, 16, 0};

// One JACK cycle of a linked run: the input writes a period into its buffers (four of one
// delay each, as a run has), the output plays one.
class TLinkedRun {
public:
    explicit TLinkedRun(const TBuildUp& buildUp)
        : Link(THandOver::TTiming::SharedClock, 0, Stereo16, true, buildUp),
          Output(size_t(PeriodFrames) * Channels) {
        uint32_t noise = 1;
        for (std::vector<int16_t>& buffer : Buffers) {
            buffer.resize(size_t(DelayFrames) * Channels);
            for (int16_t& sample : buffer) {
                noise = noise * 1664525u + 1013904223u;
                sample = int16_t(noise >> 16);
            }
        }
    }

    void Cycle() {
        if (Written == 0)
            Link.Begin(Data(), DelayFrames, Time);
        Link.Wrote(PeriodFrames);
        Written += PeriodFrames;
        if (Written == DelayFrames) {
            Link.Complete(Time + PeriodFrames);
            Written = 0;
            ++Filling;
        }
        Link.Player().Play(reinterpret_cast<uint8_t*>(Output.data()), PeriodFrames, Time);
        Time += PeriodFrames;
    }

    THandOver Link;

private:
    const char* Data() const {
        return reinterpret_cast<const char*>(Buffers[Filling % Buffers.size()].data());
    }

    std::array<std::vector<int16_t>, 4> Buffers;
    std::vector<float> Output;
    uint64_t Time = 0;
    uint32_t Written = 0;
    size_t Filling = 0;
};

// The audio callback's cost as a share of its period, 48 kHz stereo, 256-frame periods: plain
// pass-through, and the build-up after a one-second dump (dumped again whenever it is done).
void Callback(benchmark::State& state, bool buildingUp) {
    TLinkedRun run(TBuildUp{3.0, false});
    for (uint32_t frame = 0; frame < 2 * DelayFrames; frame += PeriodFrames)
        run.Cycle();
    for (auto _ : state) {
        if (buildingUp && !run.Link.BuildingUp.load(std::memory_order_relaxed))
            run.Link.DumpRequest.store(Rate, std::memory_order_relaxed);
        run.Cycle();
    }
    // Seconds of callback per second of sound.
    state.counters["PeriodShare"] =
        benchmark::Counter(double(state.iterations()) * PeriodFrames / Rate,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
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
