#include "audio/helddelay.h"

#include "audio/committedmemory.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr std::array<char, 8> FileMagic{'L', 'A', 'G', 'D', 'E', 'L', 'A', 'Y'};
constexpr size_t PageBytes = 4096;

static_assert(sizeof(THeldHeader) <= PageBytes, "the header takes one page");
static_assert(std::atomic<uint64_t>::is_always_lock_free, "another process reads it");

// FNV-1a over the fields set once, from the magic up to the checksum.
uint64_t ChecksumOf(const THeldHeader& header) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&header);
    uint64_t hash = 14695981039346656037ull;
    for (size_t at = 0; at < offsetof(THeldHeader, Checksum); ++at)
        hash = (hash ^ bytes[at]) * 1099511628211ull;
    return hash;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

} // namespace

void THeldHeader::RecordBegin(int buffer, uint64_t first) {
    BufferFirst[size_t(buffer)].store(first, std::memory_order_release);
}

void THeldHeader::RecordMark(const THeldMark& mark) {
    const uint64_t count = Marks.load(std::memory_order_relaxed);
    TAtomicMark& slot = MarkRing[count % MarkCount];
    slot.Frame.store(mark.Frame, std::memory_order_relaxed);
    slot.DeviceTime.store(mark.DeviceTime, std::memory_order_relaxed);
    slot.CaptureNs.store(mark.CaptureNs, std::memory_order_relaxed);
    Marks.store(count + 1, std::memory_order_release);
}

int64_t THeldProgramme::CaptureNsOf(uint64_t frame, uint32_t rate) const {
    if (MarkCount == 0 || rate == 0)
        return 0;
    // Marks are kept oldest first; the newest at or before frame places it.
    const THeldMark* placing = &Marks[0];
    for (uint64_t index = 0; index < MarkCount && Marks[index].Frame <= frame; ++index)
        placing = &Marks[index];
    const int64_t offset = int64_t(frame) - int64_t(placing->Frame);
    return placing->CaptureNs + offset * 1000000000 / int64_t(rate);
}

THeldProgramme ReadHeld(const THeldHeader& header) {
    THeldProgramme held;
    held.Filled = header.Filled.load(std::memory_order_acquire);
    held.DumpedTo = header.DumpedTo.load(std::memory_order_acquire);
    const uint64_t marks = header.Marks.load(std::memory_order_acquire);
    const uint64_t kept = std::min(marks, THeldHeader::MarkCount);
    for (uint64_t index = marks - kept; index < marks; ++index) {
        const THeldHeader::TAtomicMark& mark = header.MarkRing[index % THeldHeader::MarkCount];
        held.Marks[held.MarkCount++] = {mark.Frame.load(), mark.DeviceTime.load(),
                                        mark.CaptureNs.load()};
    }
    for (int buffer = 0; buffer < THeldHeader::BufferCount; ++buffer) {
        const uint64_t first = header.BufferFirst[size_t(buffer)].load();
        if (first != THeldHeader::Unused && first < held.Filled)
            held.Stretches[size_t(held.StretchCount++)] = {buffer, first, 0};
    }
    std::sort(held.Stretches.begin(), held.Stretches.begin() + held.StretchCount,
              [](const auto& left, const auto& right) { return left.First < right.First; });
    for (int index = 0; index < held.StretchCount; ++index) {
        THeldProgramme::TStretch& stretch = held.Stretches[size_t(index)];
        const uint64_t end =
            index + 1 < held.StretchCount ? held.Stretches[size_t(index + 1)].First : held.Filled;
        stretch.Frames =
            uint32_t(std::min<uint64_t>(end - stretch.First, header.Layout.BufferFrames));
    }
    if (held.StretchCount > 0)
        held.NextBuffer =
            (held.Stretches[size_t(held.StretchCount - 1)].Buffer + 1) % THeldHeader::BufferCount;
    const auto reused =
        std::find_if(held.Stretches.begin(), held.Stretches.begin() + held.StretchCount,
                     [&held](const THeldProgramme::TStretch& stretch) {
                         return stretch.Buffer == held.NextBuffer;
                     });
    if (reused != held.Stretches.begin() + held.StretchCount) {
        held.Reused = *reused;
        std::move(reused + 1, held.Stretches.begin() + held.StretchCount, reused);
        --held.StretchCount;
    }
    if (held.Filled > 0)
        held.NewestNs = held.CaptureNsOf(held.Filled - 1, header.Layout.Rate);
    return held;
}

