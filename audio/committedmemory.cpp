#include "audio/committedmemory.h"

#include <sys/mman.h>
#include <utility>

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
    // MAP_POPULATE commits every page now, while the operator is there to see a refusal.
    void* address = mmap(nullptr, memory.Size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (address == MAP_FAILED)
        return {};
    memory.Bytes = static_cast<char*>(address);
    // Without the privilege or the limit the pages stay committed, only not pinned.
    memory.IsLocked = mlock(address, memory.Size) == 0;
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
