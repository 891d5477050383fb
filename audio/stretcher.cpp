#include "audio/stretcher.h"

#include <algorithm>
#include <rubberband/RubberBandStretcher.h>

using RubberBand::RubberBandStretcher;

TStretcher::TStretcher(uint32_t channels, uint32_t rate, double timeRatio)
    : Channels(channels), Ratio(timeRatio),
      Engine(std::make_unique<RubberBandStretcher>(rate, channels,
                                                   RubberBandStretcher::OptionProcessRealTime |
                                                       RubberBandStretcher::OptionThreadingNever,
                                                   timeRatio, 1.0)),
      Rows(channels, std::vector<float>(BlockFrames)), RowPointers(channels) {
    for (uint32_t channel = 0; channel < channels; ++channel)
        RowPointers[channel] = Rows[channel].data();
    Engine->setMaxProcessSize(BlockFrames);
    // The engine sizes some of its buffers on first use: use it once here, off the audio side.
    for (int block = 0; block < 16; ++block) {
        Process(BlockFrames);
        while (Engine->available() > 0)
            Engine->retrieve(RowPointers.data(),
                             std::min<size_t>(BlockFrames, size_t(Engine->available())));
    }
    Engine->reset();
    LookaheadFrames = uint32_t(Engine->getStartDelay() / Ratio) + 2 * BlockFrames;
}

TStretcher::~TStretcher() = default;

void TStretcher::Process(uint32_t count) {
    Engine->process(RowPointers.data(), count, false);
}

void TStretcher::Restart() {
    Engine->reset();
    for (std::vector<float>& row : Rows)
        std::fill(row.begin(), row.end(), 0.0f);
    // Silence ahead of the first frame, so that the engine's window starts full.
    for (size_t pad = Engine->getPreferredStartPad(); pad > 0;) {
        const uint32_t count = uint32_t(std::min<size_t>(pad, BlockFrames));
        Process(count);
        pad -= count;
    }
    DiscardLeft = uint32_t(Engine->getStartDelay());
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
