#pragma once

// The delay's buffers in a file on a memory file system, so that the programme they hold
// outlives the process: after a crash, a kill or a service restart the next run resumes it
// where it would have been on air. A header in front of the buffers says what a restarted
// program needs; the input's audio side keeps it current with plain stores, no system calls.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// What a held delay was made for; a run of another layout cannot resume it.
struct THeldLayout {
    uint32_t Rate = 0;
    uint32_t BytesPerSample = 0;
    uint32_t Channels = 0;
    uint32_t BufferFrames = 0;
    uint64_t DelayFrames = 0;
    bool operator==(const THeldLayout&) const = default;
};

// From programme frame Frame on, frame f was captured at DeviceTime + (f - Frame) on the
// input's clock and (f - Frame) frames after CaptureNs on CLOCK_BOOTTIME.
struct THeldMark {
    uint64_t Frame = 0;
    uint64_t DeviceTime = 0;
    int64_t CaptureNs = 0;
};

struct THeldHeader {
    static constexpr uint32_t CurrentVersion = 2;
    static constexpr int BufferCount = 4;
    static constexpr uint64_t MarkCount = 64;
    static constexpr uint64_t Unused = UINT64_MAX;

    // Set once when the file is made; the checksum covers them.
    std::array<char, 8> Magic{};
    uint32_t Version = 0;
    uint32_t HeaderBytes = 0;
    THeldLayout Layout;
    // /proc/sys/kernel/random/boot_id: CLOCK_BOOTTIME starts again at each boot.
    std::array<char, 40> BootId{};
    uint64_t Checksum = 0;

    // Kept by the input's audio side. Each buffer's first programme frame (Unused while it
    // has none), set before anything is written into it; the programme frames written; the
    // marks, each written before Marks counts it.
    std::array<std::atomic<uint64_t>, BufferCount> BufferFirst{};
    std::atomic<uint64_t> Filled{0};
    // Kept by the output's audio side: the frame the newest dump went on to. What came before
    // it was dumped or has aired, and no run that resumes this puts it on air again.
    std::atomic<uint64_t> DumpedTo{0};
    std::atomic<uint64_t> Marks{0};
    struct TAtomicMark {
        std::atomic<uint64_t> Frame{0};
        std::atomic<uint64_t> DeviceTime{0};
        std::atomic<int64_t> CaptureNs{0};
    };
    std::array<TAtomicMark, MarkCount> MarkRing{};

    // The audio side's records: a buffer begun, a jump of the input's clock, frames written.
    void RecordBegin(int buffer, uint64_t first);
    void RecordMark(const THeldMark& mark);
    void RecordFilled(uint64_t filled) { Filled.store(filled, std::memory_order_release); }
    void RecordDump(uint64_t to) { DumpedTo.store(to, std::memory_order_release); }
};

// What a held delay holds, read once from its header: up to four stretches of programme in
// the order they were written, and the marks that place them.
struct THeldProgramme {
    struct TStretch {
        int Buffer = 0;
        uint64_t First = 0;
        uint32_t Frames = 0;
    };
    std::array<TStretch, THeldHeader::BufferCount> Stretches{};
    int StretchCount = 0;
    // The buffer a run that resumes this fills first: the one after the newest held. Where
    // all four hold programme, the stretch in it is left out of Stretches and kept here, so
    // that what of it had not yet gone on air is counted lost.
    int NextBuffer = 0;
    TStretch Reused{};
    uint64_t Filled = 0;
    uint64_t DumpedTo = 0;
    std::array<THeldMark, THeldHeader::MarkCount> Marks{};
    uint64_t MarkCount = 0;
    uint32_t Rate = 0;

    // The capture time on CLOCK_BOOTTIME of a frame held, by the newest mark at or before it;
    // a frame older than every mark kept is placed by the oldest, no earlier than its truth.
    // Only for marks RefusalOf let through: others may overflow.
    int64_t CaptureNsOf(uint64_t frame) const;
    // When the newest frame held was captured.
    int64_t NewestNs() const { return Filled > 0 ? CaptureNsOf(Filled - 1) : 0; }
};

