#include "audio/onairplayer.h"

#include "audio/wavesamples.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// A crossfade this long joins two stretches of programme without a click, and is too short to
// hear as a fade.
constexpr uint32_t FadesPerSecond = 100;
// Periods kept in hand behind the input's write position after a dump.
constexpr uint32_t SafetyPeriods = 4;

double TimeRatio(const TBuildUp& buildUp) {
    return 1.0 + std::clamp(buildUp.Percent, 1.0, 10.0) / 100.0;
}

} // namespace

TOnAirPlayer::TOnAirPlayer(THandOver& link, const TWaveFormat& format, bool floatDevice,
                           const TBuildUp& buildUp)
    : Link(link), Format(format), FloatDevice(floatDevice),
      DeviceFrameBytes(floatDevice ? format.Channels * uint32_t(sizeof(float)) : format.BlockAlign),
      FadeFrames(std::max<uint32_t>(format.SamplesPerSec / FadesPerSecond, 1)),
      Stretcher(format.Channels, format.SamplesPerSec, TimeRatio(buildUp)),
      FromSamples(size_t(TStretcher::BlockFrames) * format.Channels),
      ToSamples(size_t(TStretcher::BlockFrames) * format.Channels),
      FeedSamples(size_t(TStretcher::BlockFrames) * format.Channels) {
    AwaitingStart = buildUp.AtStart;
    Publish();
}

TOnAirPlayer::TOutcome TOnAirPlayer::Play(uint8_t* target, uint32_t frames, uint64_t time) {
    Outcome = {};
    if (AwaitingStart && Link.Started.load(std::memory_order_acquire) > 0) {
        // On air at once: the first frame plays now, a whole delay ahead of its schedule.
        const THandOver::TBuffer& first = Link.Ring[0];
        const int64_t late =
            Link.Timing == THandOver::TTiming::SharedClock ? int64_t(time - first.Start) : 0;
        Due = late - int64_t(first.Frames);
        Heard = 0.0;
        FeedFrame = 0;
        HoleAhead = false;
        Stretcher.Restart();
        Phase = TPhase::Stretching;
        AwaitingStart = false;
        Link.BuildUpFrames.store(first.Frames, std::memory_order_relaxed);
    }
    if (Fade.Left == 0 && !AwaitingStart && Link.DumpRequest.load(std::memory_order_relaxed))
        TakeDump(frames);
    while (frames > 0 && !AwaitingStart) {
        if (Phase == TPhase::Scheduled && Fade.Left == 0) {
            PlayScheduled(target, frames, time);
            break;
        }
        const uint32_t count = PlayAhead(target, std::min(frames, TStretcher::BlockFrames), time);
        target += size_t(count) * DeviceFrameBytes;
        frames -= count;
        time += count;
    }
    Silence(target, frames);
    Publish();
    return Outcome;
}

void TOnAirPlayer::PlayScheduled(uint8_t*& target, uint32_t& frames, uint64_t& time) {
    while (frames > 0) {
        if (!InBuffer) {
            PassTo(uint64_t(Due));
            if (Done >= Link.Completed.load(std::memory_order_acquire))
                return;
            const THandOver::TBuffer& buffer = Link.Ring[Done % THandOver::RingSize];
            BufferDueAt = Link.Timing == THandOver::TTiming::Cushion
                              ? (HasPlayed && time == LastEnd ? time : time + Link.CushionFrames)
                              : buffer.DueAt;
            // A buffer due after the last one ended leaves a hole: the input lost frames.
            if (HasPlayed && BufferDueAt > LastEnd)
                ++Outcome.Underruns;
            InBuffer = true;
        }
        uint32_t count;
        if (time < BufferDueAt) {
            count = uint32_t(std::min<uint64_t>(BufferDueAt - time, frames));
            Silence(target, count);
        } else {
            const char* data = Locate(uint64_t(Due), count);
            if (!data) {
                MarkDry();
                return;
            }
            count = std::min(count, frames);
            PcmToDevice(data, target, size_t(count) * Format.Channels, Format.BitsPerSample / 8,
                        FloatDevice);
            HasPlayed = true;
            Dry = false;
            Due += count;
            const uint64_t before = Done;
            PassTo(uint64_t(Due));
            if (Done != before) {
                InBuffer = false;
                LastEnd = time + count;
            }
        }
        target += size_t(count) * DeviceFrameBytes;
        frames -= count;
        time += count;
    }
}

