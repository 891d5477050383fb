#include "tests/soak/soaksignal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

TEST(SoakSignalTest, EveryFrameHasItsOwnCodeThatTellsTheFrameAndIsNeverSilent) {
    const uint64_t starts[] = {0, 1000003, SoakFrameLimit - 4096};
    for (const uint64_t start : starts) {
        for (uint64_t frame = start; frame < start + 4096; ++frame) {
            const uint32_t code = SoakCode(frame);
            ASSERT_NE(code, 0u) << frame;
            ASSERT_EQ(SoakFrameOf(code), frame) << frame;
        }
    }
}

TEST(SoakSignalTest, FloatSignalIsThe16BitSignalScaled) {
    constexpr size_t Frames = 512;
    std::vector<int16_t> pcm(2 * Frames);
    std::vector<float> left(Frames), right(Frames);
    FillSoakSignal(pcm.data(), 77, Frames);
    FillSoakSignal(left.data(), right.data(), 77, Frames);
    for (size_t frame = 0; frame < Frames; ++frame) {
        ASSERT_EQ(left[frame] * 32768.0f, float(pcm[2 * frame])) << frame;
        ASSERT_EQ(right[frame] * 32768.0f, float(pcm[2 * frame + 1])) << frame;
    }
}

constexpr size_t Silence = 300;
constexpr size_t SignalFrames = 5000;
constexpr uint64_t FirstInput = 40;

// Output that leads with silence and then carries the signal from input frame FirstInput on,
// so the delay is Silence - FirstInput; each case spoils it its own way.
std::vector<int16_t> CleanOutput() {
    std::vector<int16_t> output(2 * (Silence + SignalFrames), 0);
    FillSoakSignal(&output[2 * Silence], FirstInput, SignalFrames);
    return output;
}

struct TFaultCase {
    const char* Name;
    std::function<void(std::vector<int16_t>&)> Spoil;
    TSoakFaultKind Kind;
    uint64_t FaultFrame;
    int64_t Shift;
    uint64_t BadRun;
};

void PrintTo(const TFaultCase& fault, std::ostream* stream) {
    *stream << fault.Name;
}

constexpr size_t At = Silence + 2000;
constexpr size_t ToEnd = Silence + SignalFrames - At;

const TFaultCase FaultCases[] = {
    {"Clean", [](std::vector<int16_t>&) {}, TSoakFaultKind::None, 0, 0, 0},
    {"OneFrameLost",
     [](std::vector<int16_t>& out) {
         out.erase(out.begin() + 2 * At, out.begin() + 2 * At + 2);
         out.insert(out.end(), {1, 1});
     },
     TSoakFaultKind::Skip, At, 1, ToEnd},
    {"BufferLost",
     [](std::vector<int16_t>& out) {
         FillSoakSignal(&out[2 * At], At - Silence + FirstInput + 441, Silence + SignalFrames - At);
     },
     TSoakFaultKind::Skip, At, 441, ToEnd},
    {"FramesRepeated",
     [](std::vector<int16_t>& out) {
         FillSoakSignal(&out[2 * At], At - Silence + FirstInput - 3, Silence + SignalFrames - At);
     },
     TSoakFaultKind::Repeat, At, -3, ToEnd},
    {"LowBitFlipped", [](std::vector<int16_t>& out) { out[2 * At + 1] ^= 1; },
     TSoakFaultKind::Altered, At, 0, 1},
    {"SampleSwapped", [](std::vector<int16_t>& out) { std::swap(out[2 * At], out[2 * At + 1]); },
     TSoakFaultKind::Altered, At, 0, 1},
    {"Dropout", [](std::vector<int16_t>& out) { std::fill_n(&out[2 * At], 2 * 64, int16_t(0)); },
     TSoakFaultKind::Dropout, At, 0, 64},
    {"LastFrameChanged", [](std::vector<int16_t>& out) { out.back() = int16_t(~out.back()); },
     TSoakFaultKind::Altered, Silence + SignalFrames - 1, 0, 1},
};

class DelayCheckerFaultTest : public testing::TestWithParam<TFaultCase> {};

