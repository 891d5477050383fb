#pragma once

#include <cstddef>

// Memory for the delay buffers, taken whole before a run starts: every page is committed at
// once (so nothing is paged in, or killed for memory, while on air) and locked in memory when
// the process's limit allows it.
// Commits every page of the range and locks it when the limit allows, a slice at a time, telling
// a service manager between slices that the program is alive: the hours of a long delay take
// longer to commit than its watchdog or start timeout waits. Leaves what the pages hold as it is.
// Whether all of it is locked.
bool CommitPages(char* bytes, size_t size);

class TCommittedMemory {
public:
    TCommittedMemory() = default;
    TCommittedMemory(TCommittedMemory&& other) noexcept;
    TCommittedMemory& operator=(TCommittedMemory&& other) noexcept;
    ~TCommittedMemory();

    // Nothing (Data() null) when the memory cannot be had.
    static TCommittedMemory Take(size_t bytes);

    char* Data() const { return Bytes; }
    bool Locked() const { return IsLocked; }

private:
    void Release();

    char* Bytes = nullptr;
    size_t Size = 0;
    bool IsLocked = false;
};
