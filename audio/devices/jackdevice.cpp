#include "audio/devices/jackdevice.h"

#include "audio/cycleload.h"
#include "audio/devices/callbackslots.h"
#include "audio/devices/frameclock.h"
#include "audio/devices/librarylog.h"
#include "audio/lockfreequeue.h"
#include "audio/midicontrol.h"
#include "audio/waveread.h"
#include "audio/wavestream.h"
#include "support/deadlinecall.h"
#include "support/log.h"

#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>
#include <vector>

namespace {

std::string& RequestedClientName() {
    static std::string name = "Lagvane";
    return name;
}

// Frames interleaved at a time, so that the scratch buffer is sized once whatever the period.
constexpr uint32_t ChunkFrames = 2048;
// Mono or stereo: the formats the program records.
constexpr size_t MaxChannels = 2;
// Control messages between two polls of the main thread: a desk sends a handful at a time.
constexpr size_t ControlQueueSize = 256;

using TDirection = TWaveStream::TDirection;

} // namespace

class TJackDriver;

// Our client on one server. Its callbacks run on JACK's threads and reach the drivers
// attached to it, one per direction, without locks: a driver is detached by clearing its slot
// and waiting out any callback that may still hold it.
//
// Its ports live as long as it does, so that the connections an operator makes survive Stop
// and Play. Every call that waits on the server runs with a deadline; a client whose call
// overran is abandoned, never freed, since the server may wake and call it yet.
class TJackClient {
public:
    // Null once closed.
    jack_client_t* Handle = nullptr;

    // Nothing when no server answers in time.
    static std::shared_ptr<TJackClient> Open() {
        // An open we gave up on may still finish: until it has, the server has not answered,
        // and a second client would be named "Lagvane-01".
        if (OpensGivenUp.load() > 0)
            return nullptr;
        auto* client = new TJackClient;
        auto outcome = std::make_shared<std::atomic<TOpenOutcome>>(TOpenOutcome::Waiting);
        const bool returned = CallWithDeadline("Opening the JACK client", [client, outcome] {
            const TOpenOutcome opened =
                client->Connect() ? TOpenOutcome::Opened : TOpenOutcome::Failed;
            TOpenOutcome waiting = TOpenOutcome::Waiting;
            if (outcome->compare_exchange_strong(waiting, opened))
                return;
            // Given up on: nobody else will close it, and while it lives it holds our name.
            client->Disconnect();
            delete client;
            OpensGivenUp.fetch_sub(1);
            Log("An abandoned JACK client open returned late; its client is closed",
                TLogLevel::Warning);
        });
        TOpenOutcome waiting = TOpenOutcome::Waiting;
        if (!returned && outcome->compare_exchange_strong(waiting, TOpenOutcome::GivenUp)) {
            // The worker closes and frees it, if the open ever returns.
            OpensGivenUp.fetch_add(1);
            return nullptr;
        }
        if (outcome->load() != TOpenOutcome::Opened) {
            delete client;
            return nullptr;
        }
        return std::shared_ptr<TJackClient>(client, &Release);
    }

    // A client whose server went away must be closed before any other client is opened:
    // libjack frees what is left of it then, and the handle would dangle. Returns at once
    // when the server has gone, and within the deadline when it hangs.
    void Close() {
        if (!Handle || Abandoned)
            return;
        jack_client_t* handle = std::exchange(Handle, nullptr);
        // The drivers still holding it make no more calls through it.
        IsDown.store(true);
        Abandoned = !CallWithDeadline("Closing the JACK client", [handle] {
            jack_deactivate(handle);
            jack_client_close(handle);
        });
    }

    // Gone, hung, closed, or given up on.
    bool Down() const { return IsDown.load() || Abandoned; }
    // Our process thread stalled while the server ran on. Whatever holds it, a client opened
    // afresh runs on a thread of its own; this one is closed, and its name goes to that.
    bool ThreadStalled() const { return OwnThreadStalled.load(); }
    // The server stopped calling us: make no more calls that would wait on it.
    void MarkDown() { IsDown.store(true); }
    uint32_t SampleRate() const { return jack_get_sample_rate(Handle); }

