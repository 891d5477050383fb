#include "audio/onairplayer.h"

#include "audio/wavesamples.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

// A crossfade this long joins two stretches of programme without a click, and is too short to
// hear as a fade.
constexpr uint32_t FadesPerSecond = 100;
// Periods kept in hand behind the input's write position after a dump.
constexpr uint32_t SafetyPeriods = 4;

double TimeRatio(const TBuildUp& buildUp) {
    return 1.0 + std::clamp(buildUp.Percent, 1.0, 10.0) / 100.0;
}

double ExitTimeRatio(const TBuildUp& buildUp) {
    return 1.0 / (1.0 + std::clamp(buildUp.ExitPercent, 1.0, 10.0) / 100.0);
}

} // namespace

TOnAirPlayer::TOnAirPlayer(THandOver& link, const TWaveFormat& format, bool floatDevice,
                           const TBuildUp& buildUp)
    : Link(link), Format(format), FloatDevice(floatDevice),
      DeviceFrameBytes(floatDevice ? format.Channels * uint32_t(sizeof(float)) : format.BlockAlign),
      FadeFrames(std::max<uint32_t>(format.SamplesPerSec / FadesPerSecond, 1)),
      Stretcher(format.Channels, format.SamplesPerSec, TimeRatio(buildUp)),
      ExitStretcher(format.Channels, format.SamplesPerSec, ExitTimeRatio(buildUp)),
      FromSamples(size_t(TStretcher::BlockFrames) * format.Channels),
      ToSamples(size_t(TStretcher::BlockFrames) * format.Channels),
      FeedSamples(size_t(TStretcher::BlockFrames) * format.Channels) {
    AwaitingStart = buildUp.AtStart;
    Placed = link.Timing == THandOver::TTiming::SharedClock;
    Publish(0);
}

TOnAirPlayer::TOutcome TOnAirPlayer::Play(uint8_t* target, uint32_t frames, uint64_t time) {
    Outcome = {};
    uint8_t* const cycle = target;
    const uint32_t cycleFrames = frames;
    if (Link.Timing == THandOver::TTiming::Cushion)
        FollowInputClock(time);
    if (!HasPlayed && Link.Resumed.load(std::memory_order_acquire))
        SkipHeldAired(time);
    if (AwaitingStart && Placed && Link.Filled.load(std::memory_order_acquire) > 0)
        StartBuildUpAtStart(time);
    if (Fade.Left == 0)
        TakeConsoleRequest(time);
    if (Fade.Left == 0 && !AwaitingStart && Link.DumpRequest.load(std::memory_order_relaxed))
        TakeDump(frames, time);
    while (frames > 0 && !AwaitingStart) {
        const uint32_t count =
            Fade.Left == 0 && Phase == TPhase::Plain ? PlayPlain(target, frames, time)
            : Fade.Left == 0 && Phase == TPhase::Live
                ? PlayLive(target, frames, time)
                : PlayAhead(target, std::min(frames, TStretcher::BlockFrames), time);
        target += size_t(count) * DeviceFrameBytes;
        frames -= count;
        time += count;
    }
    Silence(target, frames);
    Link.Air.Record(cycle, cycleFrames);
    Publish(time);
    // After the state it leads to, so that whoever reads the answer reads that state too.
    if (Answering) {
        Answering = false;
        Link.LastRefusal.store(Refusal, std::memory_order_relaxed);
        Link.DumpsAnswered.fetch_add(1, std::memory_order_release);
    }
    return Outcome;
}

uint32_t TOnAirPlayer::PlayPlain(uint8_t* target, uint32_t frames, uint64_t time) {
    // The frames after a hold go on air at once, a hold early, and build the delay up again.
    if (Next < Link.Filled.load(std::memory_order_acquire) && AtCough(Next)) {
        BuildUpFrom(Next, time);
        StartFade(TSource::Plain, Next, TSource::Stretcher, 0, TPhase::Stretching);
        return 0;
    }
    const uint64_t due = OutDue(Next);
    if (due == THandOver::Never || time < due) {
        // Before the first frame, and where the input lost frames, until the next one is due.
        const uint32_t count =
            due == THandOver::Never ? frames : uint32_t(std::min<uint64_t>(due - time, frames));
        Silence(target, count);
        return count;
    }
    return PlayWritten(target, ScheduledRun(Next, frames));
}

