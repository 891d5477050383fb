#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

typedef struct _jack_client jack_client_t;
typedef struct _jack_port jack_port_t;

// The end-to-end tests' JACK servers, started by the e2e fixture: one per sample rate.
const char* TestJackServerName(int sampleRate);
// Points this process's JACK clients at the test server of that rate and
// forbids starting a server. Call before anything in the process opens a JACK client.
void UseJackServer(int sampleRate);

// Handles the main thread's events until done says so or the limit passes; true when done.
bool HandleEventsUntil(const std::function<bool()>& done, qint64 limitMs);

// A JACK server of one test's own, which the test may stop under its clients (it removes what
// they leave behind); stopped at the latest when destroyed.
class TPrivateJackServer {
public:
    // A realtime one runs as studios run it (jackd -R) at 256 frames a period.
    explicit TPrivateJackServer(int sampleRate, bool realtime = false);
    ~TPrivateJackServer();
    bool Running() const { return IsRunning; }
    // Points this process's JACK clients at it, as UseJackServer does.
    void Use() const;
    // Starts it (again); true once it answers.
    bool Start();
    void Stop();
    // Freezes it with SIGSTOP, as a server that no longer answers; Resume continues it.
    void Suspend();
    void Resume();
    // What jackd has logged since it started.
    QString Log() const;

private:
    QByteArray ServerAndRate;
    bool IsRunning = false;
};

// A JACK client of our own that plays a known signal into another client's input ports and
// records that client's output ports, sample for sample in the same process cycles, so that the
// recording's offset from the signal is the other client's delay in frames.
class TJackTestClient {
public:
    // What the signal and the recording go by: jackd's frame clock, which moves on over the
    // cycles its driver skips as the program's does; or the client's own cycles, for PipeWire,
    // whose frame clock also steps where no audio was skipped (a node moved to another driver).
    enum class TClock { Server, OwnCycles };

    // Opens the client on the current server; never starts one.
    TJackTestClient(const char* name, int channels, TClock clock = TClock::Server);
    ~TJackTestClient();
    TJackTestClient(const TJackTestClient&) = delete;
    TJackTestClient& operator=(const TJackTestClient&) = delete;

    bool IsOpen() const { return Client != nullptr; }
    QString Error() const { return ErrorText; }
    int SampleRate() const;
    int PeriodFrames() const;
    // JACK's frame clock now, as this process sees it.
    uint32_t FrameTime() const;

    // Plays signal (interleaved, one sample per channel and frame) once from activation, then
    // silence, and records as many frames as the signal has, both on the clock chosen.
    // Connects our outputs to
    // "<target>:in_N" and "<target>:out_N" to our inputs, and cuts every other connection to the
    // target's inputs so that only our signal reaches them.
    bool Run(const std::vector<float>& signal, const QString& target);
    // The same with the other side's ports named: our output n plays into targetInputs[n] and
    // targetOutputs[n] feeds our input n.
    bool Run(const std::vector<float>& signal, const QStringList& targetInputs,
             const QStringList& targetOutputs);
    // Records these ports as well, in the same cycles, into AlsoRecorded: before Run.
    bool AlsoRecord(const QStringList& sources);
    // Connects to a target again (one that came back), as Run does.
    bool ConnectTo(const QString& target);
    // Frames played and recorded so far.
    size_t Frames() const { return Position.load(std::memory_order_acquire); }
    // A skip of the server's clock the client followed: the signal frames from At on were
    // never played, and the recording's frames from At on never recorded.
    struct TSkip {
        size_t At = 0;
        size_t Frames = 0;
    };
    // The skips so far, in order; the first MostSkips only.
    std::vector<TSkip> Skips() const;
    // Xruns the server has told every client of so far, whoever caused them. One it tells
    // while a client is gone unannounced (killed mid-cycle) is that client's: its ports carried
    // its last cycle once more.
    uint64_t ServerXruns() const { return XrunCount.load(std::memory_order_acquire); }
    bool Finished() const { return Frames() >= Recording.size() / size_t(Channels); }
    // What arrived, interleaved; complete once Finished.
    const std::vector<float>& Recorded() const { return Recording; }
    const std::vector<float>& AlsoRecorded() const { return AlsoRecording; }
    // Deactivates the client: nothing plays or records after it returns.
    void Close();

private:
    static int Process(unsigned frames, void* client);
    static int CountXrun(void* client);
    QStringList TargetPorts(const QString& target, const char* direction) const;
    bool ConnectTo(const QStringList& targetInputs, const QStringList& targetOutputs);
    bool Connect(const QString& source, const QString& destination);