    // Main thread, once a stream's watchdog found our process callback silent: whether the
    // server ran cycles since our last one, and logs which of us stopped. JACK's frame clock
    // lives in memory it shares with us and moves on every cycle, whatever our own thread does;
    // reading it never waits on the server.
    bool RanWithoutUs(const char* direction, uint32_t sampleRate) {
        if (IsDown.load() || !Handle)
            return false;
        const uint32_t ran = jack_last_frame_time(Handle) - LastCycleTime.load();
        const uint64_t ms = uint64_t(ran) * 1000 / std::max<uint32_t>(sampleRate, 1);
        const std::string who = std::string("JACK ") + direction + ": ";
        // A frozen server is at most a cycle ahead of our last one; a stall of ours, a whole
        // watchdog span.
        if (ran <= 2 * jack_get_buffer_size(Handle) || ms < uint64_t(TWaveStream::WatchdogMs) / 2) {
            Log(who + "the server stopped calling us: its clock stands where our last cycle was",
                TLogLevel::Error);
            return false;
        }
        OwnThreadStalled.store(true);
        const char* where = InCycle.load() ? "did not return from its callback" : "was not run";
        Log(who + "the server ran " + std::to_string(ms) + " ms of cycles (" +
                std::to_string(Xruns()) + " xruns so far) while our process thread " + where +
                ": our own audio thread stalled",
            TLogLevel::Error);
        return true;
    }

    // Xruns since the client opened, each cycle counted once: the server told of one, our
    // last cycle ended past its deadline, or this one began later than the last one ended.
    uint64_t Xruns() const { return XrunCount.load(); }
    TCycleLoad Load() const { return Cycles.Load(); }

    // The ports of a direction, channels 0 to count - 1, registered on first use; nothing
    // when the server refuses or does not answer in time.
    std::vector<jack_port_t*> Ports(TDirection direction, int count) {
        auto& ports = direction == TDirection::Input ? InputPorts : OutputPorts;
        std::vector<jack_port_t*> result;
        for (int channel = 0; channel < count; ++channel) {
            jack_port_t*& port = ports[size_t(channel)];
            if (!port && !Down()) {
                const bool input = direction == TDirection::Input;
                const std::string name = (input ? "in_" : "out_") + std::to_string(channel);
                jack_client_t* handle = Handle;
                const std::optional<jack_port_t*> registered =
                    Result<jack_port_t*>("Registering a JACK port", [handle, name, input] {
                        return jack_port_register(handle, name.c_str(), JACK_DEFAULT_AUDIO_TYPE,
                                                  input ? JackPortIsInput : JackPortIsOutput, 0);
                    });
                if (!registered)
                    return {};
                port = *registered;
            }
            if (!port)
                return {};
            result.push_back(port);
        }
        return result;
    }

    // The default connections: a port with none is connected to the physical port of its
    // channel, if there is one; one the operator patched is left alone.
    void ConnectFreePorts(TDirection direction, const std::vector<jack_port_t*>& ports) {
        const bool input = direction == TDirection::Input;
        jack_client_t* handle = Handle;
        Result<bool>("Connecting the JACK ports", [handle, ports, input] {
            const char** physical =
                jack_get_ports(handle, nullptr, JACK_DEFAULT_AUDIO_TYPE,
                               JackPortIsPhysical | (input ? JackPortIsOutput : JackPortIsInput));
            if (!physical)
                return false;
            for (size_t channel = 0; channel < ports.size() && physical[channel]; ++channel) {
                if (jack_port_connected(ports[channel]) > 0)
                    continue;
                const char* own = jack_port_name(ports[channel]);
                jack_connect(handle, input ? physical[channel] : own,
                             input ? own : physical[channel]);
            }
            jack_free(physical);
            return true;
        });
    }

    // The drivers the process callback calls, one per direction.
    TCallbackSlots<TJackDriver> Drivers;

    // Main thread: the next message a desk sent to our control port.
    bool NextControl(TMidiControl& control) { return Controls.Pop(control); }

    // Main thread: the open output, which an input opened later feeds.
    TWaveStream* Output = nullptr;

private:
    enum class TOpenOutcome { Waiting, Opened, Failed, GivenUp };