uint32_t TOnAirPlayer::PlayLive(uint8_t* target, uint32_t frames, uint64_t time) {
    if (!Placed) {
        Silence(target, frames);
        return frames;
    }
    // Behind the input after a loss, a hold or an xrun: on to the frame it captures now.
    Next = std::max(Next, LiveFrame(time));
    return PlayWritten(target, frames);
}

uint32_t TOnAirPlayer::PlayWritten(uint8_t* target, uint32_t frames) {
    uint32_t run;
    const char* data = Locate(Next, run);
    if (!data) {
        MarkDry();
        Silence(target, frames);
        return frames;
    }
    const uint32_t count = std::min(run, frames);
    PcmToDevice(data, target, size_t(count) * Format.Channels, Format.BitsPerSample / 8,
                FloatDevice);
    HasPlayed = true;
    Dry = false;
    Next += count;
    // On separate clocks a re-alignment may cross back by up to a cushion: keep that much.
    PassTo(Next - std::min<uint64_t>(Next, Link.CushionFrames));
    return count;
}

uint32_t TOnAirPlayer::PlayAhead(uint8_t* target, uint32_t frames, uint64_t time) {
    const size_t channels = Format.Channels;
    if (Fade.Left > 0) {
        const uint32_t count = std::min(frames, Fade.Left);
        ReadSource(Fade.From, Fade.FromFrame, time, FromSamples.data(), count);
        ReadSource(Fade.To, Fade.ToFrame, time, ToSamples.data(), count);
        for (uint32_t frame = 0; frame < count; ++frame) {
            // A raised cosine: a straight line's corners at either end bend a held note.
            const float gain =
                0.5f -
                0.5f * std::cos(float(M_PI) * (float(FadeFrames - Fade.Left + frame) + 0.5f) /
                                float(FadeFrames));
            for (size_t channel = 0; channel < channels; ++channel) {
                float& sample = ToSamples[frame * channels + channel];
                sample = FromSamples[frame * channels + channel] * (1.0f - gain) + sample * gain;
            }
        }
        ToDevice(ToSamples.data(), target, count);
        Fade.Left -= count;
        PassTo(std::min(Needs(Fade.From, Fade.FromFrame), Needs(Fade.To, Fade.ToFrame)));
        if (Fade.Left == 0)
            EndFade();
        return count;
    }
    if (Phase == TPhase::Exiting)
        return PlayExiting(target, frames, time);
    const double ahead = OutDueHeard() - double(time);
    if (ahead <= 0.0) {
        // Back on schedule, or behind it after an xrun: fade from the stretcher into plain
        // playing of the frame after the one heard, which the schedule then catches up with.
        StartFade(TSource::Stretcher, 0, TSource::Scheduled, uint64_t(std::ceil(Ear)),
                  TPhase::Plain);
        return 0;
    }
    return PlayStretched(target, frames, ahead);
}

uint32_t TOnAirPlayer::PlayExiting(uint8_t* target, uint32_t frames, uint64_t time) {
    // The delay still on air, but for what the stretcher needs in hand beyond the ear: the
    // crossfade skips that much, the devices' own latency all that stays.
    const double left = double(Link.DelayFrames()) - (OutDueHeard() - double(time)) -
                        double(ExitStretcher.Lookahead());
    if (left <= 0.0) {
        StartFade(TSource::Stretcher, 0, TSource::Plain, LiveFrame(time), TPhase::Live);
        return 0;
    }
    return PlayStretched(target, frames, left);
}

uint32_t TOnAirPlayer::PlayStretched(uint8_t* target, uint32_t frames, double left) {
    const size_t channels = Format.Channels;
    // Stop stretching on the very frame the goal is met.
    const double gainPerFrame = std::abs(1.0 - 1.0 / Active().TimeRatio());
    const auto count =
        uint32_t(std::min<double>(frames, std::max(1.0, std::ceil(left / gainPerFrame))));
    const uint32_t got = ReadStretched(FromSamples.data(), count);
    std::fill(FromSamples.begin() + got * channels, FromSamples.begin() + count * channels, 0.0f);
    ToDevice(FromSamples.data(), target, count);
    PassTo(uint64_t(Ear));
    return count;
}

