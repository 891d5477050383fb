#include "audio/waveread.h"

#include "audio/wavemessage.h"
#include "support/errors.h"
#include "support/nestedevents.h"

#include <QScopeGuard>
#include <algorithm>
#include <array>
#include <limits>

namespace {

struct TWaveTypeRow {
    const char* Text;
    TWaveDataFormat Format;
};

constexpr TWaveTypeRow WaveTypeRows[WaveTypeCount] = {
    {"No Wave Mapper", {0, 0, 0}},
    {"11.025 kHz, Mono, 8-bit", {11025, 1, 1}},
    {"11.025 kHz, Stereo, 8-bit", {11025, 1, 2}},
    {"11.025 kHz, Mono, 16-bit", {11025, 2, 1}},
    {"11.025 kHz, Stereo, 16-bit", {11025, 2, 2}},
    {"22.05 kHz, Mono, 8-bit", {22050, 1, 1}},
    {"22.05 kHz, Stereo, 8-bit", {22050, 1, 2}},
    {"22.05 kHz, Mono, 16-bit", {22050, 2, 1}},
    {"22.05 kHz, Stereo, 16-bit", {22050, 2, 2}},
    {"44.1 kHz, Mono, 8-bit", {44100, 1, 1}},
    {"44.1 kHz, Stereo, 8-bit", {44100, 1, 2}},
    {"44.1 kHz, Mono, 16-bit", {44100, 2, 1}},
    {"44.1 kHz, Stereo, 16-bit", {44100, 2, 2}},
    {"48 kHz, Mono, 8-bit", {48000, 1, 1}},
    {"48 kHz, Stereo, 8-bit", {48000, 1, 2}},
    {"48 kHz, Mono, 16-bit", {48000, 2, 1}},
    {"48 kHz, Stereo, 16-bit", {48000, 2, 2}},
};

constexpr int FirstWaveInDevice = 0;
constexpr uint32_t AllCapsBits = (1u << (WaveTypeCount - 1)) - 1;

bool IsFormatType(int waveType) {
    return waveType > wfNone && waveType < WaveTypeCount;
}

} // namespace

// The component's hidden receiver of device messages, on the main thread.
class TDeviceMessageReceiver : public QObject, public TWaveInTarget {
public:
    explicit TDeviceMessageReceiver(TWaveReader* reader) : QObject(reader), Reader(reader) {}
    void WaveInMessage(uint32_t message, TWaveHeader* header) override {
        Reader->DeviceMessage(message, header);
    }

private:
    TWaveReader* Reader;
};

QString WaveTypeText(TWaveTypes waveType) {
    return waveType < WaveTypeCount ? QString::fromLatin1(WaveTypeRows[waveType].Text) : QString();
}

QList<int> WaveTypeRates() {
    QList<int> rates;
    for (int type = wf11Khz_Mono_8Bit; type < WaveTypeCount; ++type)
        if (!rates.contains(WaveTypeRows[type].Format.SamplesPerSec))
            rates.append(WaveTypeRows[type].Format.SamplesPerSec);
    return rates;
}

uint32_t WaveTypeToCapsBit(TWaveTypes waveType) {
    return IsFormatType(waveType) ? 1u << (waveType - 1) : 0;
}

uint32_t FormatCapabilities(const std::function<bool(const TWaveFormat&)>& opens) {
    uint32_t bits = 0;
    for (int type = wf11Khz_Mono_8Bit; type < WaveTypeCount; ++type) {
        const auto waveType = static_cast<TWaveTypes>(type);
        TWaveDataFormat triple{};
        WaveTypeToFormat(waveType, triple);
        TWaveFormat record{};
        TWaveReader::MakeWaveFormat(record, triple);
        if (opens(record))
            bits |= WaveTypeToCapsBit(waveType);
    }
    return bits;
}

void BuildFormatList(TFormatList& list, uint32_t capabilities) {
    list.clear();
    // Bits beyond the sixteen (formats we do not offer) count as none.
    if ((capabilities & AllCapsBits) == 0)
        list.append({WaveTypeText(wfNone), wfNone});
    for (int type = wf11Khz_Mono_8Bit; type < WaveTypeCount; ++type) {
        const auto waveType = static_cast<TWaveTypes>(type);
        if (capabilities & WaveTypeToCapsBit(waveType))
            list.append({WaveTypeText(waveType), waveType});
    }
}

