#include "tests/audio/audiotestapp.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>

namespace {

using TPump = TVirtualWaveDevice::TPump;

// What a wave-in device sent to its target, in order; the fault message carries no header.
struct TRecordingTarget : TWaveInTarget {
    void WaveInMessage(uint32_t message, TWaveHeader* header) override {
        Messages.push_back(message);
        if (!header)
            return;
        Headers.push_back(header);
        BytesRecorded.push_back(header->BytesRecorded);
    }
    std::vector<uint32_t> Messages;
    std::vector<TWaveHeader*> Headers;
    std::vector<uint32_t> BytesRecorded;
};

// What a wave-out device gave back through its callback, in order; the fault message carries
// no header.
struct TRecordingCallback {
    static void Proc(TWaveOutDevice* device, uint32_t message, uintptr_t instance, uintptr_t header,
                     uintptr_t) {
        auto* self = reinterpret_cast<TRecordingCallback*>(instance);
        self->Device = device;
        self->Messages.push_back(message);
        if (header)
            self->Headers.push_back(reinterpret_cast<TWaveHeader*>(header));
    }
    TWaveOutDevice* Device = nullptr;
    std::vector<uint32_t> Messages;
    std::vector<TWaveHeader*> Headers;
};

// A header over part of a byte vector.
TWaveHeader HeaderOver(std::vector<uint8_t>& bytes, size_t offset, size_t length) {
    TWaveHeader header{};
    header.Data = reinterpret_cast<char*>(bytes.data() + offset);
    header.BufferLength = uint32_t(length);
    return header;
}

// Cuts memory into equal buffers and queues them all on the input, in order.
std::vector<TWaveHeader> QueueBuffers(TWaveInDevice& input, std::vector<uint8_t>& memory,
                                      size_t length) {
    std::vector<TWaveHeader> headers;
    for (size_t offset = 0; offset + length <= memory.size(); offset += length)
        headers.push_back(HeaderOver(memory, offset, length));
    for (TWaveHeader& header : headers) {
        EXPECT_EQ(input.PrepareHeader(&header), WaveNoError);
        EXPECT_EQ(input.AddBuffer(&header), WaveNoError);
    }
    return headers;
}

void HandleEvents() {
    QCoreApplication::processEvents();
}

// The device's sample path: float with our conversion (JACK) or the PCM itself (ALSA).
class WaveDeviceTest : public TVirtualDeviceTest, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        TVirtualDeviceTest::SetUp();
        Device.SetNativeFloat(GetParam());
    }
};