void TOnAirPlayer::StartBuildUpAtStart(uint64_t time) {
    // On air at once: the first frame plays now, a whole delay ahead of its schedule.
    AwaitingStart = false;
    Next = 0;
    BuildUpFrom(0, time);
}

void TOnAirPlayer::BuildUpFrom(uint64_t frame, uint64_t time) {
    StretchFrom(frame, TPhase::Stretching);
    Link.BuildUpFrames.store(std::max<int64_t>(int64_t(OutDue(frame) - time), 0),
                             std::memory_order_relaxed);
}

void TOnAirPlayer::TakeConsoleRequest(uint64_t time) {
    const bool exit = Link.ExitRequest.load(std::memory_order_relaxed) &&
                      Link.ExitRequest.exchange(false, std::memory_order_relaxed);
    const bool build = Link.BuildRequest.load(std::memory_order_relaxed) &&
                       Link.BuildRequest.exchange(false, std::memory_order_relaxed);
    if (exit && Phase != TPhase::Exiting && Phase != TPhase::Live) {
        if (!HasPlayed) {
            // Nothing of the delay is on air yet to wind down.
            AwaitingStart = false;
            Phase = TPhase::Live;
        } else if (Phase == TPhase::Stretching) {
            SwitchStretchers(TPhase::Exiting);
        } else {
            // Both sides play the same frames: the fade only hides the stretcher's start.
            const TSource from = OutDue(Next) <= time ? TSource::Plain : TSource::Silence;
            StretchFrom(Next, TPhase::Exiting);
            StartFade(from, Next, TSource::Stretcher, 0, TPhase::Exiting);
        }
    } else if (build && Phase == TPhase::Exiting) {
        SwitchStretchers(TPhase::Stretching);
        Link.BuildUpFrames.store(std::max<int64_t>(int64_t(OutDue(Fade.ToFrame) - time), 0),
                                 std::memory_order_relaxed);
    } else if (build && Phase == TPhase::Live) {
        // The stretcher needs frames in hand beyond the ear, which live has not: it starts
        // that far back, and the fade hides the repeat.
        const uint64_t live = Next;
        BuildUpFrom(live - std::min<uint64_t>(live, Stretcher.Lookahead()), time);
        StartFade(HasPlayed ? TSource::Plain : TSource::Silence, live, TSource::Stretcher, 0,
                  TPhase::Stretching);
    }
}

void TOnAirPlayer::TakeDump(uint32_t periodFrames, uint64_t time) {
    const uint64_t request = Link.DumpRequest.exchange(0, std::memory_order_relaxed);
    if (Phase == TPhase::Live || Phase == TPhase::Exiting) {
        Answer(Phase == TPhase::Live ? TDumpRefusal::Live : TDumpRefusal::Exiting);
        return;
    }
    // Nothing is on air before the first frame plays.
    if (!HasPlayed) {
        Answer(TDumpRefusal::NothingOnAir);
        return;
    }
    const bool plain = Phase == TPhase::Plain;
    const uint64_t heard = plain ? Next : uint64_t(Ear);
    // Where the air stands on the schedule: silence for a loss stands for the time it lasts.
    const double onAir = plain ? double(std::min(OutDue(Next), time)) : OutDueHeard();
    const uint64_t filled = Link.Filled.load(std::memory_order_acquire);
    const uint64_t margin =
        uint64_t(SafetyPeriods) * periodFrames + FadeFrames + Stretcher.Lookahead();
    // The dump is measured on the schedule, so that a loss inside the stretch dumped counts
    // for its time, not for nothing.
    const double wanted = std::max(onAir + double(request) - double(Offset), 0.0);
    const uint64_t to =
        filled > heard + margin ? Link.FirstDueFrom(uint64_t(wanted), filled - margin) : heard;
    // Less than a crossfade is not worth one.
    if (to < heard + FadeFrames) {
        Answer(TDumpRefusal::TooLittleWaiting);
        return;
    }
    const TSource from =
        !plain ? TSource::Stretcher : (OutDue(Next) <= time ? TSource::Plain : TSource::Silence);
    StartFade(from, Next, TSource::Plain, to, TPhase::Stretching);
    Link.DumpedFrames.fetch_add(to - heard, std::memory_order_relaxed);
    // The crossfade begins with this cycle's first frame.
    Link.DumpFrom.store(heard, std::memory_order_relaxed);
    Link.DumpTo.store(to, std::memory_order_relaxed);
    Link.RecordDump(to);
    Link.DumpAiredAt.store(Link.Air.Recorded(), std::memory_order_relaxed);
    Link.BuildUpFrames.store(std::max<int64_t>(int64_t(OutDue(to) - time), 0),
                             std::memory_order_relaxed);
    Answer(TDumpRefusal::None);
}