void WaveTypeToFormat(TWaveTypes waveType, TWaveDataFormat& format) {
    if (IsFormatType(waveType))
        format = WaveTypeRows[waveType].Format;
}

TWaveReader::TWaveReader(QObject* owner)
    : QObject(owner), MessageReceiver(new TDeviceMessageReceiver(this)) {
    FillFormatList();
}

TWaveReader::~TWaveReader() {
    // An owner that forgot Stop must not leave the device writing into freed buffers.
    Device.reset();
    ReleaseBuffers();
    delete MessageReceiver;
}

void TWaveReader::FillFormatList() {
    TWaveDeviceFactory& factory = WaveDeviceFactory();
    uint32_t capabilities = 0;
    if (factory.InputDeviceCount() == 0)
        ShowWaveMessage(QStringLiteral("No Wave Device Available"));
    else
        capabilities = factory.InputFormats(FirstWaveInDevice);
    BuildFormatList(Formats, capabilities);
}

void TWaveReader::GetFormat(TWaveDataFormat& format) const {
    format = {};
    WaveTypeToFormat(WaveType(), format);
}

void TWaveReader::MakeWaveFormat(TWaveFormat& record, const TWaveDataFormat& format) {
    record.FormatTag = WaveFormatPcm;
    record.Channels = static_cast<uint16_t>(format.Channels);
    record.SamplesPerSec = static_cast<uint32_t>(format.SamplesPerSec);
    record.BitsPerSample = static_cast<uint16_t>(format.BytesPerSample * 8);
    record.BlockAlign = static_cast<uint16_t>(record.Channels * (record.BitsPerSample / 8));
    record.AvgBytesPerSec = record.SamplesPerSec * record.BlockAlign;
    record.ExtraSize = 0;
}

void TWaveReader::Start() {
    if (IsRunning || IsStopping)
        return;
    if (SampleCount <= 0)
        throw ERangeError();
    GetFormat(CurrentFormat);
    TWaveFormat record;
    MakeWaveFormat(record, CurrentFormat);
    const int64_t bufferBytes = int64_t(record.BlockAlign) * SampleCount;

    std::unique_ptr<TWaveInDevice> device;
    if (WaveDeviceFactory().OpenInput(device, record, MessageReceiver) != WaveNoError || !device)
        throw Exception(QStringLiteral("Failed to open input device"));
    std::array<TCommittedMemory, BufferCount> buffers;
    THeldDelayFile held;
    if (bufferBytes > std::numeric_limits<uint32_t>::max())
        throw Exception(QStringLiteral("Not enough memory for the delay buffers"));
    if (!HeldStation().empty()) {
        const THeldLayout layout{
            uint32_t(CurrentFormat.SamplesPerSec), uint32_t(CurrentFormat.BytesPerSample),
            uint32_t(CurrentFormat.Channels), uint32_t(SampleCount), uint64_t(SampleCount)};
        held = THeldDelayFile::Take(THeldDelayFile::PathFor(HeldStation()), layout);
        if (held.InUse())
            throw Exception(QStringLiteral("The delay of %1 is %2")
                                .arg(QString::fromStdString(HeldStation()),
                                     QString::fromStdString(held.Refusal())));
        if (!held.Data() && !held.NotHeld())
            throw Exception(QStringLiteral("Not enough memory for the delay buffers"));
    }
    // Where the delay cannot be held (its place taken by what is not ours), the run still goes
    // on air, in memory of its own.
    if (held.Data())
        device->KeepHeld(held);
    else
        for (TCommittedMemory& buffer : buffers) {
            buffer = TCommittedMemory::Take(size_t(bufferBytes));
            if (!buffer.Data())
                throw Exception(QStringLiteral("Not enough memory for the delay buffers"));
        }

    Buffers = std::move(buffers);
    Held = std::move(held);
    // A resumed delay goes on in the buffer after the newest it holds: the held ones are
    // refilled last.
    const int first = Held.Resumed() ? Held.Held().NextBuffer : 0;
    Pending = 0;
    for (int queued = 0; queued < BufferCount; ++queued) {
        const int index = (first + queued) % BufferCount;
        TWaveHeader& header = Headers[index];
        header = {};
        header.Data = Held.Data() ? Held.Buffer(index) : Buffers[index].Data();
        header.BufferLength = static_cast<uint32_t>(bufferBytes);
        header.Flags = WaveHeaderBeginLoop;
        device->PrepareHeader(&header);
        // Only the buffers the device took will come back, so only they are waited for.
        if (device->AddBuffer(&header) == WaveNoError)
            ++Pending;
    }
    // A device that takes no buffer or does not start would leave a run that never hears a
    // thing: undo it all. Closing it first drops whatever it holds.
    if (Pending == 0 || device->Start() != WaveNoError) {
        device.reset();
        ReleaseBuffers();
        Pending = 0;
        throw Exception(QStringLiteral("Failed to open input device"));
    }
    // The old device, closed by the last Stop, goes only now, and if this start runs inside its
    // delivery (a handler that stopped and started again), only once that has returned.
    if (Delivering > 0 && Device)
        Retired.push_back(std::move(Device));
    Device = std::move(device);
    IsRunning = true;
    IsStopping = false;
}