    TJackClient() = default;

    // On the deadline worker: opens and activates our client; closes what it opened when that
    // fails, leaving Handle null.
    bool Connect() {
        jack_status_t status{};
        Handle = jack_client_open(RequestedClientName().c_str(), JackNoStartServer, &status);
        if (!Handle)
            return false;
        CycleHandle = Handle;
        // Before activation, so that the process thread sees it from its first cycle. A client
        // without it still plays: the desk's controls are no reason to stay off air.
        ControlPort =
            jack_port_register(Handle, ControlPortName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (!ControlPort)
            Log(std::string("JACK: could not register the MIDI port ") + ControlPortName,
                TLogLevel::Warning);
        jack_set_process_callback(Handle, &Process, this);
        jack_set_xrun_callback(Handle, &Xrun, this);
        jack_on_info_shutdown(Handle, &Shutdown, this);
        if (jack_activate(Handle) == 0) {
            LastCycleTime.store(jack_last_frame_time(Handle));
            return true;
        }
        Disconnect();
        return false;
    }

    // On the deadline worker.
    void Disconnect() {
        if (!Handle)
            return;
        jack_deactivate(Handle);
        jack_client_close(std::exchange(Handle, nullptr));
    }

    // The deleter of the shared client: an abandoned one is left to the library's threads.
    static void Release(TJackClient* client) {
        client->Close();
        if (!client->Abandoned)
            delete client;
    }

    // A call to the server with the deadline; one that overruns gives the client up.
    template <class T, class TCall> std::optional<T> Result(const char* what, TCall call) {
        if (Down())
            return std::nullopt;
        std::optional<T> result = ResultWithDeadline<T>(what, call);
        Abandoned = !result;
        return result;
    }

    template <class TCallback> void ForEachDriver(TCallback call) {
        // Input first: a cycle's capture is taken before its playback is written.
        Drivers.Serve([&call](TJackDriver* input, TJackDriver* output) {
            for (TJackDriver* driver : {input, output})
                if (driver)
                    call(*driver);
        });
    }

    static int Process(jack_nframes_t frames, void* argument);
    // Process thread: the cycle's control messages handed on to the main thread; a message
    // that finds the queue full is dropped, since a press that late would surprise anyone.
    void ReadControls(jack_nframes_t frames) {
        if (!ControlPort)
            return;
        void* buffer = jack_port_get_buffer(ControlPort, frames);
        const uint32_t count = jack_midi_get_event_count(buffer);
        for (uint32_t index = 0; index < count; ++index) {
            jack_midi_event_t event{};
            if (jack_midi_event_get(&event, buffer, index) != 0)
                continue;
            if (const std::optional<TMidiControl> control =
                    ParseMidiControl(event.buffer, event.size))
                Controls.Push(*control);
        }
    }
    static int Xrun(void* argument) {
        static_cast<TJackClient*>(argument)->ServerXruns.fetch_add(1);
        return 0;
    }
    // Process thread, once a cycle: the late cycles we saw, or one the server told of. A late
    // cycle of ours the server tells of too, a cycle or two after we saw it.
    void CountXruns(uint64_t lateCycles) {
        const bool told = ServerXruns.exchange(0) > 0;
        if (lateCycles > 0 || (told && CyclesSinceXrun > LateNoticeCycles)) {
            XrunCount.fetch_add(std::max<uint64_t>(lateCycles, 1));
            CyclesSinceXrun = 0;
        } else if (CyclesSinceXrun <= LateNoticeCycles) {
            ++CyclesSinceXrun;
        }
    }
    static void Shutdown(jack_status_t, const char*, void* argument);

    // The process thread's own copy of the handle, set before activation and never cleared:
    // Close clears Handle on the main thread while a last cycle may still be running.
    jack_client_t* CycleHandle = nullptr;
    // Opens abandoned at their deadline that have not returned yet.
    static inline std::atomic<int> OpensGivenUp{0};
    std::atomic<bool> IsDown{false};
    std::atomic<bool> OwnThreadStalled{false};
    // Main thread: a call to the server overran its deadline.
    bool Abandoned = false;
    std::array<jack_port_t*, MaxChannels> InputPorts{};
    std::array<jack_port_t*, MaxChannels> OutputPorts{};
    static constexpr const char* ControlPortName = "control";
    // Set before activation, never changed after.
    jack_port_t* ControlPort = nullptr;
    TLockFreeQueue<TMidiControl> Controls{ControlQueueSize};
    std::atomic<uint64_t> XrunCount{0};
    // Xrun notices from the server's notification thread, taken by the next cycle.
    std::atomic<uint64_t> ServerXruns{0};
    static constexpr uint32_t LateNoticeCycles = 2;
    TCycleTimer Cycles;
    // Process thread to main thread: the frame clock at our last cycle (at activation before
    // the first), and whether our callback is under way.
    std::atomic<uint32_t> LastCycleTime{0};
    std::atomic<bool> InCycle{false};
    // Process thread: JACK's frame clock, extended to 64 bits, and where the last cycle ended
    // on it.
    TFrameClock Clock;
    uint64_t CycleEnd = 0;
    bool HadCycle = false;
    // When our last cycle ended on the server's clock, and the time it took us.
    jack_time_t LastEnded = 0;
    jack_time_t LastMicros = 0;
    uint32_t CyclesSinceXrun = LateNoticeCycles + 1;
};

// One open device: the client's ports of its direction and the stream it feeds or drains.
class TJackDriver final : public TWaveDriver {
public:
    TJackDriver(std::shared_ptr<TJackClient> client, TWaveStream& stream, TDirection direction)
        : Client(std::move(client)), Stream(stream), Direction(direction),
          Channels(stream.Format().Channels), Interleaved(size_t(Channels) * ChunkFrames) {
        if (Direction == TDirection::Output)
            Client->Output = &Stream;
    }