void TOnAirPlayer::Answer(TDumpRefusal refusal) {
    Refusal = refusal;
    Answering = true;
}

void TOnAirPlayer::StartFade(TSource from, uint64_t fromFrame, TSource to, uint64_t toFrame,
                             TPhase then) {
    Fade = {FadeFrames, from, fromFrame, to, toFrame, then};
}

void TOnAirPlayer::SwitchStretchers(TPhase phase) {
    // The two stretchers' phases differ: through the programme and two crossfades, not a cut.
    StartFade(TSource::Stretcher, 0, TSource::Plain, uint64_t(std::ceil(Ear)), phase);
}

void TOnAirPlayer::EndFade() {
    // Faded into a stretcher: it plays on as the phase it started for.
    if (Fade.To == TSource::Stretcher)
        return;
    if (Fade.Then == TPhase::Stretching || Fade.Then == TPhase::Exiting) {
        // The stretcher's first frames follow the programme's a little late in phase: a cut
        // to them would tick, a crossfade does not.
        StretchFrom(Fade.ToFrame, Fade.Then);
        StartFade(TSource::Plain, Fade.ToFrame, TSource::Stretcher, Fade.ToFrame, Fade.Then);
        return;
    }
    // Plain playing again, bit for bit, on schedule or live.
    Phase = Fade.Then;
    Next = Fade.ToFrame;
}

void TOnAirPlayer::StretchFrom(uint64_t frame, TPhase phase) {
    Phase = phase;
    TStretcher& stretcher = Active();
    // The programme before frame, where the buffers still hold it, fills the engine's window
    // from the start: after silence its output would swell in and wander in phase.
    const uint32_t leadIn = stretcher.Restart();
    const size_t channels = Format.Channels;
    for (uint64_t from = frame - leadIn; from != frame;) {
        // Before the run's first frame the lead-in wraps below zero: silence up to it.
        const bool silent = from > frame;
        const auto count =
            uint32_t(std::min<uint64_t>((silent ? 0 : frame) - from, TStretcher::BlockFrames));
        const uint32_t got = silent ? 0 : ReadPlain(from, FeedSamples.data(), count);
        std::fill(FeedSamples.begin() + got * channels, FeedSamples.begin() + count * channels,
                  0.0f);
        stretcher.Feed(FeedSamples.data(), count);
        from += count;
    }
    Ear = double(frame);
    FeedFrame = frame;
}

uint64_t TOnAirPlayer::Needs(TSource source, uint64_t frame) const {
    switch (source) {
    case TSource::Silence:
        return std::numeric_limits<uint64_t>::max();
    case TSource::Stretcher:
        return uint64_t(Ear);
    default:
        return frame;
    }
}

