#include "audio/handover.h"

#include "audio/onairplayer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

THandOver::THandOver(TTiming timing, uint32_t cushionFrames, const TWaveFormat& format,
                     bool floatDevice, const TBuildUp& buildUp)
    : Timing(timing), CushionFrames(cushionFrames), Air(format, floatDevice, AirSeconds),
      OutputPlayer(std::make_unique<TOnAirPlayer>(*this, format, floatDevice, buildUp)) {}

THandOver::~THandOver() = default;

bool THandOver::Begin(const char* data, uint32_t frames) {
    const uint64_t index = Started.load(std::memory_order_relaxed);
    // The output's Consumed store comes after its last read of the slot.
    if (index - Consumed.load(std::memory_order_acquire) >= RingSize)
        return false;
    // Every buffer of a run is one delay long; the first says how long.
    if (frames > 0 && Delay.load(std::memory_order_relaxed) == 0)
        Delay.store(frames, std::memory_order_release);
    TBuffer& buffer = Ring[index % RingSize];
    buffer.Data = data;
    buffer.Frames = frames;
    buffer.First = InputFrames;
    Started.store(index + 1, std::memory_order_release);
    if (HeldHeader)
        for (size_t held = 0; held < HeldBuffers.size(); ++held)
            if (HeldBuffers[held] == data)
                HeldHeader->RecordBegin(int(held), InputFrames);
    return true;
}

void THandOver::Wrote(uint32_t frames, uint64_t time) {
    uint64_t count = MarkCount.load(std::memory_order_relaxed);
    bool jump = count == 0 || time != NextCapture;
    if (count > 0 && time < NextCapture && !PlacingHeld)
        TakeBackRunAhead(count, time);
    if (PlacingHeld) {
        PlacingHeld = false;
        count = PlaceHeld(frames, time);
        jump = true;
    }
    if (jump) {
        // Published before the frames: whoever sees them sees when they are due.
        TMark& mark = Marks[count % MarkRingSize];
        mark.Frame.store(InputFrames, std::memory_order_relaxed);
        mark.Due.store(time + Delay.load(std::memory_order_relaxed), std::memory_order_relaxed);
        MarkCount.store(count + 1, std::memory_order_release);
        // The frames were captured up to about now.
        if (HeldHeader)
            HeldHeader->RecordMark(
                {InputFrames, time, BootTimeNs() - NsOfFrames(frames, HeldRate)});
    }
    NextCapture = time + frames;
    InputFrames += frames;
    Losing.store(false, std::memory_order_relaxed);
    Filled.store(InputFrames, std::memory_order_release);
    if (HeldHeader)
        HeldHeader->RecordFilled(InputFrames);
}

void THandOver::TakeBackRunAhead(uint64_t count, uint64_t time) {
    // The frames since were captured on that line, and are due a delay after it: not yet,
    // since a jump is watched for a few periods only. Left where they were, they would air
    // late, and everything after them with them.
    const auto due = int64_t(time + Delay.load(std::memory_order_relaxed));
    const uint64_t oldest = count > MarkRingSize / 2 ? count - MarkRingSize / 2 : 0;
    for (uint64_t index = count; index > oldest; --index) {
        TMark& mark = Marks[(index - 1) % MarkRingSize];
        const int64_t onLine =
            due - int64_t(InputFrames - mark.Frame.load(std::memory_order_relaxed));
        if (onLine < 0 || int64_t(mark.Due.load(std::memory_order_relaxed)) <= onLine)
            break;
        mark.Due.store(uint64_t(onLine), std::memory_order_relaxed);
    }
}

void THandOver::KeepHeld(const THeldDelayFile& file) {
    HeldHeader = &file.Header();
    HeldRate = std::max<uint32_t>(HeldHeader->Layout.Rate, 1);
    for (size_t buffer = 0; buffer < HeldBuffers.size(); ++buffer)
        HeldBuffers[buffer] = file.Buffer(int(buffer));
    if (!file.Resumed())
        return;
    Held = file.Held();
    Delay.store(HeldHeader->Layout.DelayFrames, std::memory_order_release);
    // The held stretches are handed over first, whole: the input's buffers follow them.
    uint64_t index = Started.load(std::memory_order_relaxed);
    for (int stretch = 0; stretch < Held.StretchCount; ++stretch, ++index) {
        const THeldProgramme::TStretch& held = Held.Stretches[size_t(stretch)];
        Ring[index % RingSize] = {file.Buffer(held.Buffer), held.Frames, held.First};
    }
    Completed.fetch_add(uint64_t(Held.StretchCount), std::memory_order_release);
    Started.store(index, std::memory_order_release);
    InputFrames = Held.Filled;
    PlacingHeld = true;
    Resumed.store(true, std::memory_order_release);
}

