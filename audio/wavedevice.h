#pragma once

#include "audio/cycleload.h"

#include <cstdint>
#include <memory>

// The device layer: a wave-in and a wave-out device with the calls the capture component and
// the playback queue make, the records they exchange, and the process-wide choice of
// implementation (the real devices unless a test installs the virtual device).

// The 18-byte PCM format record both directions are opened with.
#pragma pack(push, 1)
struct TWaveFormat {
    uint16_t FormatTag;
    uint16_t Channels;
    uint32_t SamplesPerSec;
    uint32_t AvgBytesPerSec;
    uint16_t BlockAlign;
    uint16_t BitsPerSample;
    uint16_t ExtraSize;
};
#pragma pack(pop)
static_assert(sizeof(TWaveFormat) == 18);

constexpr uint16_t WaveFormatPcm = 1;

// One queued buffer. The device never owns Data; the header belongs to whoever queued it
// and is only read or written by the device between AddBuffer/Write and its return.
struct TWaveHeader {
    char* Data;
    uint32_t BufferLength;
    uint32_t BytesRecorded;
    uintptr_t User;
    uint32_t Flags;
    uint32_t Loops;
    TWaveHeader* Next;
    uintptr_t Reserved;
};

// Header flags.
constexpr uint32_t WaveHeaderDone = 0x01;
constexpr uint32_t WaveHeaderPrepared = 0x02;
constexpr uint32_t WaveHeaderBeginLoop = 0x04;
constexpr uint32_t WaveHeaderInQueue = 0x10;

// Result codes of the device calls; 0 is success.
using TWaveResult = uint32_t;
constexpr TWaveResult WaveNoError = 0;
// A failure the device names no better.
constexpr TWaveResult WaveErrorUnspecified = 1;
constexpr TWaveResult WaveErrorAllocated = 4;
constexpr TWaveResult WaveErrorInvalidHandle = 5;
constexpr TWaveResult WaveErrorNoDriver = 6;
constexpr TWaveResult WaveErrorNoMemory = 7;
constexpr TWaveResult WaveErrorBadFormat = 32;
constexpr TWaveResult WaveErrorStillPlaying = 33;
constexpr TWaveResult WaveErrorUnprepared = 34;
// The device's server stopped calling it: hung, or gone without a word.
constexpr TWaveResult WaveErrorNotAnswering = 0x1000;
// The server ran on, but our own audio thread stopped coming back from it.
constexpr TWaveResult WaveErrorOwnThreadStalled = 0x1001;

// Device messages.
constexpr uint32_t WaveOutDoneMessage = 0x3BD;
constexpr uint32_t WaveInDataMessage = 0x3C0;
// The device stopped on its own (lost, or its stream failed); sent once, with no header, after
// the headers it had returned. The device's Fault() says why.
constexpr uint32_t WaveInFaultMessage = 0x3D0;
constexpr uint32_t WaveOutFaultMessage = 0x3D1;

// Where a wave-in device sends each returned buffer (and its fault message). Called on the main
// thread only, from its event loop, one call per buffer in the order the buffers were filled.
class TWaveInTarget {
public:
    virtual void WaveInMessage(uint32_t message, TWaveHeader* header) = 0;

protected:
    ~TWaveInTarget() = default;
};

class TWaveOutDevice;

// The wave-out completion callback. Called on the main thread only, from its event loop, once
// per returned header, in queue order, and once for a fault (param1 0).
using TWaveOutProc = void (*)(TWaveOutDevice* device, uint32_t message, uintptr_t instance,
                              uintptr_t param1, uintptr_t param2);

// The calls both directions share. Destroying an open device closes it.
class TWaveDevice {
public:
    virtual ~TWaveDevice() = default;
    // Marks a header as usable with this device; its data must stay alive until unprepared.
    virtual TWaveResult PrepareHeader(TWaveHeader* header) = 0;
    // Fails with WaveErrorStillPlaying while the device holds the header.
    virtual TWaveResult UnprepareHeader(TWaveHeader* header) = 0;
    // Stops the device at once and returns every queued header through its messages.
    virtual TWaveResult Reset() = 0;
    // Fails with WaveErrorStillPlaying while headers are queued.
    virtual TWaveResult Close() = 0;
    // Why the device stopped on its own; WaveNoError while it works. It takes no buffer after.
    virtual TWaveResult Fault() const { return WaveNoError; }
    // Xruns the host reported since the device opened.
    virtual uint64_t Xruns() const { return 0; }
    // How its host's cycles kept time (on JACK, since our client opened); nothing where the
    // host has no deadline to keep per cycle.
    virtual TCycleLoad CycleLoad() const { return {}; }
    // The device's own latency in frames: capture for an input, playback for an output.
    virtual uint32_t LatencyFrames() const { return 0; }
    // Whether its audio side runs by itself; a test's virtual card moves only when told.
    virtual bool RunsByItself() const { return true; }
};

class THeldDelayFile;

class TWaveInDevice : public TWaveDevice {
public:
    // Queues a buffer to be filled; buffers fill in queue order.
    virtual TWaveResult AddBuffer(TWaveHeader* header) = 0;
    virtual TWaveResult Start() = 0;
    // Times input was lost since the device opened: no buffer queued, or the host dropped it.
    virtual uint64_t Overruns() const { return 0; }
    // Frames lost since the device opened for want of a buffer to fill.
    virtual uint64_t LostFrames() const { return 0; }
    // The buffers to come are those of the delay's file: an input linked to an output keeps
    // its header current and resumes what it holds. Before Start.
    virtual void KeepHeld(const THeldDelayFile&) {}
};