    ~TJackDriver() override {
        StopFlow();
        if (Client->Output == &Stream)
            Client->Output = nullptr;
    }

    // The ports, connected where the operator left them free; false when the server refuses.
    bool Open() {
        Ports = Client->Ports(Direction, Channels);
        if (Ports.empty())
            return false;
        Client->ConnectFreePorts(Direction, Ports);
        return !Client->Down();
    }

    TWaveResult StartFlow() override {
        if (Client->Down())
            return WaveErrorNoDriver;
        if (Flowing)
            return WaveNoError;
        SeenXruns = Client->Xruns();
        Client->Drivers.Attach(Direction, this);
        Flowing = true;
        return WaveNoError;
    }

    void StopFlow() override {
        if (Flowing)
            Client->Drivers.Detach(Direction);
        Flowing = false;
    }

    TWaveResult QueueResult() const override {
        return Client->Down() ? WaveErrorNoDriver : WaveNoError;
    }
    TWaveResult Health() const override { return QueueResult(); }
    TCycleLoad CycleLoad() const override { return Client->Load(); }
    void NotAnswering() override {
        const char* direction = Direction == TDirection::Input ? "input" : "output";
        // The server is fine: say it was us. The stream keeps this first fault.
        if (Client->RanWithoutUs(direction, Stream.Format().SamplesPerSec))
            Stream.ReportFault(WaveErrorOwnThreadStalled);
        else
            Client->MarkDown();
    }

    // What the ports' connections add, as the server reports it: the most of any channel.
    uint32_t LatencyFrames() const override {
        if (Client->Down())
            return 0;
        uint32_t most = 0;
        for (jack_port_t* port : Ports) {
            jack_latency_range_t range{};
            jack_port_get_latency_range(
                port, Direction == TDirection::Input ? JackCaptureLatency : JackPlaybackLatency,
                &range);
            most = std::max<uint32_t>(most, range.max);
        }
        return most;
    }

