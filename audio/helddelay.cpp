#include "audio/helddelay.h"

#include "audio/committedmemory.h"
#include "support/servicenotify.h"

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
#include <vector>

namespace {

constexpr std::array<char, 8> FileMagic{'L', 'A', 'G', 'D', 'E', 'L', 'A', 'Y'};
constexpr size_t PageBytes = 4096;
constexpr int64_t Second = 1000000000;

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
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// lagvane-NAME.lock beside lagvane-NAME.delay.
std::string LockNameOf(const std::string& path) {
    const std::string name = NameOf(path);
    return name.substr(0, name.rfind('.')) + ".lock";
}

class TDescriptor {
public:
    explicit TDescriptor(int descriptor = -1) : Descriptor(descriptor) {}
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    ~TDescriptor() {
        if (Descriptor >= 0)
            close(Descriptor);
    }
    int Get() const { return Descriptor; }
    int Release() { return std::exchange(Descriptor, -1); }

private:
    int Descriptor;
};

// What we may remove: a file we made, with no other name.
bool IsOurs(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_uid == geteuid() && status.st_nlink == 1;
}

// Why a file found cannot be trusted to be ours alone: another user, or whoever holds another
// name of it, could have written it, and could write into the delay while it is on air.
std::string RefusalOfFile(const struct stat& status) {
    if (S_ISLNK(status.st_mode))
        return "a symbolic link";
    if (!S_ISREG(status.st_mode))
        return "not a regular file";
    if (status.st_uid != geteuid())
        return "owned by another user";
    if (status.st_nlink != 1)
        return "has other links";
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "writable by others";
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return "readable by others";
    return {};
}

// The folder, when nobody else can put anything in it; else nothing, and why.
int OpenFolder(const std::string& folder, std::string& refusal) {
    TDescriptor descriptor(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (descriptor.Get() < 0 || fstat(descriptor.Get(), &status) != 0)
        refusal = lstat(folder.c_str(), &status) == 0 && S_ISLNK(status.st_mode)
                      ? "in a folder that is a symbolic link"
                      : "in a folder that cannot be opened";
    else if (status.st_uid != geteuid())
        refusal = "in a folder owned by another user";
    else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        refusal = "in a folder others can write to";
    return refusal.empty() ? descriptor.Release() : -1;
}

// The station's lock file in folder, when it is ours; else nothing, and why.
int OpenLock(int folder, const std::string& path, std::string& refusal) {
    TDescriptor lock(openat(folder, LockNameOf(path).c_str(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat status {};
    if (lock.Get() < 0 || fstat(lock.Get(), &status) != 0)
        refusal = "its lock file cannot be opened";
    else if (!IsOurs(status))
        refusal = "its lock file is not ours";
    return refusal.empty() ? lock.Release() : -1;
}

// Moves a found file's bytes into made, a slice at a time, giving each slice's memory back once
// copied, so that a long delay never needs room for two. The header goes first: a run that ends
// half way leaves nothing that looks resumable. Why it failed: a short read is a file cut short.
std::string CopyOut(int found, int made, size_t bytes) {
    constexpr size_t SliceBytes = size_t(1) << 20;
    constexpr size_t SlicesBetweenTells = 256;
    std::vector<char> slice(std::min(SliceBytes, bytes));
    for (size_t done = 0, count = 1; done < bytes; done += slice.size(), ++count) {
        const size_t length = std::min(slice.size(), bytes - done);
        if (pread(found, slice.data(), length, off_t(done)) != ssize_t(length))
            return "damaged";
        if (pwrite(made, slice.data(), length, off_t(done)) != ssize_t(length))
            return std::strerror(errno);
        // A file system that cannot punch holes only takes room for both a moment longer.
        fallocate(found, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(done), off_t(length));
        if (count % SlicesBetweenTells == 0)
            TellServiceManagerStillWorking();
    }
    return {};
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

int64_t THeldProgramme::CaptureNsOf(uint64_t frame) const {
    if (MarkCount == 0 || Rate == 0)
        return 0;
    // Marks are kept oldest first; the newest at or before frame places it.
    const THeldMark* placing = &Marks[0];
    for (uint64_t index = 0; index < MarkCount && Marks[index].Frame <= frame; ++index)
        placing = &Marks[index];
    return placing->CaptureNs + NsOfFrames(int64_t(frame - placing->Frame), Rate);
}

THeldProgramme ReadHeld(const THeldHeader& header) {
    THeldProgramme held;
    held.Rate = header.Layout.Rate;
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
    return int64_t(now.tv_sec) * Second + now.tv_nsec;
}

int64_t NsOfFrames(int64_t frames, uint32_t rate) {
    return frames / rate * Second + frames % rate * Second / rate;
}

int64_t FramesOfNs(int64_t ns, uint32_t rate) {
    return ns / Second * rate + ns % Second * rate / Second;
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
        IsInUse = std::exchange(other.IsInUse, false);
        IsNotHeld = std::exchange(other.IsNotHeld, false);
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
    std::string folder;
    if (const char* runtime = std::getenv("RUNTIME_DIRECTORY"); runtime && *runtime) {
        folder = runtime;
        // A service with several runtime folders lists them; the first is its own.
        folder.resize(std::min(folder.find(':'), folder.size()));
    } else if (const char* user = std::getenv("XDG_RUNTIME_DIR"); user && *user)
        folder = user;
    else
        folder = "/dev/shm/lagvane-" + std::to_string(geteuid());
    return folder + "/lagvane-" + station + ".delay";
}

size_t THeldDelayFile::BytesFor(const THeldLayout& layout) {
    const size_t frameBytes = size_t(layout.BytesPerSample) * layout.Channels;
    return PageBytes + size_t(THeldHeader::BufferCount) * layout.BufferFrames * frameBytes;
}

uint64_t THeldDelayFile::HeldBytesAt(const std::string& path) {
    // Only a file of ours is replaced; another stays where it is.
    struct stat file {};
    return lstat(path.c_str(), &file) == 0 && IsOurs(file) ? uint64_t(file.st_blocks) * 512 : 0;
}

uint64_t THeldDelayFile::RoomFor(const std::string& path) {
    // The first run makes the folder: till then, the room is its parent's.
    const std::string folder = FolderOf(path);
    struct statvfs room {};
    if (statvfs(folder.c_str(), &room) != 0 && statvfs(FolderOf(folder).c_str(), &room) != 0)
        return 0;
    return uint64_t(room.f_bavail) * room.f_frsize + HeldBytesAt(path);
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
    // A boot's programme is at most what its clock ran for, with room to spare for a device
    // clock that runs fast: no frame count then comes near overflowing.
    const uint32_t rate = layout.Rate;
    if (held.Filled > 2 * uint64_t(FramesOfNs(nowNs, rate)) + rate || held.DumpedTo > held.Filled)
        return "damaged";
    for (uint64_t index = 0; index < held.MarkCount; ++index) {
        const THeldMark& mark = held.Marks[index];
        const THeldMark& before = held.Marks[index > 0 ? index - 1 : 0];
        const uint64_t end = index + 1 < held.MarkCount ? held.Marks[index + 1].Frame : held.Filled;
        // Every frame a mark places was captured this boot, by now, in the order written.
        if (mark.Frame >= held.Filled || mark.Frame < before.Frame || mark.CaptureNs < 0 ||
            mark.CaptureNs > nowNs || mark.CaptureNs < before.CaptureNs ||
            end - mark.Frame > uint64_t(FramesOfNs(nowNs - mark.CaptureNs, rate)) + 1)
            return "damaged";
    }
    if (nowNs - held.NewestNs() >= NsOfFrames(int64_t(layout.DelayFrames), rate))
        return "older than the delay";
    return {};
}

THeldDelayFile THeldDelayFile::Take(const std::string& path, const THeldLayout& layout) {
    THeldDelayFile file;
    const auto notHeld = [&file](std::string why) {
        file.WhyRefused = std::move(why);
        file.IsNotHeld = true;
        return std::move(file);
    };
    // Made here only when it is our own folder in /dev/shm; a service's is there already.
    mkdir(FolderOf(path).c_str(), 0700);
    std::string why;
    const TDescriptor folder(OpenFolder(FolderOf(path), why));
    if (folder.Get() < 0)
        return notHeld(why);
    // Locked before the delay's file is touched: of two programs of one name started together,
    // the second is refused here and cannot remove what the first made.
    TDescriptor lock(OpenLock(folder.Get(), path, why));
    if (lock.Get() < 0)
        return notHeld(why);
    if (flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
        file.WhyRefused = "in use by another Lagvane";
        file.IsInUse = true;
        return file;
    }
    // Kept even when nothing is held, so that a second program of the name is told.
    file.Lock = lock.Release();

    const size_t size = BytesFor(layout);
    const std::string name = NameOf(path);
    // O_NONBLOCK: a pipe planted in its place must not hang the start.
    TDescriptor found(
        openat(folder.Get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    const int openError = errno;
    struct stat status {};
    const bool exists =
        found.Get() >= 0 ? fstat(found.Get(), &status) == 0
                         : fstatat(folder.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists) {
        file.WhyRefused = RefusalOfFile(status);
        if (!IsOurs(status))
            return notHeld(file.WhyRefused);
        if (file.WhyRefused.empty() && found.Get() < 0)
            file.WhyRefused = std::strerror(openError);
        if (file.WhyRefused.empty()) {
            alignas(THeldHeader) char page[PageBytes];
            const bool whole = pread(found.Get(), page, PageBytes, 0) == ssize_t(PageBytes);
            file.WhyRefused =
                RefusalOf(*reinterpret_cast<const THeldHeader*>(page),
                          whole ? size_t(status.st_size) : 0, layout, BootId(), BootTimeNs());
        }
        // Ours, and of no use: gone before the new one takes its room.
        if (!file.WhyRefused.empty())
            unlinkat(folder.Get(), name.c_str(), 0);
    }

    // The delay is mapped from a file of our own making, whose only descriptor and mapping are
    // ours: the file found may still be open or mapped elsewhere, and whoever holds it could
    // cut it short under our mapping (a crash) or write into the delay on air.
    const std::string made = name + ".new";
    if (fstatat(folder.Get(), made.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && IsOurs(status))
        unlinkat(folder.Get(), made.c_str(), 0);
    TDescriptor descriptor(openat(folder.Get(), made.c_str(),
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (descriptor.Get() < 0)
        return notHeld(std::strerror(errno));
    bool resumed = exists && file.WhyRefused.empty();
    if (resumed) {
        file.WhyRefused = CopyOut(found.Get(), descriptor.Get(), size);
        resumed = file.WhyRefused.empty();
    }
    void* address =
        posix_fallocate(descriptor.Get(), 0, off_t(size)) == 0
            ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor.Get(), 0)
            : MAP_FAILED;
    if (address == MAP_FAILED) {
        unlinkat(folder.Get(), made.c_str(), 0);
        return file;
    }
    file.Bytes = static_cast<char*>(address);
    file.Size = size;
    file.HeaderSize = PageBytes;
    file.BufferBytes = size_t(layout.BufferFrames) * layout.BytesPerSample * layout.Channels;
    // What is resumed is what was checked, whatever became of the file found meanwhile.
    if (resumed) {
        file.WhyRefused = RefusalOf(file.Header(), size, layout, BootId(), BootTimeNs());
        resumed = file.WhyRefused.empty();
    }
    if (resumed) {
        file.WasResumed = true;
        file.Programme = ReadHeld(file.Header());
    } else {
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
    }
    if (renameat(folder.Get(), made.c_str(), folder.Get(), name.c_str()) != 0) {
        const std::string failure = std::strerror(errno);
        unlinkat(folder.Get(), made.c_str(), 0);
        munmap(std::exchange(file.Bytes, nullptr), std::exchange(file.Size, 0));
        return notHeld(failure);
    }
    // Every page committed now, while the operator is there to see a refusal.
    file.IsLocked = CommitPages(file.Bytes, file.Size);
    return file;
}

char* THeldDelayFile::Buffer(int index) const {
    return Bytes + HeaderSize + size_t(index) * BufferBytes;
}

void THeldDelayFile::Discard(const std::string& path) {
    std::string why;
    const TDescriptor folder(OpenFolder(FolderOf(path), why));
    if (folder.Get() < 0)
        return;
    // Not while another program of the name runs on it.
    const TDescriptor lock(OpenLock(folder.Get(), path, why));
    if (lock.Get() < 0 || flock(lock.Get(), LOCK_EX | LOCK_NB) != 0)
        return;
    const std::string name = NameOf(path);
    struct stat status {};
    if (fstatat(folder.Get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && IsOurs(status))
        unlinkat(folder.Get(), name.c_str(), 0);
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