void TOnAirPlayer::FollowInputClock(uint64_t time) {
    const uint64_t filled = Link.Filled.load(std::memory_order_acquire);
    // While the input loses frames its clock cannot be read from what it wrote.
    if (filled == 0 || Link.Losing.load(std::memory_order_relaxed))
        return;
    // How far the output's clock is ahead of the input's: least just after the input wrote,
    // which is when it is true; a cushion later than that no frame plays early.
    const uint64_t inputNow = Link.DueOf(filled) - Link.DelayFrames();
    const auto apart = int64_t(time - inputNow);
    const auto cushion = int64_t(Link.CushionFrames);
    if (!Placed) {
        Offset = apart + cushion;
        Placed = true;
        WindowLeast = apart;
        WindowStart = time;
        return;
    }
    WindowLeast = std::min(WindowLeast, apart);
    if (time - WindowStart < Format.SamplesPerSec)
        return;
    if (!HaveReference) {
        HaveReference = true;
        ReferenceLeast = WindowLeast;
        ReferenceTime = WindowStart;
    }
    // Seconds and frames from the first second keep the readings small over days.
    Drift.Add(double(WindowStart - ReferenceTime) / Format.SamplesPerSec,
              double(WindowLeast - ReferenceLeast));
    if (Drift.Known())
        Link.DriftPpm.store(Drift.Slope() * 1e6 / Format.SamplesPerSec, std::memory_order_relaxed);
    const int64_t wanted = WindowLeast + cushion;
    WindowStart = time;
    WindowLeast = std::numeric_limits<int64_t>::max();
    // Within half a cushion either way nothing plays early and no gap is worth it. A fade
    // under way finishes first: the next second re-aligns.
    if (std::abs(wanted - Offset) <= cushion / 2 || Fade.Left > 0)
        return;
    Offset = wanted;
    Link.Realignments.fetch_add(1, std::memory_order_relaxed);
    // Before anything plays, and while stretching, the schedule moves without a sound.
    if (!HasPlayed || Phase != TPhase::Plain)
        return;
    // A counted jump back or ahead to the frame due now on the input's clock.
    ++Outcome.Underruns;
    StartFade(TSource::Plain, Next, TSource::Scheduled, DueNow(time, filled), TPhase::Plain);
}

void TOnAirPlayer::SkipHeldAired(uint64_t time) {
    // A held delay is on air already: no build-up, and what was due before now went out
    // before the program stopped.
    AwaitingStart = false;
    const uint64_t filled = Link.Filled.load(std::memory_order_acquire);
    if (filled > 0 && Placed && Phase == TPhase::Plain && Fade.Left == 0)
        Next = std::max(Next, DueNow(time, filled));
}

uint64_t TOnAirPlayer::LiveFrame(uint64_t time) const {
    // Due one delay after its capture.
    return DueNow(time + Link.DelayFrames(), Link.Filled.load(std::memory_order_acquire));
}

bool TOnAirPlayer::AtCough(uint64_t frame) {
    const uint64_t count = Link.CoughCount.load(std::memory_order_acquire);
    // The older half may be rewritten as it is read; holds that old have long gone by.
    CoughsTaken = std::max(CoughsTaken, count - std::min(count, THandOver::CoughRingSize / 2));
    bool at = false;
    for (; CoughsTaken < count; ++CoughsTaken) {
        const uint64_t start = Link.CoughFrames[CoughsTaken % THandOver::CoughRingSize].load(
            std::memory_order_relaxed);
        if (start > frame)
            break;
        at = at || start == frame;
    }
    return at;
}

uint64_t TOnAirPlayer::DueNow(uint64_t time, uint64_t limit) const {
    return Link.FirstDueFrom(uint64_t(std::max<int64_t>(int64_t(time) - Offset, 0)), limit);
}

uint64_t TOnAirPlayer::OutDue(uint64_t frame) const {
    const uint64_t due = Placed ? Link.DueOf(frame) : THandOver::Never;
    return due == THandOver::Never ? due : uint64_t(int64_t(due) + Offset);
}

double TOnAirPlayer::OutDueHeard() const {
    const auto frame = uint64_t(Ear);
    return double(OutDue(frame)) + (Ear - double(frame));
}