    // JACK's process thread; time is the cycle's first frame on the client's 64-bit clock.
    void Process(jack_nframes_t frames, uint64_t time) {
        const uint64_t xruns = Client->Xruns();
        if (xruns != SeenXruns) {
            SeenXruns = xruns;
            // One xrun, told once: by the input when there is one.
            if (Direction == TDirection::Input)
                Stream.HostOverflow();
            else if (!Client->Drivers.Attached(TDirection::Input))
                Stream.HostUnderflow();
        }
        std::array<float*, MaxChannels> buffers{};
        for (int channel = 0; channel < Channels; ++channel)
            buffers[size_t(channel)] =
                static_cast<float*>(jack_port_get_buffer(Ports[size_t(channel)], frames));
        const size_t channels = size_t(Channels);
        for (uint32_t done = 0; done < frames;) {
            const uint32_t count = std::min(frames - done, ChunkFrames);
            if (Direction == TDirection::Input) {
                for (size_t frame = 0; frame < count; ++frame)
                    for (size_t channel = 0; channel < channels; ++channel)
                        Interleaved[frame * channels + channel] = buffers[channel][done + frame];
                Stream.Capture(Interleaved.data(), count, time + done);
            } else {
                Stream.Play(Interleaved.data(), count, time + done);
                for (size_t frame = 0; frame < count; ++frame)
                    for (size_t channel = 0; channel < channels; ++channel)
                        buffers[channel][done + frame] = Interleaved[frame * channels + channel];
            }
            done += count;
        }
    }

