#include "audio/cycleload.h"

#include <algorithm>

void TCycleTimer::Record(uint64_t micros, uint64_t lateCycles, uint32_t periodMicros) {
    const auto bucket = size_t(std::min<uint64_t>(micros, Buckets - 1));
    Histogram[bucket].fetch_add(1, std::memory_order_relaxed);
    const auto clipped = uint32_t(std::min<uint64_t>(micros, UINT32_MAX));
    if (clipped > Worst.load(std::memory_order_relaxed))
        Worst.store(clipped, std::memory_order_relaxed);
    Period.store(periodMicros, std::memory_order_relaxed);
    if (lateCycles > 0)
        Late.fetch_add(lateCycles, std::memory_order_relaxed);
    Cycles.fetch_add(1, std::memory_order_release);
}

TCycleLoad TCycleTimer::Load() const {
    TCycleLoad load;
    load.Cycles = Cycles.load(std::memory_order_acquire);
    load.Late = Late.load(std::memory_order_relaxed);
    load.WorstMicros = Worst.load(std::memory_order_relaxed);
    load.PeriodMicros = Period.load(std::memory_order_relaxed);
    // The cycles counted before the scan; those the audio side adds meanwhile only make the
    // percentile a little later, never earlier. Under a thousand cycles, it is the worst.
    const uint64_t needed = load.Cycles - load.Cycles / 1000;
    uint64_t seen = 0;
    for (size_t bucket = 0; bucket < Buckets; ++bucket) {
        seen += Histogram[bucket].load(std::memory_order_relaxed);
        if (seen >= needed || bucket + 1 == Buckets) {
            load.P999Micros = uint32_t(bucket);
            break;
        }
    }
    if (load.Cycles == 0)
        load.P999Micros = 0;
    return load;
}

std::optional<TLateCycleWatch::TSecond> TLateCycleWatch::Sample(const TCycleLoad& load,
                                                                int64_t nowMs) {
    if (!Last || load.Cycles < Last->Cycles) {
        Last = load;
        LastMs = nowMs;
        return std::nullopt;
    }
    if (nowMs - LastMs < 1000)
        return std::nullopt;
    TSecond second{load.Cycles - Last->Cycles, load.Late - Last->Late, std::nullopt};
    Last = load;
    LastMs = nowMs;
    Seconds.push_back(second);
    if (Seconds.size() > size_t(WindowSeconds))
        Seconds.pop_front();
    if (Seconds.size() < size_t(WindowSeconds))
        return second;
    uint64_t cycles = 0;
    uint64_t late = 0;
    for (const TSecond& each : Seconds) {
        cycles += each.Cycles;
        late += each.Late;
    }
    const double percent = cycles > 0 ? 100.0 * double(late) / double(cycles) : 0.0;
    if (percent <= MostLatePercent) {
        Raised = false;
    } else if (!Raised) {
        Raised = true;
        second.RaisePercent = percent;
    }
    return second;
}

void TLateCycleWatch::Reset() {
    Seconds.clear();
    Last.reset();
    LastMs = 0;
    Raised = false;
}