int64_t THandOver::DeviceTimeOf(const THeldMark& mark, uint64_t time, int64_t liveNs) const {
    const int64_t predicted = int64_t(time) + FramesOfNs(mark.CaptureNs - liveNs, HeldRate);
    // The same clock (a JACK server that ran on) keeps its frame count: congruent to the held
    // device time near the prediction, which the two callbacks' jitter alone puts off.
    const int64_t exact = predicted + int32_t(uint32_t(mark.DeviceTime) - uint32_t(predicted));
    if (std::abs(exact - predicted) <= int64_t(HeldRate) / 20)
        return exact;
    // Another clock: placed by the time stamps, which the callbacks' wake-up jitter puts a
    // little off either way; late by that much rather than early.
    return predicted + int64_t(HeldRate) / 50;
}

uint64_t THandOver::PlaceHeld(uint32_t frames, uint64_t time) {
    const int64_t liveNs = BootTimeNs() - NsOfFrames(frames, HeldRate);
    const THeldMark& newest = Held.Marks[Held.MarkCount - 1];
    const int64_t newestEnd =
        DeviceTimeOf(newest, time, liveNs) + int64_t(Held.Filled - newest.Frame);
    // Captured before the input's first frame, whatever the clocks' estimate says: an estimate
    // that puts it later is that much too late.
    const int64_t late = std::max<int64_t>(newestEnd - int64_t(time), 0);
    const int64_t delay = int64_t(Delay.load(std::memory_order_relaxed));
    // The programme in the buffer the input now fills is gone with it, and what a dump took
    // off the air stays off.
    const uint64_t heldFirst =
        std::max(Held.StretchCount > 0 ? Held.Stretches[0].First : Held.Filled, Held.DumpedTo);
    const uint64_t reusedEnd = Held.Reused.First + Held.Reused.Frames;
    uint64_t overwritten = 0;
    const uint64_t readable = std::min<uint64_t>(Held.MarkCount, MarkRingSize / 2 - 1);
    uint64_t placed = 0;
    for (uint64_t index = Held.MarkCount - readable; index < Held.MarkCount; ++index) {
        const THeldMark& held = Held.Marks[index];
        const uint64_t end = index + 1 < Held.MarkCount ? Held.Marks[index + 1].Frame : Held.Filled;
        const int64_t due = DeviceTimeOf(held, time, liveNs) - late + delay;
        // Of that, what would have gone on air from now on is lost.
        const uint64_t unaired = held.Frame + uint64_t(std::max<int64_t>(int64_t(time) - due, 0));
        const uint64_t lostFrom = std::max(unaired, Held.Reused.First);
        const uint64_t lostTo = std::min(end, reusedEnd);
        overwritten += lostTo > lostFrom ? lostTo - lostFrom : 0;
        // A server started again counts from nothing: what fell due before its clock began
        // is gone, and the stretch starts at the frame due as it began.
        const uint64_t frame =
            std::max(held.Frame + uint64_t(std::max<int64_t>(-due, 0)), heldFirst);
        if (frame >= end)
            continue;
        TMark& mark = Marks[placed++ % MarkRingSize];
        mark.Frame.store(frame, std::memory_order_relaxed);
        mark.Due.store(uint64_t(due + int64_t(frame - held.Frame)), std::memory_order_relaxed);
    }
    DowntimeFrames.store(uint64_t(int64_t(time) - (newestEnd - late)) + overwritten,
                         std::memory_order_release);
    return placed;
}

bool THandOver::HoldOff() {
    const bool held = CoughHeld.load(std::memory_order_relaxed);
    if (held && !Holding) {
        const uint64_t count = CoughCount.load(std::memory_order_relaxed);
        CoughFrames[count % CoughRingSize].store(InputFrames, std::memory_order_relaxed);
        CoughCount.store(count + 1, std::memory_order_release);
    }
    Holding = held;
    // The output's gap while nothing comes is the hold's, no dropout of its own.
    if (held)
        Lost();
    return held;
}

void THandOver::Complete() {
    Completed.fetch_add(1, std::memory_order_release);
}

void THandOver::Lost() {
    Losing.store(true, std::memory_order_relaxed);
}