    void Lost() { Stream.ReportFault(WaveErrorNoDriver); }

private:
    const std::shared_ptr<TJackClient> Client;
    TWaveStream& Stream;
    const TDirection Direction;
    const int Channels;
    std::vector<jack_port_t*> Ports;
    // Process thread only.
    std::vector<float> Interleaved;
    uint64_t SeenXruns = 0;
    bool Flowing = false;
};

int TJackClient::Process(jack_nframes_t frames, void* argument) {
    auto* client = static_cast<TJackClient*>(argument);
    const jack_time_t began = jack_get_time();
    client->InCycle.store(true);
    jack_client_t* handle = client->CycleHandle;
    const jack_nframes_t frameTime = jack_last_frame_time(handle);
    client->LastCycleTime.store(frameTime);
    const uint64_t time = client->Clock.Extend(frameTime);
    if (client->HadCycle) {
        // Our last cycle was late if it ended after the server began this one: the server
        // then played the output we had not finished, and calls it an xrun of ours. A cycle
        // that does not begin where the last ended means cycles went by without us.
        jack_nframes_t cycleFrames = 0;
        jack_time_t cycleStart = 0;
        jack_time_t nextStart = 0;
        float periodMicros = 0.0f;
        const bool stamped =
            jack_get_cycle_times(handle, &cycleFrames, &cycleStart, &nextStart, &periodMicros) == 0;
        // Each cycle the server began before our last call was done found ours unfinished: the
        // one it ran into, and those the server then ran without us. Cycles the server itself
        // skipped began after ours ended: such a jump counts once.
        const uint64_t missed = time > client->CycleEnd ? (time - client->CycleEnd) /
                                                              std::max<jack_nframes_t>(frames, 1)
                                                        : 0;
        uint64_t lateCycles = 0;
        if (stamped && client->LastEnded > cycleStart)
            lateCycles = missed + 1;
        else if (stamped && periodMicros > 0.0f)
            lateCycles = missed - std::min<uint64_t>(
                                      missed, uint64_t(double(cycleStart - client->LastEnded) /
                                                       double(periodMicros)));
        if (lateCycles == 0 && time != client->CycleEnd)
            lateCycles = 1;
        client->CountXruns(lateCycles);
        client->Cycles.Record(client->LastMicros, lateCycles, uint32_t(periodMicros));
    }
    // A server that finds our cycle unfinished starts its cycle again, and a call of ours that
    // began late has read the new cycle's time already: then two calls come for one time. The
    // output keeps what the first played, which the server has yet to read; taken again, the
    // programme would hold a period twice and everything after it would air a period late.
    const bool repeated = client->HadCycle && time + frames <= client->CycleEnd;
    client->HadCycle = true;
    if (!repeated) {
        client->CycleEnd = time + frames;
        client->ReadControls(frames);
        client->ForEachDriver(
            [frames, time](TJackDriver& driver) { driver.Process(frames, time); });
    }
    client->LastEnded = jack_get_time();
    client->LastMicros = client->LastEnded - began;
    client->InCycle.store(false);
    return 0;
}

void TJackClient::Shutdown(jack_status_t, const char*, void* argument) {
    auto* client = static_cast<TJackClient*>(argument);
    client->IsDown.store(true);
    client->ForEachDriver([](TJackDriver& driver) { driver.Lost(); });
}

namespace {

template <class TDevice>
TWaveResult OpenStream(const std::shared_ptr<TJackClient>& client, TDirection direction,
                       std::unique_ptr<TDevice>& device, const TWaveFormat& format,
                       TWaveStream::TDelivery delivery) {
    return OpenRealDevice(
        device, direction, format, TWaveStream::TSamples::Float, std::move(delivery),
        [&](TWaveStream& stream) -> std::unique_ptr<TWaveDriver> {
            auto driver = std::make_unique<TJackDriver>(client, stream, direction);
            if (!driver->Open())
                return nullptr;
            return driver;
        });
}

} // namespace

TJackDeviceFactory::TJackDeviceFactory() {
    jack_set_error_function(&LogJackMessage);
    jack_set_info_function(&LogJackMessage);
}

TJackDeviceFactory::~TJackDeviceFactory() = default;

bool TJackDeviceFactory::Available() {
    if (Client && !Client->Down() && !Client->ThreadStalled())
        return true;
    // Devices still open on a client whose server went away, or that is replaced, keep the
    // object, and never call JACK through it again.
    if (Client) {
        if (!Client->Down())
            Log("JACK: our client's process thread stalled; it is closed and opened afresh",
                TLogLevel::Warning);
        Client->Close();
    }
    Client = TJackClient::Open();
    return Client != nullptr;
}

void SetJackClientName(const std::string& name) {
    RequestedClientName() = name;
}

const std::string& JackClientNameRequested() {
    return RequestedClientName();
}

bool TJackDeviceFactory::NextControl(TMidiControl& control) {
    return Client && Client->NextControl(control);
}

std::string TJackDeviceFactory::ClientName() const {
    return Client && Client->Handle ? jack_get_client_name(Client->Handle) : std::string();
}

bool TJackDeviceFactory::Fits(const TWaveFormat& format) const {
    // JACK runs every client at the server's rate and does not resample.
    return IsPcmFormat(format) && format.Channels <= MaxChannels &&
           format.SamplesPerSec == Client->SampleRate();
}

TWaveResult TJackDeviceFactory::Opens(const TWaveFormat& format) {
    if (!Available())
        return WaveErrorNoDriver;
    return Fits(format) ? WaveNoError : WaveErrorBadFormat;
}

int TJackDeviceFactory::InputDeviceCount() {
    return Available() ? 1 : 0;
}

uint32_t TJackDeviceFactory::InputFormats(int device) {
    if (device != 0 || !Available())
        return 0;
    return FormatCapabilities([this](const TWaveFormat& format) { return Fits(format); });
}

TWaveResult TJackDeviceFactory::OpenInput(std::unique_ptr<TWaveInDevice>& device,
                                          const TWaveFormat& format, TWaveInTarget* target) {
    if (const TWaveResult result = Opens(format))
        return result;
    if (const TWaveResult result =
            OpenStream(Client, TDirection::Input, device, format, TWaveStream::ToTarget(target)))
        return result;
    // Both directions run in the client's one process callback, input first.
    if (TWaveStream* output = Client->Output; output && SameFormat(output->Format(), format))
        TWaveStream::Link(static_cast<TWaveStream&>(*device), *output,
                          THandOver::TTiming::SharedClock);
    return WaveNoError;
}

uint32_t TJackDeviceFactory::FixedRate() {
    return Available() ? Client->SampleRate() : 0;
}

TWaveResult TJackDeviceFactory::QueryOutput(const TWaveFormat& format) {
    return Opens(format);
}

TWaveResult TJackDeviceFactory::OpenOutput(std::unique_ptr<TWaveOutDevice>& device,
                                           const TWaveFormat& format, TWaveOutProc callback,
                                           uintptr_t instance) {
    if (const TWaveResult result = Opens(format))
        return result;
    return OpenStream(Client, TDirection::Output, device, format,
                      TWaveStream::ToCallback(callback, instance));
}
