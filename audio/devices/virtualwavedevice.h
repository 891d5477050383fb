#pragma once

#include "audio/wavedevice.h"

#include <QByteArray>
#include <cstdint>
#include <memory>

// A sound card for tests, driven by the test: it feeds input frames, advances device time and
// reads what the output played. Its callbacks run on a device thread of their own, through the
// same stream code as the real devices. Install it with SetWaveDeviceFactory(&device).
class TVirtualWaveDevice : public TWaveDeviceFactory {
public:
    // When the main thread gets to handle the device's completions during Advance.
    enum class TPump {
        // At the device frame where an input buffer fills and at each period's end: a main
        // thread that answers at once.
        EachCompletion,
        // At each period's end only, as with a real device.
        EachPeriod,
        // Never: completions wait until the test processes events.
        Never,
    };

    TVirtualWaveDevice();
    ~TVirtualWaveDevice() override;

    int InputDeviceCount() override;
    uint32_t InputFormats(int device) override;
    TWaveResult OpenInput(std::unique_ptr<TWaveInDevice>& device, const TWaveFormat& format,
                          TWaveInTarget* target) override;
    TWaveResult QueryOutput(const TWaveFormat& format) override;
    TWaveResult OpenOutput(std::unique_ptr<TWaveOutDevice>& device, const TWaveFormat& format,
                           TWaveOutProc callback, uintptr_t instance) override;

    // Setup. Defaults: one input device, all sixteen capability bits, float samples (like
    // JACK), 256-frame periods, no output latency, no faults.
    void SetInputDeviceCount(int count);
    void SetCapabilities(uint32_t bits);
    // Float samples with our own conversion (JACK), or the PCM format itself (ALSA).
    void SetNativeFloat(bool nativeFloat);
    void SetPeriodFrames(int frames);
    // The output's latency: what it plays comes out that many frames later, and it reports
    // that latency.
    void SetOutputLatencyFrames(int frames);

    // Faults.
    // The query and both opens answer WaveErrorBadFormat.
    void RefuseFormat(bool refuse);
    void FailInputOpen(bool fail);
    // The input opens but its Start answers WaveErrorNoDriver.
    void FailInputStart(bool fail);
    void FailOutputOpen(bool fail);
    // Output PrepareHeader answers WaveErrorNoMemory.
    void FailOutputPrepare(bool fail);
    // Every output Write answers code; 0 ends the fault.
    void FailWrites(TWaveResult code);
    // The card disappears: no more frames move, Start/AddBuffer/Write and opening answer
    // WaveErrorNoDriver; Reset and Close still work. A flowing stream reports the fault at once
    // (Fault() and its fault message). The other two lose one direction only.
    void LoseDevice();
    void LoseInput();
    void LoseOutput();
    // The input stops moving frames without a word, as a host that leaves a stream inactive
    // and calls nobody: only the stream's own health check can find it.
    void LoseInputSilently();
    // The card is back: new opens and starts work again.
    void RestoreDevice();
    // The output learns of each filled buffer as from a stream of its own, and starts one after
    // running dry that many frames late; 0 shares one cycle and one clock, as JACK does.
    void SetSeparateStreams(int cushionFrames);
    // Input and output as two cards with clocks of their own, each stream on a thread of its
    // own: the output's clock runs faster than the input's by ppm millionths (slower below 0).
    // Takes separate streams.
    void SetClockDrift(double ppm);
    // Where device time starts, for a clock near the end of its range; a 32-bit clock wraps
    // as JACK's does, and the card extends it to 64 bits as the JACK driver does.
    void SetClockStart(uint64_t time, bool thirtyTwoBits = false);
    // Whether the card's streams count as called steadily, as a real host's are: then a test
    // that stops advancing it for long looks like a hung server to their watchdog.
    void SetSteady(bool steady);

    // Appends PCM frames in the open input's format; the input reads silence once they run out.
    void FeedInput(const void* pcm, size_t bytes);
    // Moves device time on by frames: the started input fills its queued buffers, the open
    // output plays its queued buffers or what the input hands it (silence when none).
    void Advance(int64_t frames, TPump pump = TPump::EachCompletion);
    // The input's host loses the next frames of device time: they never reach the input,
    // while the output plays on.
    void SkipInput(int64_t frames);
    // An xrun: device time jumps by frames for both directions; the input's frames are lost
    // and the output plays silence for them.
    void Xrun(int64_t frames);
    // What the output played (PCM, its format) since it opened or since the last call.
    QByteArray TakeOutput();

    // Observation.
    bool InputOpen() const;
    bool InputStarted() const;
    bool OutputOpen() const;
    // Headers each device holds right now.
    int InputQueued() const;
    int OutputQueued() const;
    int InputOpenCount() const;
    int OutputOpenCount() const;

    struct TCard;

private:
    std::shared_ptr<TCard> Card;
};
