#pragma once

#include "audio/committedmemory.h"
#include "audio/helddelay.h"
#include "audio/wavedevice.h"

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// The PCM formats in list order: twelve at the classic rates, then 48 kHz, the rate JACK and
// PipeWire run at by default. wfNone stands for "no format".
enum TWaveTypes : uint8_t {
    wfNone,
    wf11Khz_Mono_8Bit,
    wf11Khz_Stereo_8Bit,
    wf11Khz_Mono_16Bit,
    wf11Khz_Stereo_16Bit,
    wf22Khz_Mono_8Bit,
    wf22Khz_Stereo_8Bit,
    wf22Khz_Mono_16Bit,
    wf22Khz_Stereo_16Bit,
    wf44Khz_Mono_8Bit,
    wf44Khz_Stereo_8Bit,
    wf44Khz_Mono_16Bit,
    wf44Khz_Stereo_16Bit,
    wf48Khz_Mono_8Bit,
    wf48Khz_Stereo_8Bit,
    wf48Khz_Mono_16Bit,
    wf48Khz_Stereo_16Bit,
};
constexpr int WaveTypeCount = 17;

// The audio format every part of the program shares. A frame is BytesPerSample x Channels
// bytes: 8-bit samples unsigned (silence 128), 16-bit signed little-endian, stereo left first.
struct TWaveDataFormat {
    int32_t SamplesPerSec;
    int32_t BytesPerSample;
    int32_t Channels;
};

// Raised on the main thread once per filled buffer; Buffer points into the capture buffer,
// valid until the handler returns.
using TWaveInEvent = std::function<void(QObject* Sender, void* Buffer, int32_t SampleCount,
                                        const TWaveDataFormat& Format)>;
// Raised on the main thread when the input fails during capture: it stopped on its own (lost,
// its stream failed) or refused a buffer back. Code says why; it may come more than once.
using TWaveFaultEvent = std::function<void(QObject* Sender, TWaveResult Code)>;

// One entry of the format list: its text and the wave type it stands for.
struct TFormatListEntry {
    QString Text;
    TWaveTypes WaveType;
};
using TFormatList = QList<TFormatListEntry>;

// The text a wave type shows in the format list ("No Wave Mapper" for wfNone).
QString WaveTypeText(TWaveTypes waveType);
uint32_t WaveTypeToCapsBit(TWaveTypes waveType);
// The sample rates of the format list, lowest first.
QList<int> WaveTypeRates();
// The capability bits of the wave types whose record opens says a device can open.
uint32_t FormatCapabilities(const std::function<bool(const TWaveFormat&)>& opens);
void BuildFormatList(TFormatList& list, uint32_t capabilities);
// Writes the triple of a format; leaves format untouched for wfNone.
void WaveTypeToFormat(TWaveTypes waveType, TWaveDataFormat& format);

class TDeviceMessageReceiver;

// Captures from the default wave-in device into four equal buffers kept queued on it, raising
// OnWaveIn on the main thread for each filled buffer before queueing it again.
class TWaveReader : public QObject {
    Q_OBJECT

public:
    static constexpr int BufferCount = 4;
    static constexpr int32_t DefaultSampleCount = 256;

    explicit TWaveReader(QObject* owner = nullptr);
    // Does not stop capture: the owner calls Stop first.
    ~TWaveReader() override;

    // Rebuilds FormatList from the first wave-in device's capabilities.
    void FillFormatList();
    // The triple of WaveType; all zero for wfNone.
    void GetFormat(TWaveDataFormat& format) const;
    static void MakeWaveFormat(TWaveFormat& record, const TWaveDataFormat& format);

    // Opens the input with the current format, queues four buffers of SampleCount frames and
    // starts it. Does nothing unless idle. Raises Exception "Failed to open input device" (also
    // when the device takes no buffer or does not start) or "Not enough memory for the delay
    // buffers", leaving nothing open or allocated.
    void Start();
    // Resets the input and pumps the main thread's events until every buffer the device took
    // has come back, then frees the buffers and closes the input. Does nothing unless running.
    void Stop();

    TWaveTypes WaveType() const { return StoredWaveType; }
    void SetWaveType(TWaveTypes waveType) { StoredWaveType = waveType; }

    const TFormatList& FormatList() const { return Formats; }
    int32_t PendingCount() const { return Pending; }
    // Times the input lost frames in the last run (this one while running), and how many.
    uint64_t Overruns() const;
    uint64_t LostFrames() const;
    // Xruns the host reported in the last run.
    uint64_t Xruns() const;
    // How the host's cycles kept time in this run; nothing while idle.
    TCycleLoad CycleLoad() const;
    // The input's own latency while running; 0 when idle.
    uint32_t LatencyFrames() const;
    // Whether the running buffers are locked in memory (they are always committed).
    bool BuffersLocked() const;
    // The delay's file of the run (while it runs), or none when no station holds one: whether
    // it resumed what the last run held, and why a held one could not be.
    const THeldDelayFile& HeldFile() const { return Held; }
    // Removes the station's held delay, once a run is over: the operator ended it on purpose.
    void DiscardHeld();
    bool Running() const { return IsRunning; }
    bool Stopping() const { return IsStopping; }

    TWaveInEvent OnWaveIn;
    TWaveFaultEvent OnFault;
    // Sample frames per buffer; read by Start and reported with each buffer.
    int32_t SampleCount = DefaultSampleCount;

private:
    friend class TDeviceMessageReceiver;

    void DeviceMessage(uint32_t message, TWaveHeader* header);
    // Queues a buffer the capture event is done with again, unless the run it came from (on
    // device) is over.
    void Requeue(TWaveHeader* header, const TWaveInDevice* device);
    void RaiseFault(TWaveResult code);
    void ReleaseBuffers();

    TDeviceMessageReceiver* MessageReceiver;
    std::unique_ptr<TWaveInDevice> Device;
    // Devices replaced while they were delivering, kept until their delivery has returned.
    std::vector<std::unique_ptr<TWaveInDevice>> Retired;
    // Device messages being handled, nested ones included.
    int Delivering = 0;
    std::array<TWaveHeader, BufferCount> Headers{};
    std::array<TCommittedMemory, BufferCount> Buffers;
    THeldDelayFile Held;
    bool IsRunning = false;
    bool IsStopping = false;
    TWaveTypes StoredWaveType = wfNone;
    TFormatList Formats;
    TWaveDataFormat CurrentFormat{};
    int32_t Pending = 0;
};
