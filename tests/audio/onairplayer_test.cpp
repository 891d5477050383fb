#include "tests/audio/linkedrun.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>

// Counting the allocator's calls takes the program's own malloc; the sanitizers bring theirs.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define LAGVANE_COUNT_ALLOCATIONS 1

namespace {

thread_local bool Watching = false;
std::atomic<int> WatchedAllocations{0};

void CountAllocation() {
    if (Watching)
        WatchedAllocations.fetch_add(1);
}

} // namespace

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* memory, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

void* malloc(size_t size) {
    CountAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    CountAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* memory, size_t size) {
    CountAllocation();
    return __libc_realloc(memory, size);
}
void* memalign(size_t alignment, size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    CountAllocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** memory, size_t alignment, size_t size) {
    CountAllocation();
    *memory = __libc_memalign(alignment, size);
    return *memory ? 0 : ENOMEM;
}
}
#endif

namespace {

constexpr uint32_t Rate = 48000;
constexpr TWaveFormat Stereo16{WaveFormatPcm, 2, Rate, Rate * 4, 4, 16, 0};

// From the first cycle on, through two dumps, their crossfades, the stretcher's restarts and
// the build-up back to plain playing, the audio side never calls the allocator.
TEST(OnAirPlayerTest, DumpAndBuildUpNeverAllocateOnTheAudioSide) {
#ifndef LAGVANE_COUNT_ALLOCATIONS
    GTEST_SKIP() << "a sanitizer's allocator cannot be counted";
#else
    TLinkedRun run(Stereo16, Rate / 2, TBuildUp{10.0, false});
    THandOver& link = run.Link;
    int cycles = 0;
    bool builtUp = false;
    Watching = true;
    for (; cycles < 8000 && !builtUp; ++cycles) {
        // Half a second in, a quarter of a second dumped; again a second into the build-up.
        if (cycles == 94 || cycles == 282)
            link.DumpRequest.store(Rate / 4);
        run.Cycle(256);
        builtUp = cycles > 282 && !link.BuildingUp.load();
    }
    Watching = false;
    EXPECT_TRUE(builtUp) << "the build-up never ended";
    EXPECT_EQ(link.DumpedFrames.load(), Rate / 2);
    EXPECT_EQ(WatchedAllocations.load(), 0);
#endif
}

} // namespace
