#include "audio/committedmemory.h"

#include "support/servicenotify.h"

#include <algorithm>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

bool CommitPages(char* bytes, size_t size) {
    constexpr size_t SliceBytes = size_t(256) << 20;
    const auto page = size_t(sysconf(_SC_PAGESIZE));
    bool locked = true;
    for (size_t done = 0; done < size; done += SliceBytes) {
        char* slice = bytes + done;
        const size_t length = std::min(SliceBytes, size - done);
        // Kernels before 5.14 know no populate advice: a write of what is there faults a page in.
        if (madvise(slice, length, MADV_POPULATE_WRITE) != 0)
            for (size_t offset = 0; offset < length; offset += page) {
                volatile char* touched = slice + offset;
                *touched = *touched;
            }
        // Without the privilege or the limit the pages stay committed, only not pinned.
        locked = mlock(slice, length) == 0 && locked;
        TellServiceManagerStillWorking();
    }
    return locked;
}

TCommittedMemory::TCommittedMemory(TCommittedMemory&& other) noexcept
    : Bytes(std::exchange(other.Bytes, nullptr)), Size(std::exchange(other.Size, 0)),
      IsLocked(std::exchange(other.IsLocked, false)) {}

TCommittedMemory& TCommittedMemory::operator=(TCommittedMemory&& other) noexcept {
    if (this != &other) {
        Release();
        Bytes = std::exchange(other.Bytes, nullptr);
        Size = std::exchange(other.Size, 0);
        IsLocked = std::exchange(other.IsLocked, false);
    }
    return *this;
}

TCommittedMemory::~TCommittedMemory() {
    Release();
}

TCommittedMemory TCommittedMemory::Take(size_t bytes) {
    TCommittedMemory memory;
    // An empty mapping does not exist; one page stands in for a buffer of nothing.
    memory.Size = bytes > 0 ? bytes : 1;
    void* address =
        mmap(nullptr, memory.Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED)
        return {};
    memory.Bytes = static_cast<char*>(address);
    // Every page committed now, while the operator is there to see a refusal.
    memory.IsLocked = CommitPages(memory.Bytes, memory.Size);
    return memory;
}

void TCommittedMemory::Release() {
    if (!Bytes)
        return;
    if (IsLocked)
        munlock(Bytes, Size);
    munmap(Bytes, Size);
    Bytes = nullptr;
    Size = 0;
    IsLocked = false;
}
