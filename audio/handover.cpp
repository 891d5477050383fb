#include "audio/handover.h"

#include "audio/onairplayer.h"

THandOver::THandOver(TTiming timing, uint32_t cushionFrames, const TWaveFormat& format,
                     bool floatDevice, const TBuildUp& buildUp)
    : Timing(timing), CushionFrames(cushionFrames),
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
    return true;
}

void THandOver::Wrote(uint32_t frames, uint64_t time) {
    const uint64_t count = MarkCount.load(std::memory_order_relaxed);
    if (count == 0 || time != NextCapture) {
        // Published before the frames: whoever sees them sees when they are due.
        TMark& mark = Marks[count % MarkRingSize];
        mark.Frame.store(InputFrames, std::memory_order_relaxed);
        mark.Due.store(time + Delay.load(std::memory_order_relaxed), std::memory_order_relaxed);
        MarkCount.store(count + 1, std::memory_order_release);
    }
    NextCapture = time + frames;
    InputFrames += frames;
    Losing.store(false, std::memory_order_relaxed);
    Filled.store(InputFrames, std::memory_order_release);
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