// How an output fed on the audio side makes up a delay it dumped: it plays slower than real
// time by Percent, pitch kept, until the programme is back at the set delay. AtStart begins a
// run on air at once and builds the whole delay up the same way.
struct TBuildUp {
    double Percent = 3.0;
    bool AtStart = false;
    // How much faster than real time Exit plays while it winds the delay down to none.
    double ExitPercent = 3.0;
};

// Why the audio side refused a dump.
enum class TDumpRefusal {
    None,
    // Nothing has played yet.
    NothingOnAir,
    // Less than a few periods wait between what plays and what the input writes.
    TooLittleWaiting,
    // Nothing waits: the operator left the delay, or is leaving it.
    Live,
    Exiting,
};

// Whether the programme goes on air delayed, on its way to no delay, or live.
enum class TAirMode { Delayed, Exiting, Live };

// The last dump the audio side took: the programme frames it skipped, [From, To), and the
// frame of what the output played (counted from the run's first) its crossfade began on.
struct TDumpTaken {
    uint64_t From = 0;
    uint64_t To = 0;
    uint64_t AiredAt = 0;
};

// Where the programme on air stands against the set delay.
struct TOnAirState {
    // Frames the output plays ahead of the set delay: dumped and not yet built up again.
    int64_t AheadFrames = 0;
    // The frames ahead when the build-up now going began, for its progress.
    int64_t BuildUpFrames = 0;
    bool BuildingUp = false;
    // Whether any of the programme has played yet: before, there is nothing to dump.
    bool Playing = false;
    // Frames dumped since the run started; none of them is ever played.
    uint64_t DumpedFrames = 0;
    // Dumps the audio side has answered, and what it said to the last.
    uint64_t DumpsAnswered = 0;
    TDumpRefusal LastRefusal = TDumpRefusal::None;
    // Input and output on clocks of their own: how much faster the output's runs, in
    // millionths, and the times the output re-aligned with the input's.
    bool SeparateClocks = false;
    double ClockDriftPpm = 0.0;
    uint64_t Realignments = 0;
    TAirMode Mode = TAirMode::Delayed;
    bool Coughing = false;
    TDumpTaken LastDump;
};

class TWaveOutDevice : public TWaveDevice {
public:
    // Queues a buffer to be played right after those queued before it; the device plays
    // silence while none is queued. An output fed by an input on the audio side (the devices
    // of one run) plays each buffer the input fills as it fills; its writes then only account
    // for those buffers, in order, and each comes back once its buffer has played.
    virtual TWaveResult Write(TWaveHeader* header) = 0;
    // Times since the device opened that it ran dry, or the host starved it, in the middle of
    // playing: a buffer was due. Silence before the first buffer or after a reset is none.
    virtual uint64_t Underruns() const { return 0; }
    // How the output makes up a dump; read when an input is linked to it.
    virtual void SetBuildUp(const TBuildUp&) {}
    // Asks the audio side to skip up to frames of what waits to go on air, with a short
    // crossfade. It skips less where less is waiting: it never plays a frame before the input
    // has written it, and keeps a few periods in hand.
    virtual void Dump(uint64_t) {}
    // Exit winds the delay down to none by playing faster, then plays the input live; Build
    // winds it up again from live, as after a dump.
    virtual void Exit() {}
    virtual void Build() {}
    // While held, what the input captures never goes on air: the delay shrinks by the hold
    // and builds up again after it.
    virtual void Cough(bool) {}
    virtual TOnAirState OnAirState() const { return {}; }
    // The evidence of a dump, read on the main thread as PCM of the output's format into pcm;
    // false when the frames are not there (yet, or any more). The programme frames from on, held
    // in the delay's buffers; and what the output played, kept for the last few seconds, counted
    // from the run's first frame.
    virtual bool CopyProgramme(uint64_t /*from*/, uint64_t /*frames*/, char* /*pcm*/) const {
        return false;
    }
    virtual uint64_t AiredFrames() const { return 0; }
    virtual bool CopyAired(uint64_t /*from*/, uint64_t /*frames*/, char* /*pcm*/) const {
        return false;
    }
};

// The wave-audio service: the first wave-in device's capabilities and the wave mapper.
class TWaveDeviceFactory {
public:
    virtual ~TWaveDeviceFactory() = default;
    virtual int InputDeviceCount() = 0;
    // The capability bits (bit n-1 for wave type n) of a wave-in device.
    virtual uint32_t InputFormats(int device) = 0;
    // Opens the default input; on success device holds it and it starts stopped.
    virtual TWaveResult OpenInput(std::unique_ptr<TWaveInDevice>& device, const TWaveFormat& format,
                                  TWaveInTarget* target) = 0;
    // Whether the default output can play the format, without opening it.
    virtual TWaveResult QueryOutput(const TWaveFormat& format) = 0;
    // The one rate the device runs every stream at (a JACK server's); 0 when it takes several.
    virtual uint32_t FixedRate() { return 0; }
    // Opens the default output; it plays silence until the first Write.
    virtual TWaveResult OpenOutput(std::unique_ptr<TWaveOutDevice>& device,
                                   const TWaveFormat& format, TWaveOutProc callback,
                                   uintptr_t instance) = 0;
};

// The implementation every caller uses: the real devices, unless one was set.
TWaveDeviceFactory& WaveDeviceFactory();
// Installs a factory (not owned) for the whole process and returns the previous one;
// nullptr goes back to the real devices. Only while no device is open.
TWaveDeviceFactory* SetWaveDeviceFactory(TWaveDeviceFactory* factory);
// Says where the real devices are (the drivers live above this layer): asked for them on each
// call, so that they are made on first use. Until then the process has no sound device.
void SetRealWaveDevices(TWaveDeviceFactory& (*devices)());
