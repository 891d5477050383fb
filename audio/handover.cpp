#include "audio/handover.h"

#include "audio/onairplayer.h"

THandOver::THandOver(TTiming timing, uint32_t cushionFrames, const TWaveFormat& format,
                     bool floatDevice, const TBuildUp& buildUp)
    : Timing(timing), CushionFrames(cushionFrames),
      OutputPlayer(std::make_unique<TOnAirPlayer>(*this, format, floatDevice, buildUp)) {}

THandOver::~THandOver() = default;

bool THandOver::Begin(const char* data, uint32_t frames, uint64_t time) {
    const uint64_t index = Started.load(std::memory_order_relaxed);
    // The output's Consumed store comes after its last read of the slot.
    if (index - Consumed.load(std::memory_order_acquire) >= RingSize)
        return false;
    TBuffer& buffer = Ring[index % RingSize];
    buffer.Data = data;
    buffer.Frames = frames;
    buffer.First = InputFrames;
    buffer.Start = time;
    Started.store(index + 1, std::memory_order_release);
    return true;
}

void THandOver::Wrote(uint32_t frames) {
    InputFrames += frames;
    Filled.store(InputFrames, std::memory_order_release);
}

void THandOver::Complete(uint64_t dueAt) {
    const uint64_t index = Completed.load(std::memory_order_relaxed);
    Ring[index % RingSize].DueAt = dueAt;
    Completed.store(index + 1, std::memory_order_release);
}

bool THandOver::Holds(const char* data) const {
    const uint64_t started = Started.load(std::memory_order_relaxed);
    for (uint64_t index = Consumed.load(std::memory_order_acquire); index < started; ++index)
        if (Ring[index % RingSize].Data == data)
            return true;
    return false;
}