uint32_t TOnAirPlayer::PlayAhead(uint8_t* target, uint32_t frames, uint64_t time) {
    const size_t channels = Format.Channels;
    if (Fade.Left > 0) {
        const uint32_t count = std::min(frames, Fade.Left);
        uint32_t from;
        if (Fade.FromPlain) {
            from = ReadPlain(Fade.FromFrame, FromSamples.data(), count);
            Fade.FromFrame += count;
        } else {
            from = ReadStretched(FromSamples.data(), count);
        }
        const uint32_t to = ReadPlain(Fade.ToFrame, ToSamples.data(), count);
        Fade.ToFrame += count;
        std::fill(FromSamples.begin() + from * channels, FromSamples.begin() + count * channels,
                  0.0f);
        std::fill(ToSamples.begin() + to * channels, ToSamples.begin() + count * channels, 0.0f);
        for (uint32_t frame = 0; frame < count; ++frame) {
            const float gain = (float(FadeFrames - Fade.Left + frame) + 0.5f) / float(FadeFrames);
            for (size_t channel = 0; channel < channels; ++channel) {
                float& sample = ToSamples[frame * channels + channel];
                sample = FromSamples[frame * channels + channel] * (1.0f - gain) + sample * gain;
            }
        }
        if (to < count)
            MarkDry();
        ToDevice(ToSamples.data(), target, count);
        Fade.Left -= count;
        Due += count;
        PassTo(uint64_t(std::max<int64_t>(Due, 0)));
        if (Fade.Left == 0)
            EndFade(time + count);
        return count;
    }
    if (HoleAhead) {
        // The input lost frames: stretching on through the hole would play what follows it
        // early. Plain playing from the frame heard leaves the hole silent until it is due.
        Due = std::max(Due, int64_t(Heard));
        Fade = {FadeFrames, false, 0, uint64_t(Due), false};
        return 0;
    }
    const double ahead = Heard - double(Due);
    if (ahead <= 0.0) {
        // Back on schedule: fade from the stretcher into plain playing of the frame due now.
        Fade = {FadeFrames, false, 0, uint64_t(Due), false};
        return 0;
    }
    // Stop stretching on the very frame the schedule is met.
    const double gainPerFrame = 1.0 - 1.0 / Stretcher.TimeRatio();
    const auto count =
        uint32_t(std::min<double>(frames, std::max(1.0, std::ceil(ahead / gainPerFrame))));
    const uint32_t got = ReadStretched(FromSamples.data(), count);
    std::fill(FromSamples.begin() + got * channels, FromSamples.begin() + count * channels, 0.0f);
    ToDevice(FromSamples.data(), target, count);
    Due += count;
    PassTo(uint64_t(std::max<int64_t>(Due, 0)));
    return count;
}

void TOnAirPlayer::TakeDump(uint32_t periodFrames) {
    const uint64_t request = Link.DumpRequest.exchange(0, std::memory_order_relaxed);
    // Nothing is on air before the first buffer plays.
    if (Phase == TPhase::Scheduled && !HasPlayed)
        return;
    const uint64_t heard = Phase == TPhase::Scheduled ? uint64_t(Due) : uint64_t(Heard);
    const uint64_t filled = Link.Filled.load(std::memory_order_acquire);
    const uint64_t margin =
        uint64_t(SafetyPeriods) * periodFrames + FadeFrames + Stretcher.Lookahead();
    if (filled <= heard + margin)
        return;
    const uint64_t skip = std::min(request, filled - heard - margin);
    Fade = {FadeFrames, Phase == TPhase::Scheduled, heard, heard + skip, true};
    Link.DumpedFrames.fetch_add(skip, std::memory_order_relaxed);
    Link.BuildUpFrames.store(int64_t(heard + skip) - Due, std::memory_order_relaxed);
}

void TOnAirPlayer::EndFade(uint64_t time) {
    if (Fade.ThenStretch) {
        Heard = double(Fade.ToFrame);
        FeedFrame = Fade.ToFrame;
        HoleAhead = false;
        Stretcher.Restart();
        Phase = TPhase::Stretching;
        return;
    }
    // Plain playing again, bit for bit, from the frame due now.
    Phase = TPhase::Scheduled;
    const bool midBuffer = Done < Link.Started.load(std::memory_order_acquire) &&
                           Link.Ring[Done % THandOver::RingSize].First < uint64_t(Due);
    InBuffer = midBuffer;
    BufferDueAt = time;
    LastEnd = time;
    HasPlayed = true;
}

uint32_t TOnAirPlayer::ReadPlain(uint64_t frame, float* samples, uint32_t count) {
    uint32_t got = 0;
    while (got < count) {
        uint32_t run;
        const char* data = Locate(frame + got, run);
        if (!data)
            break;
        run = std::min(run, count - got);
        PcmToFloat(data, samples + size_t(got) * Format.Channels, size_t(run) * Format.Channels,
                   Format.BitsPerSample / 8);
        got += run;
    }
    return got;
}