// The station whose runs hold their delay in its file; none (the buffers in plain memory, as
// tests keep them) until set.
void SetHeldStation(const std::string& station);
const std::string& HeldStation();

// This boot's id, and CLOCK_BOOTTIME now in nanoseconds.
std::string BootId();
int64_t BootTimeNs();

// Frames at rate as nanoseconds and back, rounded towards zero. Whole seconds first: frames
// times 10^9 alone overflows after 53 hours at 48 kHz.
int64_t NsOfFrames(int64_t frames, uint32_t rate);
int64_t FramesOfNs(int64_t ns, uint32_t rate);

// The file of a held delay. It stays when the process ends however it ends, and is removed
// only by Discard (an operator's Stop or Exit ends the delay on purpose).
class THeldDelayFile {
public:
    THeldDelayFile() = default;
    THeldDelayFile(THeldDelayFile&& other) noexcept;
    THeldDelayFile& operator=(THeldDelayFile&& other) noexcept;
    ~THeldDelayFile();

    // Where a station's delay is held: $RUNTIME_DIRECTORY when a service manager made one
    // (kept across restarts, removed when the service stops for good), else $XDG_RUNTIME_DIR,
    // else a folder of the user's own in /dev/shm. Never a folder others can write to: whoever
    // put a file of the name there first would have it resumed and aired.
    static std::string PathFor(const std::string& station);
    // Bytes the file of a layout takes: the header's page, then the four buffers.
    static size_t BytesFor(const THeldLayout& layout);
    // Memory a file already at path takes (it is reused or replaced), and the room the file
    // system that holds path has for one: what is free, plus that.
    static uint64_t HeldBytesAt(const std::string& path);
    static uint64_t RoomFor(const std::string& path);

    // Why a held header cannot be resumed by a run of layout at this boot and time (nothing
    // when it can): "another format", "another delay", "damaged", "from an earlier boot",
    // "older than the delay" and so on.
    static std::string RefusalOf(const THeldHeader& header, size_t fileBytes,
                                 const THeldLayout& layout, const std::string& bootId,
                                 int64_t nowNs);

    // The delay for layout at path: the held one when it can be resumed (Resumed() then says
    // so), else a new one, committed and locked as far as the limits allow; a held one of ours
    // that cannot be resumed is removed first, and Refusal() says why. Anything else at path,
    // or a folder others could write to, is left alone: nothing is held (NotHeld()), and
    // Refusal() says why. Data() is null then, when another program of the name holds it
    // (InUse()), and when the memory or the file cannot be had.
    static THeldDelayFile Take(const std::string& path, const THeldLayout& layout);

    char* Data() const { return Bytes; }
    char* Buffer(int index) const;
    THeldHeader& Header() const { return *reinterpret_cast<THeldHeader*>(Bytes); }
    bool Locked() const { return IsLocked; }
    bool Resumed() const { return WasResumed; }
    bool InUse() const { return IsInUse; }
    bool NotHeld() const { return IsNotHeld; }
    const std::string& Refusal() const { return WhyRefused; }
    // The programme a resumed file holds, read as it was found.
    const THeldProgramme& Held() const { return Programme; }

    // Removes the held delay at path, when it is ours and no program of the name runs on it.
    static void Discard(const std::string& path);

private:
    void Release();

    char* Bytes = nullptr;
    size_t Size = 0;
    size_t HeaderSize = 0;
    size_t BufferBytes = 0;
    bool IsLocked = false;
    bool WasResumed = false;
    bool IsInUse = false;
    bool IsNotHeld = false;
    // The station's lock file, locked for the life of the run so that no second program of
    // the name touches the delay.
    int Lock = -1;
    std::string WhyRefused;
    THeldProgramme Programme;
};

// Reads what a header holds.
THeldProgramme ReadHeld(const THeldHeader& header);