// Fed in uneven pieces, as a device hands them over: the first sound fixes the delay, and the
// first frame that is not the input that much earlier is found and named.
TEST_P(DelayCheckerFaultTest, FindsTheFirstWrongFrame) {
    const TFaultCase& fault = GetParam();
    std::vector<int16_t> output = CleanOutput();
    fault.Spoil(output);
    TDelayChecker checker;
    const size_t frames = output.size() / 2;
    for (size_t done = 0, piece = 1; done < frames; piece = piece * 3 % 997 + 1) {
        const size_t count = std::min(piece, frames - done);
        checker.Check(&output[2 * done], count);
        done += count;
    }
    EXPECT_TRUE(checker.Locked());
    EXPECT_EQ(checker.Delay(), int64_t(Silence) - int64_t(FirstInput));
    EXPECT_EQ(checker.OutputFrames(), frames);
    EXPECT_EQ(checker.FramesChecked(), SignalFrames);
    EXPECT_EQ(checker.FirstFault().Kind, fault.Kind);
    EXPECT_EQ(checker.BadFrames() == 0, fault.Kind == TSoakFaultKind::None);
    EXPECT_EQ(checker.Incidents(), fault.Kind == TSoakFaultKind::None ? 0u : 1u);
    if (fault.Kind != TSoakFaultKind::None) {
        EXPECT_EQ(checker.FirstFault().OutputFrame, fault.FaultFrame);
        EXPECT_EQ(checker.FirstFault().Shift, fault.Shift);
        EXPECT_EQ(checker.FirstFault().Frames, fault.BadRun);
        EXPECT_EQ(checker.BadFrames(), fault.BadRun);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, DelayCheckerFaultTest, testing::ValuesIn(FaultCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(DelayCheckerTest, CountsEveryRunOfBadFramesAndKeepsTheFirst) {
    constexpr size_t Runs = TDelayChecker::KeptIncidents + 10;
    constexpr size_t Spacing = 5;
    std::vector<int16_t> output(2 * Spacing * (Runs + 1));
    FillSoakSignal(output.data(), 0, output.size() / 2);
    // Runs of two changed frames, one run every Spacing frames.
    for (size_t run = 0; run < Runs; ++run) {
        output[2 * (Spacing * (run + 1))] ^= 4;
        output[2 * (Spacing * (run + 1) + 1)] ^= 4;
    }
    TDelayChecker checker;
    checker.Check(output.data(), output.size() / 2);
    EXPECT_EQ(checker.Incidents(), Runs);
    EXPECT_EQ(checker.BadFrames(), 2 * Runs);
    for (size_t kept = 0; kept < TDelayChecker::KeptIncidents; ++kept) {
        EXPECT_EQ(checker.Incident(kept).OutputFrame, Spacing * (kept + 1)) << kept;
        EXPECT_EQ(checker.Incident(kept).Frames, 2u) << kept;
        EXPECT_EQ(checker.Incident(kept).Kind, TSoakFaultKind::Altered) << kept;
    }
}

TEST(DelayCheckerTest, SilenceAloneIsNeitherLockedNorBad) {
    const std::vector<int16_t> silence(2000, 0);
    TDelayChecker checker;
    checker.Check(silence.data(), silence.size() / 2);
    EXPECT_FALSE(checker.Locked());
    EXPECT_EQ(checker.OutputFrames(), 1000u);
    EXPECT_EQ(checker.FramesChecked(), 0u);
    EXPECT_EQ(checker.BadFrames(), 0u);
}

// A float-native device: the signal on the 16-bit grid passes; half a step off does not.
TEST(DelayCheckerTest, FloatFramesMustLieOnThe16BitGrid) {
    constexpr size_t Frames = 1000;
    struct Case {
        const char* name;
        float nudge;
        TSoakFaultKind kind;
    };
    const Case cases[] = {
        {"OnGrid", 0.0f, TSoakFaultKind::None},
        {"HalfAStepOff", 0.5f / 32768.0f, TSoakFaultKind::OffGrid},
        {"BeyondFullScale", 2.0f, TSoakFaultKind::OffGrid},
    };
    for (const Case& c : cases) {
        std::vector<float> left(Frames, 0.0f), right(Frames, 0.0f);
        FillSoakSignal(&left[100], &right[100], 0, Frames - 100);
        right[700] += c.nudge;
        TDelayChecker checker;
        checker.Check(left.data(), right.data(), Frames);
        EXPECT_EQ(checker.Delay(), 100) << c.name;
        EXPECT_EQ(checker.FramesChecked(), Frames - 100) << c.name;
        EXPECT_EQ(checker.FirstFault().Kind, c.kind) << c.name;
        EXPECT_EQ(checker.BadFrames(), c.kind == TSoakFaultKind::None ? 0u : 1u) << c.name;
    }
}

TEST(DelayCheckerTest, FaultsAreDescribedWithTheirFrame) {
    struct Case {
        TSoakFault fault;
        const char* text;
    };
    const Case cases[] = {
        {{TSoakFaultKind::None, 0, 0}, "none"},
        {{TSoakFaultKind::Skip, 12, 441, 1}, "441 frames lost at output frame 12"},
        {{TSoakFaultKind::Repeat, 5, -3, 9},
         "3 frames played again at output frame 5, 9 frames in a row"},
        {{TSoakFaultKind::Dropout, 7, 0, 1}, "silence at output frame 7"},
        {{TSoakFaultKind::Altered, 9, 0, 1}, "changed samples at output frame 9"},
        {{TSoakFaultKind::OffGrid, 1, 0, 1}, "a sample off the 16-bit grid at output frame 1"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(DescribeSoakFault(c.fault), c.text);
}

} // namespace