uint32_t TOnAirPlayer::ReadStretched(float* samples, uint32_t count) {
    // At a run's start, wait until the stretcher has what it needs to play on without a gap.
    if (!HasPlayed &&
        Link.Filled.load(std::memory_order_acquire) < FeedFrame + Stretcher.Lookahead())
        return 0;
    uint32_t got = 0;
    while (got < count) {
        const uint32_t taken = Stretcher.Take(samples + size_t(got) * Format.Channels, count - got);
        got += taken;
        if (taken > 0)
            continue;
        uint32_t run;
        if (HoleAhead || !Locate(FeedFrame, run))
            break;
        if (HoleBefore(FeedFrame)) {
            HoleAhead = true;
            break;
        }
        // Up to the end of its buffer at most, so that a hole after it is seen before it is fed.
        const uint32_t fed =
            ReadPlain(FeedFrame, FeedSamples.data(), std::min(Stretcher.Wanted(), run));
        Stretcher.Feed(FeedSamples.data(), fed);
        FeedFrame += fed;
    }
    Heard += double(got) / Stretcher.TimeRatio();
    if (got > 0) {
        HasPlayed = true;
        Dry = false;
    }
    if (got < count)
        MarkDry();
    return got;
}

const char* TOnAirPlayer::Locate(uint64_t frame, uint32_t& count) const {
    // Filled first: every frame it counts lies in a buffer Started already counts.
    const uint64_t filled = Link.Filled.load(std::memory_order_acquire);
    if (frame >= filled)
        return nullptr;
    const uint64_t started = Link.Started.load(std::memory_order_acquire);
    for (uint64_t index = Done; index < started; ++index) {
        const THandOver::TBuffer& buffer = Link.Ring[index % THandOver::RingSize];
        const uint64_t end = buffer.First + buffer.Frames;
        if (frame < buffer.First || frame >= end)
            continue;
        count = uint32_t(std::min(end, filled) - frame);
        return buffer.Data + (frame - buffer.First) * Format.BlockAlign;
    }
    return nullptr;
}

bool TOnAirPlayer::HoleBefore(uint64_t frame) const {
    const uint64_t started = Link.Started.load(std::memory_order_acquire);
    for (uint64_t index = Done + 1; index < started; ++index) {
        const THandOver::TBuffer& buffer = Link.Ring[index % THandOver::RingSize];
        if (buffer.First != frame)
            continue;
        const THandOver::TBuffer& before = Link.Ring[(index - 1) % THandOver::RingSize];
        return buffer.Start != before.Start + before.Frames;
    }
    return false;
}

void TOnAirPlayer::PassTo(uint64_t frame) {
    const uint64_t started = Link.Started.load(std::memory_order_acquire);
    const uint64_t before = Done;
    while (Done < started) {
        const THandOver::TBuffer& buffer = Link.Ring[Done % THandOver::RingSize];
        if (buffer.First + buffer.Frames > frame)
            break;
        ++Done;
    }
    if (Done != before) {
        Link.Consumed.store(Done, std::memory_order_release);
        Outcome.Consumed = true;
    }
}

void TOnAirPlayer::MarkDry() {
    if (HasPlayed && !Dry)
        ++Outcome.Underruns;
    Dry = true;
}

void TOnAirPlayer::ToDevice(const float* samples, uint8_t* target, uint32_t frames) const {
    if (FloatDevice)
        std::memcpy(target, samples, size_t(frames) * DeviceFrameBytes);
    else
        FloatToPcm(samples, target, size_t(frames) * Format.Channels, Format.BitsPerSample / 8);
}

void TOnAirPlayer::Silence(uint8_t* target, uint32_t frames) const {
    DeviceSilence(target, size_t(frames) * Format.Channels, Format.BitsPerSample / 8, FloatDevice);
}

bool TOnAirPlayer::DropAll() {
    const uint64_t started = Link.Started.load(std::memory_order_acquire);
    if (started == Done)
        return false;
    Done = started;
    Link.Consumed.store(Done, std::memory_order_release);
    return true;
}

void TOnAirPlayer::DropComplete() {
    const uint64_t filled = Link.Filled.load(std::memory_order_acquire);
    const uint64_t started = Link.Started.load(std::memory_order_acquire);
    Done = std::max(Done, Link.Completed.load(std::memory_order_acquire));
    Link.Consumed.store(Done, std::memory_order_release);
    // The output plays again from the start of the buffer being filled, when it is due.
    Due = int64_t(Done < started ? Link.Ring[Done % THandOver::RingSize].First : filled);
    Phase = TPhase::Scheduled;
    Fade = {};
    InBuffer = false;
    HasPlayed = false;
    Dry = false;
    AwaitingStart = false;
    Publish();
}

void TOnAirPlayer::Publish() {
    int64_t ahead = 0;
    if (Fade.Left > 0)
        ahead = Fade.ThenStretch ? int64_t(Fade.ToFrame) - Due : 0;
    else if (Phase == TPhase::Stretching)
        ahead = std::llround(Heard - double(Due));
    Link.AheadFrames.store(std::max<int64_t>(ahead, 0), std::memory_order_relaxed);
    Link.BuildingUp.store(AwaitingStart || Phase == TPhase::Stretching || Fade.Left > 0,
                          std::memory_order_relaxed);
    Link.Playing.store(HasPlayed, std::memory_order_relaxed);
}