INSTANTIATE_TEST_SUITE_P(Samples, WaveDeviceTest, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Float" : "Pcm"; });

// Buffers fill in queue order, each callback crossing buffer ends wherever they fall, and each
// comes back whole, in order, through the main thread's events.
TEST_P(WaveDeviceTest, InputFillsBuffersInQueueOrderAcrossPeriods) {
    const TWaveFormat format = RecordOf(wf44Khz_Stereo_16Bit);
    const std::vector<uint8_t> fed = NoisePcm(300 * 4, 3);
    Device.FeedInput(fed.data(), fed.size());
    Device.SetPeriodFrames(256);
    TRecordingTarget target;
    std::unique_ptr<TWaveInDevice> input;
    ASSERT_EQ(Device.OpenInput(input, format, &target), WaveNoError);

    std::vector<uint8_t> memory(300 * 4);
    std::vector<TWaveHeader> headers = QueueBuffers(*input, memory, 400);
    ASSERT_EQ(input->Start(), WaveNoError);
    Device.Advance(300, TPump::Never);
    EXPECT_TRUE(target.Messages.empty()) << "delivered outside the main thread's events";
    HandleEvents();

    EXPECT_EQ(target.Messages, std::vector<uint32_t>(3, WaveInDataMessage));
    EXPECT_EQ(target.Headers, (std::vector<TWaveHeader*>{&headers[0], &headers[1], &headers[2]}));
    EXPECT_EQ(target.BytesRecorded, std::vector<uint32_t>(3, 400));
    EXPECT_EQ(memory, fed);
    for (const TWaveHeader& header : headers)
        EXPECT_EQ(header.Flags & (WaveHeaderDone | WaveHeaderInQueue), WaveHeaderDone);
    EXPECT_EQ(input->Close(), WaveNoError);
}

// With no buffer queued the input loses what it hears; a buffer queued later takes up from
// the frames it arrives at.
TEST_P(WaveDeviceTest, InputWithoutBuffersLosesFrames) {
    const TWaveFormat format = RecordOf(wf11Khz_Mono_8Bit);
    const std::vector<uint8_t> fed = NoisePcm(200, 4);
    Device.FeedInput(fed.data(), fed.size());
    TRecordingTarget target;
    std::unique_ptr<TWaveInDevice> input;
    ASSERT_EQ(Device.OpenInput(input, format, &target), WaveNoError);
    input->Start();
    Device.Advance(120);
    std::vector<uint8_t> memory(80);
    TWaveHeader header = HeaderOver(memory, 0, 80);
    input->PrepareHeader(&header);
    input->AddBuffer(&header);
    Device.Advance(80);
    ASSERT_EQ(target.Headers.size(), 1u);
    EXPECT_TRUE(std::equal(memory.begin(), memory.end(), fed.begin() + 120));
}

// The output plays written buffers back to back in order, whatever their lengths against the
// period, silence when none is queued; each comes back once played.
TEST_P(WaveDeviceTest, OutputPlaysBuffersInOrderThenSilence) {
    const TWaveFormat format = RecordOf(wf22Khz_Stereo_8Bit);
    TRecordingCallback callback;
    std::unique_ptr<TWaveOutDevice> output;
    ASSERT_EQ(Device.OpenOutput(output, format, &TRecordingCallback::Proc,
                                reinterpret_cast<uintptr_t>(&callback)),
              WaveNoError);
    Device.SetPeriodFrames(64);
    std::vector<uint8_t> memory = NoisePcm(250 * 2, 5);
    TWaveHeader headers[3] = {HeaderOver(memory, 0, 140), HeaderOver(memory, 140, 260),
                              HeaderOver(memory, 400, 100)};
    for (TWaveHeader& header : headers) {
        output->PrepareHeader(&header);
        ASSERT_EQ(output->Write(&header), WaveNoError);
    }
    Device.Advance(400);

    const QByteArray played = Device.TakeOutput();
    ASSERT_EQ(played.size(), 800);
    EXPECT_EQ(std::memcmp(played.constData(), memory.data(), memory.size()), 0);
    EXPECT_EQ(played.mid(500), QByteArray(300, char(128)));
    EXPECT_EQ(callback.Headers, (std::vector<TWaveHeader*>{&headers[0], &headers[1], &headers[2]}));
    EXPECT_EQ(callback.Messages, std::vector<uint32_t>(3, WaveOutDoneMessage));
    EXPECT_EQ(callback.Device, output.get());
    EXPECT_EQ(Device.OutputQueued(), 0);
}

// An output's latency delays everything it plays by the same frames, and it reports it; a
// buffer written while it ran dry plays at once.
TEST_P(WaveDeviceTest, OutputLatencyDelaysEverythingAlike) {
    Device.SetOutputLatencyFrames(30);
    const TWaveFormat format = RecordOf(wf11Khz_Mono_8Bit);
    TRecordingCallback callback;
    std::unique_ptr<TWaveOutDevice> output;
    ASSERT_EQ(Device.OpenOutput(output, format, &TRecordingCallback::Proc,
                                reinterpret_cast<uintptr_t>(&callback)),
              WaveNoError);
    std::vector<uint8_t> memory = NoisePcm(150, 6);
    TWaveHeader headers[3] = {HeaderOver(memory, 0, 50), HeaderOver(memory, 50, 50),
                              HeaderOver(memory, 100, 50)};
    for (TWaveHeader& header : headers)
        output->PrepareHeader(&header);
    EXPECT_EQ(output->LatencyFrames(), 30u);
    output->Write(&headers[0]);
    output->Write(&headers[1]);
    Device.Advance(200);
    output->Write(&headers[2]);
    Device.Advance(100);

    const QByteArray silence30(30, char(128));
    const QByteArray firstTwo(reinterpret_cast<const char*>(memory.data()), 100);
    const QByteArray third(reinterpret_cast<const char*>(memory.data() + 100), 50);
    const QByteArray expected = silence30 + firstTwo + QByteArray(70, char(128)) + silence30 +
                                third + QByteArray(20, char(128));
    EXPECT_EQ(Device.TakeOutput(), expected);
}

// Reset stops the device at once and returns every queued header, in order, the partly
// filled one with what it holds.
TEST_P(WaveDeviceTest, ResetReturnsEveryQueuedHeader) {
    const TWaveFormat format = RecordOf(wf11Khz_Stereo_16Bit);
    TRecordingTarget target;
    std::unique_ptr<TWaveInDevice> input;
    ASSERT_EQ(Device.OpenInput(input, format, &target), WaveNoError);
    std::vector<uint8_t> memory(400 * 3);
    std::vector<TWaveHeader> headers = QueueBuffers(*input, memory, 400);
    input->Start();
    Device.Advance(150, TPump::Never);
    EXPECT_EQ(input->UnprepareHeader(&headers[2]), WaveErrorStillPlaying);
    EXPECT_EQ(input->Close(), WaveErrorStillPlaying);
    EXPECT_EQ(input->Reset(), WaveNoError);
    HandleEvents();

    EXPECT_EQ(target.Headers, (std::vector<TWaveHeader*>{&headers[0], &headers[1], &headers[2]}));
    EXPECT_EQ(target.BytesRecorded, (std::vector<uint32_t>{400, 200, 0}));
    EXPECT_FALSE(Device.InputStarted());
    for (TWaveHeader& header : headers)
        EXPECT_EQ(input->UnprepareHeader(&header), WaveNoError);
    EXPECT_EQ(input->Close(), WaveNoError);
    EXPECT_FALSE(Device.InputOpen());
}

struct TRefusalCase {
    const char* Name;
    std::function<void(TVirtualWaveDevice&)> Fault;
    bool PrepareFirst;
    TWaveResult Prepare;
    TWaveResult Write;
};

// Every refusal comes back as the device's result; a header it refused is not held.
TEST_F(TVirtualDeviceTest, OutputRefusals) {
    const TRefusalCase cases[] = {
        {"unprepared", [](TVirtualWaveDevice&) {}, false, WaveNoError, WaveErrorUnprepared},
        {"write fault", [](TVirtualWaveDevice& d) { d.FailWrites(WaveErrorInvalidHandle); }, true,
         WaveNoError, WaveErrorInvalidHandle},
        {"prepare fault", [](TVirtualWaveDevice& d) { d.FailOutputPrepare(true); }, true,
         WaveErrorNoMemory, WaveErrorUnprepared},
        {"lost", [](TVirtualWaveDevice& d) { d.LoseDevice(); }, true, WaveNoError,
         WaveErrorNoDriver},
    };
    for (const TRefusalCase& refusal : cases) {
        TVirtualWaveDevice device;
        TRecordingCallback callback;
        std::unique_ptr<TWaveOutDevice> output;
        ASSERT_EQ(device.OpenOutput(output, RecordOf(wf11Khz_Mono_8Bit), &TRecordingCallback::Proc,
                                    reinterpret_cast<uintptr_t>(&callback)),
                  WaveNoError);
        refusal.Fault(device);
        std::vector<uint8_t> memory(10);
        TWaveHeader header = HeaderOver(memory, 0, 10);
        if (refusal.PrepareFirst) {
            EXPECT_EQ(output->PrepareHeader(&header), refusal.Prepare) << refusal.Name;
        }
        EXPECT_EQ(output->Write(&header), refusal.Write) << refusal.Name;
        EXPECT_EQ(device.OutputQueued(), 0) << refusal.Name;
        EXPECT_EQ(output->Close(), WaveNoError) << refusal.Name;
    }
}

TEST_F(TVirtualDeviceTest, OpenRefusals) {
    const TWaveFormat format = RecordOf(wf44Khz_Mono_16Bit);
    TRecordingTarget target;
    std::unique_ptr<TWaveInDevice> input;
    std::unique_ptr<TWaveOutDevice> output;
    TWaveFormat broken = format;
    broken.BlockAlign = 3;
    EXPECT_EQ(Device.OpenInput(input, broken, &target), WaveErrorBadFormat);
    EXPECT_EQ(Device.QueryOutput(broken), WaveErrorBadFormat);
    Device.RefuseFormat(true);
    EXPECT_EQ(Device.QueryOutput(format), WaveErrorBadFormat);
    EXPECT_EQ(Device.OpenInput(input, format, &target), WaveErrorBadFormat);
    Device.RefuseFormat(false);
    Device.FailInputOpen(true);
    Device.FailOutputOpen(true);
    EXPECT_EQ(Device.QueryOutput(format), WaveNoError);
    EXPECT_EQ(Device.OpenInput(input, format, &target), WaveErrorAllocated);
    EXPECT_EQ(Device.OpenOutput(output, format, &TRecordingCallback::Proc, 0), WaveErrorAllocated);
    EXPECT_FALSE(input);
    EXPECT_FALSE(output);
    EXPECT_FALSE(Device.InputOpen());
    EXPECT_FALSE(Device.OutputOpen());
}

// A lost device moves nothing more and takes no buffers, yet Reset still returns all it held.
TEST_F(TVirtualDeviceTest, LostDeviceStillReturnsItsBuffers) {
    TRecordingTarget target;
    std::unique_ptr<TWaveInDevice> input;
    ASSERT_EQ(Device.OpenInput(input, RecordOf(wf11Khz_Mono_8Bit), &target), WaveNoError);
    std::vector<uint8_t> memory(100);
    TWaveHeader headers[2] = {HeaderOver(memory, 0, 50), HeaderOver(memory, 50, 50)};
    input->PrepareHeader(&headers[0]);
    input->PrepareHeader(&headers[1]);
    input->AddBuffer(&headers[0]);
    input->Start();
    Device.LoseDevice();
    Device.Advance(100);
    EXPECT_TRUE(target.Headers.empty());
    EXPECT_EQ(input->AddBuffer(&headers[1]), WaveErrorNoDriver);
    input->Reset();
    HandleEvents();
    EXPECT_EQ(target.Headers, std::vector<TWaveHeader*>{&headers[0]});
    EXPECT_EQ(input->Close(), WaveNoError);
}

// A flowing stream that loses its device says so once, on the main thread, after the buffers
// it had returned; it takes no buffer after, and Reset still returns the rest. The other
// direction plays on.
TEST_F(TVirtualDeviceTest, LostDirectionReportsItsFaultOnce) {
    struct TLossCase {
        const char* Name;
        void (TVirtualWaveDevice::*Lose)();
        bool InputLost;
        bool OutputLost;
    };
    const TLossCase cases[] = {
        {"input", &TVirtualWaveDevice::LoseInput, true, false},
        {"output", &TVirtualWaveDevice::LoseOutput, false, true},
        {"card", &TVirtualWaveDevice::LoseDevice, true, true},
    };
    for (const TLossCase& loss : cases) {
        SCOPED_TRACE(loss.Name);
        TVirtualWaveDevice device;
        const TWaveFormat format = RecordOf(wf11Khz_Mono_8Bit);
        TRecordingTarget target;
        TRecordingCallback callback;
        std::unique_ptr<TWaveInDevice> input;
        std::unique_ptr<TWaveOutDevice> output;
        ASSERT_EQ(device.OpenInput(input, format, &target), WaveNoError);
        // A rate of its own, so that the input does not feed it: it plays what it is written.
        ASSERT_EQ(device.OpenOutput(output, RecordOf(wf22Khz_Mono_8Bit), &TRecordingCallback::Proc,
                                    reinterpret_cast<uintptr_t>(&callback)),
                  WaveNoError);
        std::vector<uint8_t> memory(400);
        std::vector<TWaveHeader> in = QueueBuffers(*input, memory, 100);
        TWaveHeader played[2] = {HeaderOver(memory, 0, 100), HeaderOver(memory, 100, 100)};
        for (TWaveHeader& header : played) {
            output->PrepareHeader(&header);
            ASSERT_EQ(output->Write(&header), WaveNoError);
        }
        input->Start();
        device.Advance(100);
        ASSERT_EQ(target.Headers.size(), 1u);
        ASSERT_EQ(callback.Headers.size(), 1u);

        (device.*loss.Lose)();
        EXPECT_EQ(target.Messages.size(), 1u) << "told outside the main thread's events";
        device.Advance(100);
        HandleEvents();
        const auto faults = [](const std::vector<uint32_t>& messages, uint32_t fault) {
            return std::count(messages.begin(), messages.end(), fault);
        };
        EXPECT_EQ(faults(target.Messages, WaveInFaultMessage), loss.InputLost ? 1 : 0);
        EXPECT_EQ(faults(callback.Messages, WaveOutFaultMessage), loss.OutputLost ? 1 : 0);
        EXPECT_EQ(input->Fault(), loss.InputLost ? WaveErrorNoDriver : WaveNoError);
        EXPECT_EQ(output->Fault(), loss.OutputLost ? WaveErrorNoDriver : WaveNoError);
        // The direction still there moved on by one buffer; the lost one by none.
        EXPECT_EQ(target.Headers.size(), loss.InputLost ? 1u : 2u);
        EXPECT_EQ(callback.Headers.size(), loss.OutputLost ? 1u : 2u);
        TWaveHeader again = HeaderOver(memory, 0, 100);
        output->PrepareHeader(&again);
        EXPECT_EQ(output->Write(&again), loss.OutputLost ? WaveErrorNoDriver : WaveNoError);

        input->Reset();
        output->Reset();
        HandleEvents();
        EXPECT_EQ(target.Headers.size(), 4u);
        EXPECT_EQ(faults(target.Messages, WaveInFaultMessage), loss.InputLost ? 1 : 0);
        EXPECT_EQ(faults(callback.Messages, WaveOutFaultMessage), loss.OutputLost ? 1 : 0);
        EXPECT_EQ(input->Close(), WaveNoError);
        EXPECT_EQ(output->Close(), WaveNoError);

        // Once the card is back, it opens and plays again.
        TRecordingTarget fresh;
        input.reset();
        EXPECT_EQ(device.OpenInput(input, format, &fresh),
                  loss.InputLost ? WaveErrorNoDriver : WaveNoError);
        input.reset();
        device.RestoreDevice();
        EXPECT_EQ(device.OpenInput(input, format, &fresh), WaveNoError);
        EXPECT_EQ(input->Fault(), WaveNoError);
    }
}

// The input counts each time it lost frames for want of a queued buffer; buffers queued in
// time count nothing.
TEST_F(TVirtualDeviceTest, InputCountsOverruns) {
    struct TOverrunCase {
        int BufferFrames;
        int Buffers;
        uint64_t Overruns;
    };
    // Periods of 50 over 300 frames: six device calls.
    const TOverrunCase cases[] = {
        {100, 3, 0},
        {100, 1, 4},
        // Half of the second call still fills the buffer, the rest is lost.
        {75, 1, 5},
        {100, 0, 6},
    };
    for (const TOverrunCase& row : cases) {
        TVirtualWaveDevice device;
        device.SetPeriodFrames(50);
        TRecordingTarget target;
        std::unique_ptr<TWaveInDevice> input;
        ASSERT_EQ(device.OpenInput(input, RecordOf(wf11Khz_Mono_8Bit), &target), WaveNoError);
        std::vector<uint8_t> memory(size_t(row.BufferFrames * row.Buffers));
        std::vector<TWaveHeader> headers = QueueBuffers(*input, memory, size_t(row.BufferFrames));
        input->Start();
        device.Advance(300, TPump::Never);
        EXPECT_EQ(input->Overruns(), row.Overruns) << row.BufferFrames << " x " << row.Buffers;
        input->Reset();
        HandleEvents();
    }
}

// The output counts running dry only in the middle of playing: not before its first buffer,
// not after a reset, and once per time it runs dry however long the gap.
TEST_F(TVirtualDeviceTest, OutputCountsUnderrunsWhenABufferWasDue) {
    Device.SetPeriodFrames(50);
    TRecordingCallback callback;
    std::unique_ptr<TWaveOutDevice> output;
    ASSERT_EQ(Device.OpenOutput(output, RecordOf(wf11Khz_Mono_8Bit), &TRecordingCallback::Proc,
                                reinterpret_cast<uintptr_t>(&callback)),
              WaveNoError);
    std::vector<uint8_t> memory = NoisePcm(100, 7);
    std::vector<TWaveHeader> headers(5, HeaderOver(memory, 0, 100));
    size_t written = 0;
    struct TStep {
        const char* What;
        int Writes;
        int Frames;
        bool Reset;
        uint64_t Underruns;
    };
    const TStep steps[] = {
        {"silence before the first buffer", 0, 200, false, 0},
        {"a buffer played to its very end", 1, 100, false, 0},
        {"then nothing to play", 0, 50, false, 1},
        {"a long gap is one underrun", 0, 200, false, 1},
        {"two buffers back to back", 2, 200, false, 1},
        {"dry again", 0, 50, false, 2},
        {"a buffer cut short by a reset", 1, 30, true, 2},
        {"silence after the reset", 0, 100, false, 2},
    };
    for (const TStep& step : steps) {
        for (int write = 0; write < step.Writes; ++write) {
            TWaveHeader& header = headers[written++];
            output->PrepareHeader(&header);
            ASSERT_EQ(output->Write(&header), WaveNoError) << step.What;
        }
        Device.Advance(step.Frames);
        if (step.Reset)
            output->Reset();
        HandleEvents();
        EXPECT_EQ(output->Underruns(), step.Underruns) << step.What;
    }
}

} // namespace
