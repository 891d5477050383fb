#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

// How an audio callback keeps time against its server: the cycles it ran, those it finished
// after the server's deadline for them, and what its own work cost per cycle.
struct TCycleLoad {
    uint64_t Cycles = 0;
    uint64_t Late = 0;
    // The callback's own time per cycle: the longest, and the 99.9th percentile.
    uint32_t WorstMicros = 0;
    uint32_t P999Micros = 0;
    // The server's period, as it last told it.
    uint32_t PeriodMicros = 0;
};

// Written by the audio thread once a cycle, without locks or allocation; read by any thread.
class TCycleTimer {
public:
    // One call of the callback, micros long, and the server's cycles it found late since the
    // last: most often none or one, more where the server ran cycles without it.
    void Record(uint64_t micros, uint64_t lateCycles, uint32_t periodMicros);
    TCycleLoad Load() const;

private:
    // One microsecond each; the last takes everything longer, which the worst still tells.
    static constexpr size_t Buckets = 8192;
    std::array<std::atomic<uint64_t>, Buckets> Histogram{};
    std::atomic<uint64_t> Cycles{0};
    std::atomic<uint64_t> Late{0};
    std::atomic<uint32_t> Worst{0};
    std::atomic<uint32_t> Period{0};
};

// Main thread: watches a run's late cycles a second at a time. A run late in more than 1 % of
// its cycles over 10 s is told once, and again only after a good 10 s.
class TLateCycleWatch {
public:
    static constexpr int WindowSeconds = 10;
    static constexpr double MostLatePercent = 1.0;

    struct TSecond {
        uint64_t Cycles = 0;
        uint64_t Late = 0;
        // Set on the second the run has been late too often for the whole window: the share
        // late over it, in percent.
        std::optional<double> RaisePercent;
    };

    // Called now and then with the load so far and the run's clock; answers once a second
    // has passed since the last answer.
    std::optional<TSecond> Sample(const TCycleLoad& load, int64_t nowMs);
    void Reset();

private:
    std::deque<TSecond> Seconds;
    std::optional<TCycleLoad> Last;
    int64_t LastMs = 0;
    bool Raised = false;
};