bool THandOver::Holds(const char* data) const {
    const uint64_t started = Started.load(std::memory_order_relaxed);
    for (uint64_t index = Consumed.load(std::memory_order_acquire); index < started; ++index)
        if (Ring[index % RingSize].Data == data)
            return true;
    return false;
}

bool THandOver::CopyProgramme(uint64_t from, uint64_t frames, uint32_t frameBytes,
                              char* pcm) const {
    if (from + frames > Filled.load(std::memory_order_acquire))
        return false;
    const uint64_t started = Started.load(std::memory_order_acquire);
    // Not the slot the input fills in next.
    const uint64_t oldest = started - std::min(started, RingSize - 1);
    const auto overlap = [&](const TBuffer& buffer) {
        return std::pair(std::max(from, buffer.First),
                         std::min(from + frames, buffer.First + buffer.Frames));
    };
    // A buffer begun again holds later frames now; the input begins one before it writes.
    const auto begunAgain = [&](uint64_t index, uint64_t until) {
        for (uint64_t later = index + 1; later < until; ++later)
            if (Ring[later % RingSize].Data == Ring[index % RingSize].Data)
                return true;
        return until - index >= RingSize;
    };
    uint64_t copied = 0;
    for (uint64_t index = oldest; index < started; ++index) {
        const TBuffer& buffer = Ring[index % RingSize];
        const auto [begin, end] = overlap(buffer);
        if (begin >= end)
            continue;
        if (begunAgain(index, started))
            return false;
        std::memcpy(pcm + (begin - from) * frameBytes,
                    buffer.Data + (begin - buffer.First) * frameBytes, (end - begin) * frameBytes);
        copied += end - begin;
    }
    // More than one begun meanwhile writes over the slots read: too late to tell.
    const uint64_t now = Started.load(std::memory_order_acquire);
    if (now - started > 1)
        return false;
    for (uint64_t index = oldest; index < started; ++index) {
        const auto [begin, end] = overlap(Ring[index % RingSize]);
        if (begin < end && begunAgain(index, now))
            return false;
    }
    return copied == frames;
}

int64_t THandOver::MarkAt(uint64_t frame, uint64_t count) const {
    const uint64_t oldest = count > MarkRingSize / 2 ? count - MarkRingSize / 2 : 0;
    for (uint64_t index = count; index > oldest; --index)
        if (Marks[(index - 1) % MarkRingSize].Frame.load(std::memory_order_relaxed) <= frame)
            return int64_t(index - 1);
    return count > 0 ? -int64_t(oldest) - 1 : -1;
}

uint64_t THandOver::DueOf(uint64_t frame) const {
    const uint64_t count = MarkCount.load(std::memory_order_acquire);
    if (count == 0)
        return Never;
    int64_t index = MarkAt(frame, count);
    // Older than every mark still readable: counting back from the oldest one puts it no
    // earlier than its true time, since the clock only ever jumps forward.
    if (index < 0)
        index = -index - 1;
    const TMark& mark = Marks[uint64_t(index) % MarkRingSize];
    const uint64_t from = mark.Frame.load(std::memory_order_relaxed);
    const uint64_t due = mark.Due.load(std::memory_order_relaxed);
    return frame >= from ? due + (frame - from) : due - (from - frame);
}

uint64_t THandOver::FirstDueFrom(uint64_t time, uint64_t limit) const {
    const uint64_t count = MarkCount.load(std::memory_order_acquire);
    const uint64_t oldest = count > MarkRingSize / 2 ? count - MarkRingSize / 2 : 0;
    // The newest stretch that starts due at or before time holds the frame, or it falls in the
    // jump before the stretch after it.
    uint64_t after = limit;
    for (uint64_t index = count; index > oldest; --index) {
        const TMark& mark = Marks[(index - 1) % MarkRingSize];
        const uint64_t from = mark.Frame.load(std::memory_order_relaxed);
        const uint64_t due = mark.Due.load(std::memory_order_relaxed);
        if (due <= time)
            return std::min(from + (time - due), after);
        after = std::min(from, limit);
    }
    return after;
}

uint64_t THandOver::NextJumpAfter(uint64_t frame) const {
    const uint64_t count = MarkCount.load(std::memory_order_acquire);
    uint64_t next = Never;
    const uint64_t oldest = count > MarkRingSize / 2 ? count - MarkRingSize / 2 : 0;
    for (uint64_t index = count; index > oldest; --index) {
        const uint64_t from =
            Marks[(index - 1) % MarkRingSize].Frame.load(std::memory_order_relaxed);
        if (from <= frame)
            break;
        next = from;
    }
    return next;
}
