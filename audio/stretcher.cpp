#include "audio/stretcher.h"

#include <algorithm>
#include <rubberband/RubberBandStretcher.h>

using RubberBand::RubberBandStretcher;

TStretcher::TStretcher(uint32_t channels, uint32_t rate, double timeRatio)
    : Channels(channels), Ratio(timeRatio),
      Engine(std::make_unique<RubberBandStretcher>(
          rate, channels,
          RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionEngineFiner |
              RubberBandStretcher::OptionWindowShort | RubberBandStretcher::OptionThreadingNever,
          timeRatio, 1.0)),
      Rows(channels, std::vector<float>(BlockFrames)), RowPointers(channels) {
    for (uint32_t channel = 0; channel < channels; ++channel)
        RowPointers[channel] = Rows[channel].data();
    Engine->setMaxProcessSize(BlockFrames);
    // A restart here, off the audio side, sizes the engine's buffers on first use and finds
    // how much input it takes before output runs on: the engines say little of it.
    std::vector<float> output(size_t(BlockFrames) * channels);
    for (uint32_t leadIn = Restart(); leadIn > 0;) {
        const uint32_t count = std::min(leadIn, BlockFrames);
        Process(count);
        leadIn -= count;
    }
    uint32_t fed = 0;
    for (uint32_t given = 0; given < BlockFrames;) {
        while (const uint32_t count = Wanted()) {
            Process(count);
            fed += count;
        }
        given += Take(output.data(), BlockFrames);
    }
    // From then on a build-up takes input slower than the input comes; an exit has the whole
    // delay in hand.
    LookaheadFrames = fed;
    Engine->reset();
}

TStretcher::~TStretcher() = default;

void TStretcher::Process(uint32_t count) {
    Engine->process(RowPointers.data(), count, false);
}

uint32_t TStretcher::Restart() {
    Engine->reset();
    DiscardLeft = uint32_t(Engine->getStartDelay());
    return uint32_t(Engine->getPreferredStartPad());
}

uint32_t TStretcher::Wanted() const {
    if (Engine->available() > int(DiscardLeft))
        return 0;
    return uint32_t(std::clamp<size_t>(Engine->getSamplesRequired(), 1, BlockFrames));
}

void TStretcher::Feed(const float* frames, uint32_t count) {
    for (uint32_t frame = 0; frame < count; ++frame)
        for (uint32_t channel = 0; channel < Channels; ++channel)
            Rows[channel][frame] = frames[frame * Channels + channel];
    Process(count);
}

uint32_t TStretcher::Take(float* frames, uint32_t count) {
    while (DiscardLeft > 0 && Engine->available() > 0)
        DiscardLeft -= uint32_t(Engine->retrieve(
            RowPointers.data(),
            std::min<size_t>({DiscardLeft, BlockFrames, size_t(Engine->available())})));
    if (DiscardLeft > 0)
        return 0;
    const auto taken = uint32_t(Engine->retrieve(
        RowPointers.data(), std::min<size_t>(count, size_t(std::max(Engine->available(), 0)))));
    for (uint32_t frame = 0; frame < taken; ++frame)
        for (uint32_t channel = 0; channel < Channels; ++channel)
            frames[frame * Channels + channel] = Rows[channel][frame];
    return taken;
}