void TOnAirPlayer::ReadSource(TSource source, uint64_t& frame, uint64_t time, float* samples,
                              uint32_t count) {
    const size_t channels = Format.Channels;
    uint32_t done = 0;
    switch (source) {
    case TSource::Silence:
        break;
    case TSource::Plain:
        done = ReadPlain(frame, samples, count);
        frame += done;
        if (done < count)
            MarkDry();
        break;
    case TSource::Stretcher:
        done = ReadStretched(samples, count);
        break;
    case TSource::Scheduled:
        while (done < count) {
            const uint64_t due = OutDue(frame);
            if (due == THandOver::Never || time + done < due) {
                const uint32_t wait =
                    due == THandOver::Never
                        ? count - done
                        : uint32_t(std::min<uint64_t>(due - time - done, count - done));
                std::fill_n(samples + size_t(done) * channels, size_t(wait) * channels, 0.0f);
                done += wait;
                continue;
            }
            uint32_t run;
            if (!Locate(frame, run)) {
                MarkDry();
                break;
            }
            const uint32_t got = ReadPlain(frame, samples + size_t(done) * channels,
                                           ScheduledRun(frame, std::min(run, count - done)));
            frame += got;
            done += got;
            HasPlayed = true;
            Dry = false;
        }
        break;
    }
    std::fill(samples + size_t(done) * channels, samples + size_t(count) * channels, 0.0f);
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
        Link.Filled.load(std::memory_order_acquire) < FeedFrame + Active().Lookahead())
        return 0;
    uint32_t got = 0;
    while (got < count) {
        const uint32_t taken = Active().Take(samples + size_t(got) * Format.Channels, count - got);
        got += taken;
        if (taken > 0)
            continue;
        // Across a loss too: what follows it is due that much later, which the schedule
        // shows, so the build-up goes on and the ear never gets ahead of it.
        uint32_t run;
        if (!Locate(FeedFrame, run))
            break;
        const uint32_t fed =
            ReadPlain(FeedFrame, FeedSamples.data(), std::min(Active().Wanted(), run));
        Active().Feed(FeedSamples.data(), fed);
        FeedFrame += fed;
    }
    Ear += double(got) / Active().TimeRatio();
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

uint32_t TOnAirPlayer::ScheduledRun(uint64_t frame, uint32_t most) const {
    const uint64_t jump = Link.NextJumpAfter(frame);
    return jump == THandOver::Never ? most : uint32_t(std::min<uint64_t>(most, jump - frame));
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
    if (HasPlayed && !Dry && !Link.Losing.load(std::memory_order_relaxed))
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
    Next = Done < started ? Link.Ring[Done % THandOver::RingSize].First : filled;
    Phase = TPhase::Plain;
    Fade = {};
    HasPlayed = false;
    Dry = false;
    AwaitingStart = false;
    Link.AheadFrames.store(0, std::memory_order_relaxed);
    Link.BuildingUp.store(false, std::memory_order_relaxed);
    Link.Playing.store(false, std::memory_order_relaxed);
    Link.Mode.store(TAirMode::Delayed, std::memory_order_relaxed);
}

void TOnAirPlayer::Publish(uint64_t time) {
    uint64_t due = THandOver::Never;
    double heard = 0.0;
    if (Fade.Left > 0 && Fade.Then == TPhase::Stretching && Fade.To != TSource::Stretcher) {
        due = OutDue(Fade.ToFrame);
        heard = double(due);
    } else if (Phase == TPhase::Stretching || Phase == TPhase::Exiting) {
        due = OutDue(uint64_t(Ear));
        heard = OutDueHeard();
    } else if (Phase == TPhase::Live) {
        // The whole delay is off the air.
        due = 0;
        heard = double(time + Link.DelayFrames());
    }
    const int64_t ahead = due == THandOver::Never ? 0 : std::llround(heard - double(time));
    Link.AheadFrames.store(std::max<int64_t>(ahead, 0), std::memory_order_relaxed);
    Link.BuildingUp.store(AwaitingStart || Phase == TPhase::Stretching ||
                              (Fade.Left > 0 && Fade.Then == TPhase::Stretching),
                          std::memory_order_relaxed);
    Link.Playing.store(HasPlayed, std::memory_order_relaxed);
    Link.Mode.store(Phase == TPhase::Live      ? TAirMode::Live
                    : Phase == TPhase::Exiting ? TAirMode::Exiting
                                               : TAirMode::Delayed,
                    std::memory_order_relaxed);
}