namespace {

std::string& Station() {
    static std::string station;
    return station;
}

} // namespace

void SetHeldStation(const std::string& station) {
    Station() = station;
}

const std::string& HeldStation() {
    return Station();
}

std::string BootId() {
    char id[40] = {};
    if (FILE* file = std::fopen("/proc/sys/kernel/random/boot_id", "re")) {
        if (!std::fgets(id, sizeof id, file))
            id[0] = '\0';
        std::fclose(file);
    }
    std::string text(id);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

int64_t BootTimeNs() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

THeldDelayFile::THeldDelayFile(THeldDelayFile&& other) noexcept {
    *this = std::move(other);
}

THeldDelayFile& THeldDelayFile::operator=(THeldDelayFile&& other) noexcept {
    if (this != &other) {
        Release();
        Bytes = std::exchange(other.Bytes, nullptr);
        Size = std::exchange(other.Size, 0);
        HeaderSize = std::exchange(other.HeaderSize, 0);
        BufferBytes = std::exchange(other.BufferBytes, 0);
        IsLocked = std::exchange(other.IsLocked, false);
        WasResumed = std::exchange(other.WasResumed, false);
        Lock = std::exchange(other.Lock, -1);
        WhyRefused = std::move(other.WhyRefused);
        Programme = other.Programme;
    }
    return *this;
}

THeldDelayFile::~THeldDelayFile() {
    Release();
}

std::string THeldDelayFile::PathFor(const std::string& station) {
    const char* runtime = std::getenv("RUNTIME_DIRECTORY");
    // A service with several runtime folders lists them; the first is its own.
    std::string folder = runtime && *runtime ? std::string(runtime) : std::string("/dev/shm");
    if (const size_t colon = folder.find(':'); colon != std::string::npos)
        folder.resize(colon);
    return folder + "/lagvane-" + station + ".delay";
}

size_t THeldDelayFile::BytesFor(const THeldLayout& layout) {
    const size_t frameBytes = size_t(layout.BytesPerSample) * layout.Channels;
    return PageBytes + size_t(THeldHeader::BufferCount) * layout.BufferFrames * frameBytes;
}

uint64_t THeldDelayFile::HeldBytesAt(const std::string& path) {
    struct stat file {};
    return stat(path.c_str(), &file) == 0 ? uint64_t(file.st_blocks) * 512 : 0;
}

uint64_t THeldDelayFile::RoomFor(const std::string& path) {
    struct statvfs folder {};
    if (statvfs(FolderOf(path).c_str(), &folder) != 0)
        return 0;
    return uint64_t(folder.f_bavail) * folder.f_frsize + HeldBytesAt(path);
}

std::string THeldDelayFile::RefusalOf(const THeldHeader& header, size_t fileBytes,
                                      const THeldLayout& layout, const std::string& bootId,
                                      int64_t nowNs) {
    if (fileBytes < PageBytes || header.Magic != FileMagic)
        return "not a held delay";
    if (header.Version != THeldHeader::CurrentVersion)
        return "made by another version";
    if (header.HeaderBytes != PageBytes || header.Checksum != ChecksumOf(header) ||
        fileBytes != BytesFor(header.Layout))
        return "damaged";
    if (std::string(header.BootId.data(), strnlen(header.BootId.data(), header.BootId.size())) !=
        bootId)
        return "from an earlier boot";
    if (header.Layout.Rate != layout.Rate ||
        header.Layout.BytesPerSample != layout.BytesPerSample ||
        header.Layout.Channels != layout.Channels)
        return "another format";
    if (header.Layout.DelayFrames != layout.DelayFrames ||
        header.Layout.BufferFrames != layout.BufferFrames)
        return "another delay";
    const THeldProgramme held = ReadHeld(header);
    if (held.Filled == 0 || held.MarkCount == 0 || held.StretchCount == 0)
        return "empty";
    for (uint64_t index = 0; index < held.MarkCount; ++index)
        if (held.Marks[index].Frame >= held.Filled ||
            (index > 0 && held.Marks[index].Frame < held.Marks[index - 1].Frame))
            return "damaged";
    if (held.NewestNs > nowNs || held.DumpedTo > held.Filled)
        return "damaged";
    const int64_t delayNs = int64_t(layout.DelayFrames) * 1000000000 / int64_t(layout.Rate);
    if (nowNs - held.NewestNs >= delayNs)
        return "older than the delay";
    return {};
}

THeldDelayFile THeldDelayFile::Take(const std::string& path, const THeldLayout& layout) {
    THeldDelayFile file;
    file.HeaderSize = PageBytes;
    file.BufferBytes = size_t(layout.BufferFrames) * layout.BytesPerSample * layout.Channels;
    file.Size = BytesFor(layout);
    // Two programs of one name would write into one delay: the second is refused.
    int descriptor = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor >= 0) {
        if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
            close(descriptor);
            file.WhyRefused = "in use by another Lagvane";
            file.Size = 0;
            return file;
        }
        struct stat status {};
        const size_t found = fstat(descriptor, &status) == 0 ? size_t(status.st_size) : 0;
        void* address = found >= PageBytes ? mmap(nullptr, found, PROT_READ | PROT_WRITE,
                                                  MAP_SHARED, descriptor, 0)
                                           : MAP_FAILED;
        file.WhyRefused = address == MAP_FAILED
                              ? std::string("not a held delay")
                              : RefusalOf(*static_cast<const THeldHeader*>(address), found, layout,
                                          BootId(), BootTimeNs());
        if (file.WhyRefused.empty()) {
            file.Bytes = static_cast<char*>(address);
            file.Lock = descriptor;
            file.WasResumed = true;
            file.Programme = ReadHeld(file.Header());
            file.IsLocked = CommitPages(file.Bytes, file.Size);
            return file;
        }
        if (address != MAP_FAILED)
            munmap(address, found);
        unlink(path.c_str());
        close(descriptor);
    }
    descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0 || flock(descriptor, LOCK_EX | LOCK_NB) != 0 ||
        posix_fallocate(descriptor, 0, off_t(file.Size)) != 0) {
        if (descriptor >= 0) {
            unlink(path.c_str());
            close(descriptor);
        }
        file.Size = 0;
        return file;
    }
    void* address = mmap(nullptr, file.Size, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
    if (address == MAP_FAILED) {
        unlink(path.c_str());
        close(descriptor);
        file.Size = 0;
        return file;
    }
    file.Bytes = static_cast<char*>(address);
    file.Lock = descriptor;
    auto* header = new (file.Bytes) THeldHeader;
    header->Magic = FileMagic;
    header->Version = THeldHeader::CurrentVersion;
    header->HeaderBytes = PageBytes;
    header->Layout = layout;
    const std::string boot = BootId();
    std::memcpy(header->BootId.data(), boot.data(),
                std::min(boot.size(), header->BootId.size() - 1));
    header->Checksum = ChecksumOf(*header);
    for (auto& first : header->BufferFirst)
        first.store(THeldHeader::Unused);
    // Every page committed now, while the operator is there to see a refusal.
    file.IsLocked = CommitPages(file.Bytes, file.Size);
    return file;
}

char* THeldDelayFile::Buffer(int index) const {
    return Bytes + HeaderSize + size_t(index) * BufferBytes;
}

void THeldDelayFile::Discard(const std::string& path) {
    unlink(path.c_str());
}

void THeldDelayFile::Release() {
    if (Bytes) {
        if (IsLocked)
            munlock(Bytes, Size);
        munmap(Bytes, Size);
    }
    if (Lock >= 0)
        close(Lock);
    Bytes = nullptr;
    Size = 0;
    Lock = -1;
    IsLocked = false;
}