void TWaveReader::DeviceMessage(uint32_t message, TWaveHeader* header) {
    ++Delivering;
    const auto delivered = qScopeGuard([this] {
        // The device's delivery loop goes on after this returns: release retired devices from
        // the event loop, once no delivery is under way.
        if (--Delivering == 0 && !Retired.empty())
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (Delivering == 0)
                        Retired.clear();
                },
                Qt::QueuedConnection);
    });
    if (message == WaveInFaultMessage) {
        if (IsRunning)
            RaiseFault(Device->Fault());
        return;
    }
    if (message != WaveInDataMessage)
        return;
    --Pending;
    const TWaveInDevice* device = Device.get();
    try {
        if (OnWaveIn)
            OnWaveIn(this, header->Data, SampleCount, CurrentFormat);
    } catch (...) {
        // A display that fails must not cost the run one of its buffers.
        Requeue(header, device);
        throw;
    }
    Requeue(header, device);
}

void TWaveReader::Requeue(TWaveHeader* header, const TWaveInDevice* device) {
    // A handler that stopped the run, or stopped it and started another, freed this buffer.
    if (!IsRunning || Device.get() != device)
        return;
    if (const TWaveResult result = Device->AddBuffer(header))
        RaiseFault(result);
    else
        ++Pending;
}

void TWaveReader::RaiseFault(TWaveResult code) {
    if (OnFault)
        OnFault(this, code);
}

uint64_t TWaveReader::Overruns() const {
    return Device ? Device->Overruns() : 0;
}

uint64_t TWaveReader::LostFrames() const {
    return Device ? Device->LostFrames() : 0;
}

uint64_t TWaveReader::Xruns() const {
    return Device ? Device->Xruns() : 0;
}

TCycleLoad TWaveReader::CycleLoad() const {
    return Device ? Device->CycleLoad() : TCycleLoad{};
}

uint32_t TWaveReader::LatencyFrames() const {
    return IsRunning ? Device->LatencyFrames() : 0;
}

void TWaveReader::Stop() {
    if (!IsRunning || IsStopping)
        return;
    IsRunning = false;
    IsStopping = true;
    Device->Reset();
    while (Pending > 0)
        ProcessNestedEvents();
    IsStopping = false;
    for (TWaveHeader& header : Headers)
        Device->UnprepareHeader(&header);
    ReleaseBuffers();
    Device->Close();
}

void TWaveReader::ReleaseBuffers() {
    for (TWaveHeader& header : Headers)
        header = {};
    Buffers = {};
    // The file stays for the next run, unless discarded.
    Held = {};
}

bool TWaveReader::BuffersLocked() const {
    if (Held.Data())
        return Held.Locked();
    return std::all_of(Buffers.begin(), Buffers.end(),
                       [](const TCommittedMemory& buffer) { return buffer.Locked(); });
}

void TWaveReader::DiscardHeld() {
    if (!IsRunning && !IsStopping && !HeldStation().empty())
        THeldDelayFile::Discard(THeldDelayFile::PathFor(HeldStation()));
}
