#include "tests/audio/linkedrun.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <gtest/gtest.h>
#include <vector>

// Counting the allocator's calls takes the program's own malloc; the sanitizers bring theirs.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define LAGVANE_COUNT_ALLOCATIONS 1

namespace {

thread_local bool Watching = false;
std::atomic<int> WatchedAllocations{0};

void CountAllocation() {
    if (Watching)
        WatchedAllocations.fetch_add(1);
}

} // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* memory, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) {
    CountAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    CountAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* memory, size_t size) {
    CountAllocation();
    return __libc_realloc(memory, size);
}
void* memalign(size_t alignment, size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** memory, size_t alignment, size_t size) {
    CountAllocation();
    *memory = __libc_memalign(alignment, size);
    return *memory ? 0 : ENOMEM;
}
}
#endif

namespace {

constexpr uint32_t Rate = 48000;
constexpr TWaveFormat Stereo16{WaveFormatPcm, 2, Rate, Rate * 4, 4, 16, 0};
constexpr uint32_t Period = 256;

struct TPlayerCase {
    const char* Name;
    TBuildUp BuildUp;
    // Device time of the first cycle.
    uint64_t StartTime;
    // Cycles at which a quarter of a second is dumped.
    std::vector<int> Dumps;
    // Cycles from which the input loses its frames, and how many.
    int LoseAt = -1;
    int LoseCycles = 0;
    // Cycles after which both directions lose a few periods in an xrun.
    std::vector<int> Xruns = {};
    // Cycles at which Exit and Build are pressed, and from which a cough holds for how many.
    int ExitAt = -1;
    int BuildAt = -1;
    int CoughAt = -1;
    int CoughCycles = 0;
    // The modes it goes through, and what it answers every dump.
    std::vector<TAirMode> Modes = {TAirMode::Delayed};
    TDumpRefusal Refusal = TDumpRefusal::None;
    // Cycles from which the input's clock runs ahead by a period and a half, until it comes back.
    int AheadAt = -1;
    int AheadCycles = 0;
};

void PrintTo(const TPlayerCase& c, std::ostream* out) {
    *out << c.Name;
}

class OnAirPlayerTest : public testing::TestWithParam<TPlayerCase> {};

// From the first cycle on, through dumps, their crossfades, the stretcher's restarts, losses,
// xruns, Exit, Build and coughs, and the build-up back to plain playing, the audio side never
// calls the allocator; and once settled, every frame it plays is the one captured exactly a
// delay before (live: captured as it plays), or silence where none was.
TEST_P(OnAirPlayerTest, BuildsUpWithoutAllocatingAndThenPlaysOnSchedule) {
    const TPlayerCase& c = GetParam();
    TLinkedRun run(Stereo16, Rate / 2, c.BuildUp, c.StartTime, 60 * Rate);
    THandOver& link = run.Link;
    int lastEvent = std::max({c.LoseAt + c.LoseCycles, c.AheadAt + c.AheadCycles, 0});
    for (int cycle : c.Dumps)
        lastEvent = std::max(lastEvent, cycle);
    for (int cycle : c.Xruns)
        lastEvent = std::max(lastEvent, cycle);
    // A hold reaches the air a delay after it ends.
    lastEvent = std::max(
        {lastEvent, c.ExitAt, c.BuildAt, c.CoughAt + c.CoughCycles + int(Rate / 2 / Period) + 1});
    int builtUpAt = -1, checked = 0, mismatches = 0;
    // The longest the output stayed silent once it played.
    uint32_t silence = 0, longestSilence = 0;
    std::vector<TAirMode> modes = {TAirMode::Delayed};
    modes.reserve(8);
#ifdef LAGVANE_COUNT_ALLOCATIONS
    Watching = true;
#endif
    for (int cycle = 0; cycle < 12000 && checked < 200; ++cycle) {
        if (std::find(c.Dumps.begin(), c.Dumps.end(), cycle) != c.Dumps.end())
            link.DumpRequest.store(Rate / 4);
        link.ExitRequest.store(link.ExitRequest.load() || cycle == c.ExitAt);
        link.BuildRequest.store(link.BuildRequest.load() || cycle == c.BuildAt);
        link.CoughHeld.store(cycle >= c.CoughAt && cycle < c.CoughAt + c.CoughCycles);
        run.RunInputAhead(cycle >= c.AheadAt && cycle < c.AheadAt + c.AheadCycles ? 3 * Period / 2
                                                                                  : 0);
        if (cycle >= c.LoseAt && cycle < c.LoseAt + c.LoseCycles)
            run.Lose(Period);
        else
            run.Cycle(Period);
        if (std::find(c.Xruns.begin(), c.Xruns.end(), cycle) != c.Xruns.end())
            run.Jump(3 * Period);
        for (uint32_t frame = 0; frame < Period && link.Playing.load(); ++frame) {
            silence = run.Played(frame) == 0.0f ? silence + 1 : 0;
            longestSilence = std::max(longestSilence, silence);
        }
        if (link.Mode.load() != modes.back())
            modes.push_back(link.Mode.load());
        if (builtUpAt < 0 && cycle > lastEvent && link.Playing.load() && !link.BuildingUp.load() &&
            link.Mode.load() != TAirMode::Exiting)
            builtUpAt = cycle;
        if (builtUpAt < 0 || cycle < builtUpAt + 2)
            continue;
        const uint64_t late = link.Mode.load() == TAirMode::Live ? 0 : Rate / 2;
        for (uint32_t frame = 0; frame < Period; ++frame)
            mismatches += run.Played(frame) != run.Expected(frame, late) ? 1 : 0;
        ++checked;
    }
#ifdef LAGVANE_COUNT_ALLOCATIONS
    Watching = false;
    EXPECT_EQ(WatchedAllocations.exchange(0), 0);
#endif
    EXPECT_GE(builtUpAt, 0) << "the build-up never ended";
    EXPECT_EQ(checked, 200);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(modes, c.Modes);
    // A hold is taken off the delay, not played as silence.
    if (c.CoughAt >= 0) {
        EXPECT_LT(longestSilence, Period);
    }
    const bool refused = c.Refusal != TDumpRefusal::None;
    EXPECT_EQ(link.DumpedFrames.load(), refused ? 0 : c.Dumps.size() * Rate / 4);
    EXPECT_EQ(link.DumpsAnswered.load(), c.Dumps.size());
    EXPECT_EQ(link.LastRefusal.load(), c.Refusal);
}

constexpr TBuildUp Fast{10.0, false, 10.0};
const std::vector<TAirMode> ToLive = {TAirMode::Delayed, TAirMode::Exiting, TAirMode::Live};

INSTANTIATE_TEST_SUITE_P(
    Runs, OnAirPlayerTest,
    testing::Values(
        // Half a second in, a quarter of a second dumped; again a second into the build-up.
        TPlayerCase{"TwoDumps", {10.0, false}, 0, {94, 282}},
        TPlayerCase{"BuildUpAtStart", {10.0, true}, 0, {}},
        TPlayerCase{"LossDuringBuildUp", {10.0, false}, 0, {94}, 150, 40},
        TPlayerCase{"LossInPlainPlaying", {10.0, false}, 0, {}, 150, 40},
        TPlayerCase{"XrunsDuringBuildUp", {10.0, false}, 0, {94}, -1, 0, {120, 200, 300}},
        // Device time is 64 bits wide: a run past the end of a 32-bit clock is one like any.
        TPlayerCase{"PastA32BitClock", {10.0, false}, (uint64_t(1) << 32) - Rate, {94}},
        // Half a second of delay wound down at 10 % takes five seconds; so does building it up.
        TPlayerCase{"ExitToLive", Fast, 0, {}, -1, 0, {}, 94, -1, -1, 0, ToLive},
        TPlayerCase{"DumpRefusedWhileExiting",
                    Fast,
                    0,
                    {200},
                    -1,
                    0,
                    {},
                    94,
                    -1,
                    -1,
                    0,
                    ToLive,
                    TDumpRefusal::Exiting},
        TPlayerCase{"LiveThroughLossAndXrun",
                    Fast,
                    0,
                    {1200},
                    1300,
                    20,
                    {1400},
                    94,
                    -1,
                    -1,
                    0,
                    ToLive,
                    TDumpRefusal::Live},
        TPlayerCase{"BuildFromLive",
                    Fast,
                    0,
                    {},
                    -1,
                    0,
                    {},
                    94,
                    1200,
                    -1,
                    0,
                    {TAirMode::Delayed, TAirMode::Exiting, TAirMode::Live, TAirMode::Delayed}},
        TPlayerCase{"BuildWhileExiting",
                    Fast,
                    0,
                    {},
                    -1,
                    0,
                    {},
                    94,
                    400,
                    -1,
                    0,
                    {TAirMode::Delayed, TAirMode::Exiting, TAirMode::Delayed}},
        TPlayerCase{"ExitDuringBuildUp", Fast, 0, {94}, -1, 0, {}, 150, -1, -1, 0, ToLive},
        // A fifth of a second held off the delay, in plain playing and again during the
        // build-up it leads to.
        TPlayerCase{"Cough", {10.0, false}, 0, {}, -1, 0, {}, -1, -1, 150, 40},
        TPlayerCase{"CoughDuringBuildUp", {10.0, false}, 0, {94}, -1, 0, {}, -1, -1, 200, 40},
        // A jump in the input's stamps that comes back after four periods costs nothing.
        TPlayerCase{"InputClockAheadAndBack",
                    {10.0, false},
                    0,
                    {},
                    -1,
                    0,
                    {},
                    -1,
                    -1,
                    -1,
                    0,
                    {TAirMode::Delayed},
                    TDumpRefusal::None,
                    150,
                    4}),
    [](const auto& info) { return std::string(info.param.Name); });

// A held note through a dump, its build-up, Exit pressed during it and the exit to live: in a
// 2 s Hann window of each stretch its pitch stays within 0.05 %, its level within 0.5 dB, and
// nothing within 100 Hz of it comes within 40 dB. Where crossfades join programme and
// stretchers, the wave bends hardly more than plain playing's rounding makes it (a tick bends a
// hundred times more).
TEST(OnAirPlayerStretchTest, KeepsAHeldNoteSteadyThroughADumpItsBuildUpAndAnExit) {
    for (const auto& [rate, channels] :
         {std::pair{48000u, 2u}, {48000u, 1u}, {44100u, 2u}, {44100u, 1u}}) {
        SCOPED_TRACE(testing::Message() << rate << " Hz, " << channels << " channels");
        const auto align = uint16_t(channels * 2);
        const TWaveFormat format{
            WaveFormatPcm, uint16_t(channels), rate, rate * align, align, 16, 0};
        // A quarter of full scale; four buffers of half a second hold whole cycles of it.
        TLinkedRun run(format, rate / 2, TBuildUp{10.0, false, 10.0}, 0, 0, [&](size_t sample) {
            return int16_t(
                std::lround(8192 * std::sin(2 * M_PI * 1000.0 * double(sample / channels) / rate)));
        });
        // A quarter of a second dumped takes 2.75 s to build up again; Exit comes 2.3 s in.
        const size_t dumpAt = 2 * rate / Period * Period,
                     exitAt = dumpAt + 9 * rate / 4 / Period * Period, fade = rate / 100;
        std::vector<double> played;
        bool exiting = false;
        for (size_t liveAt = 0; liveAt == 0 || played.size() < liveAt + 4 * fade;) {
            if (played.size() == dumpAt)
                run.Link.DumpRequest.store(rate / 4);
            if (played.size() == exitAt) {
                ASSERT_TRUE(run.Link.BuildingUp.load()) << "Exit must come during the build-up";
                run.Link.ExitRequest.store(true);
            }
            run.Cycle(Period);
            for (uint32_t frame = 0; frame < Period; ++frame)
                played.push_back(run.Played(frame));
            exiting = exiting || run.Link.Mode.load() == TAirMode::Exiting;
            if (liveAt == 0 && run.Link.Mode.load() == TAirMode::Live)
                liveAt = played.size();
        }
        ASSERT_TRUE(exiting);
        ASSERT_GT(played.size() - 8 * fade, exitAt + rate / 10 + 2 * rate)
            << "the exit's window must lie within the exit";
        // What is left of a sample once the tone's own curve is taken out.
        const auto bend = [&, turn = 2 * std::cos(2 * M_PI * 1000.0 / rate)](size_t begin,
                                                                             size_t end) {
            double most = 0.0;
            for (size_t index = begin; index < end; ++index)
                most = std::max(
                    most, std::abs(played[index + 1] + played[index - 1] - turn * played[index]));
            return most;
        };
        const double plainBend = bend(rate, dumpAt);
        // A raised-cosine crossfade from the tone to any phase of it, its own inverse at worst,
        // bends it by up to the fade's steepest slope across a sample's step of the tone.
        const double fadeBend = 0.25 * M_PI / double(fade) * 2 * std::sin(2 * M_PI * 1000.0 / rate);
        for (const size_t from : {dumpAt + rate / 10, exitAt + rate / 10}) {
            SCOPED_TRACE(from == dumpAt + rate / 10 ? "build-up" : "exit");
            std::vector<double> heard(2 * rate);
            for (size_t index = 0; index < heard.size(); ++index)
                heard[index] =
                    played[from + index] * (1 - std::cos(M_PI * double(index) / rate)) / 2;
            // In decibels against the tone's own level.
            const auto level = [&](double frequency) {
                const std::complex<double> step = std::polar(1.0, -2 * M_PI * frequency / rate);
                std::complex<double> sum = 0.0, turn = 1.0;
                for (const double sample : heard)
                    sum += sample * (turn *= step);
                return 20 * std::log10(std::abs(sum) / (0.25 * rate / 2));
            };
            std::vector<double> levels;
            for (double frequency = 990.0; frequency <= 1010.0; frequency += 0.05)
                levels.push_back(level(frequency));
            const double peak = *std::max_element(levels.begin(), levels.end());
            const double pitch =
                990.0 +
                0.05 * double(std::max_element(levels.begin(), levels.end()) - levels.begin());
            EXPECT_NEAR(pitch, 1000.0, 0.5);
            EXPECT_NEAR(peak, 0.0, 0.5);
            for (double offset = 3.0; offset <= 100.0; offset += 0.5)
                EXPECT_LT(std::max(level(pitch - offset), level(pitch + offset)), peak - 40)
                    << offset << " Hz off";
        }
        EXPECT_LE(bend(dumpAt, dumpAt + 4 * fade), 4 * plainBend) << "the dump's crossfades";
        EXPECT_LE(bend(exitAt, exitAt + 4 * fade), 4 * plainBend + fadeBend)
            << "the crossfades between the stretchers";
        EXPECT_LE(bend(played.size() - 8 * fade, played.size() - 1), 4 * plainBend + fadeBend)
            << "the crossfade to live";
    }
}

// Every dump asked for is answered: refused while nothing plays and while too little waits
// behind what plays, taken otherwise.
TEST(OnAirPlayerDumpTest, AnswersEveryDump) {
    TLinkedRun run(Stereo16, Rate / 2, TBuildUp{10.0, false});
    THandOver& link = run.Link;
    link.DumpRequest.store(Rate / 4);
    run.Cycle(Period);
    EXPECT_EQ(link.DumpsAnswered.load(), 1u);
    EXPECT_EQ(link.LastRefusal.load(), TDumpRefusal::NothingOnAir);
    for (int cycle = 0; cycle < 150; ++cycle)
        run.Cycle(Period);
    link.DumpRequest.store(Rate);
    run.Cycle(Period);
    EXPECT_EQ(link.DumpsAnswered.load(), 2u);
    EXPECT_EQ(link.LastRefusal.load(), TDumpRefusal::None);
    const uint64_t dumped = link.DumpedFrames.load();
    EXPECT_GT(dumped, Rate / 4);
    link.DumpRequest.store(Rate);
    for (int cycle = 0; cycle < 4 && link.DumpsAnswered.load() < 3; ++cycle)
        run.Cycle(Period);
    EXPECT_EQ(link.DumpsAnswered.load(), 3u);
    EXPECT_EQ(link.LastRefusal.load(), TDumpRefusal::TooLittleWaiting);
    EXPECT_EQ(link.DumpedFrames.load(), dumped);
}

} // namespace