    jack_client_t* Client = nullptr;
    int Channels;
    QString ErrorText;
    std::vector<jack_port_t*> Outputs;
    std::vector<jack_port_t*> Inputs;
    std::vector<float> Signal;
    std::vector<float> Recording;
    QStringList AlsoSources;
    std::vector<jack_port_t*> AlsoInputs;
    std::vector<float> AlsoRecording;
    std::atomic<size_t> Position{0};
    const TClock Clock;
    // Process thread: the server's frame time of the signal's first frame.
    uint32_t Origin = 0;
    bool Clocked = false;
    static constexpr size_t MostSkips = 64;
    std::array<TSkip, MostSkips> SkipLog{};
    std::atomic<size_t> SkipCount{0};
    std::atomic<uint64_t> XrunCount{0};
};

// A signal on the sample grid of a PCM format (8 or 16 bits per sample) with no zero sample, so
// that the first sound in a recording marks where the signal starts, and random enough that
// any window of a few dozen frames is unique.
std::vector<float> GridSignal(size_t frames, int channels, int bytesPerSample);

// Where a recording holds a signal: the first frame with sound on every channel, which signal
// frame that is, and from there how many frames match the signal bit for bit in a row.
struct TDelayedSignal {
    bool Found = false;
    size_t FirstSound = 0;
    // Recording frame minus signal frame at the first sound, and at the recording's end.
    int64_t Delay = 0;
    int64_t EndDelay = -1;
    size_t ExactFrames = 0;
};
TDelayedSignal FindDelayedSignal(const std::vector<float>& signal,
                                 const std::vector<float>& recorded, int channels);

// Writes a settings file (the one Lagvane reads from a configuration folder unless named) into
// folder; false if it cannot.
bool WriteSettingsFile(const QString& folder, const QByteArray& text,
                       const QString& fileName = QStringLiteral("Lagvane.ini"));

// Waits until a client has the input and output ports of every channel.
bool WaitForPorts(const QByteArray& client, int channels, int timeoutMs);

// A loopback TCP port free right now, for a remote control to take.
quint16 FreePort();
// What the program's remote control on port answers to a request; empty when nothing answers.
QJsonObject RemoteRequest(quint16 port, const char* method, const char* path);
// What it says of the run (GET /api/status).
QJsonObject RemoteStatus(quint16 port);

// Every frame of a recording with sound on all channels, matched bit for bit to the signal
// frame it is, wherever the signal jumps: the least and the greatest lag (recording frame minus
// signal frame), where the least was, and the frames with sound that are no signal frame. Given
// the delay the recording should hold, also the stretches of frames at another lag: how many,
// and the longest from its first frame to its last.
struct TSignalLags {
    size_t Matched = 0;
    size_t Unmatched = 0;
    int64_t Least = 0;
    int64_t Most = 0;
    size_t LeastAt = 0;
    size_t MostAt = 0;
    size_t Stretches = 0;
    size_t LongestStretch = 0;
    // The first frame with sound that is no signal frame.
    size_t UnmatchedAt = 0;
    // Where the recording departs from what it held before: each frame at a lag other than the
    // last frame matched, and the first of each run of frames that are no signal frame.
    std::vector<size_t> Departures;
};
TSignalLags MatchSignal(const std::vector<float>& signal, const std::vector<float>& recorded,
                        int channels, int64_t delay = -1);

// Why a recording does not hold the signal at delay as a run with that many xruns must (empty
// when it does). An xrun, a cycle of ours that came late or one the server skipped, may air the
// frames after it up to a period late (a skip: by the frames the probe saw skipped), until the
// input's own gap of that cycle reaches the output a delay later: never early, nothing but the
// signal, and back on the delay after.
std::string DelayKeptThroughXruns(const std::vector<float>& signal,
                                  const std::vector<float>& recorded, int channels, int64_t delay,
                                  int periodFrames, uint64_t xruns, size_t skippedFrames = 0);
