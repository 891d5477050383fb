// Loaded with LD_PRELOAD into a JACK test: the process sees JACK's 32-bit frame clock moved so
// that it wraps a couple of seconds after the first reading, where a real server takes a day.
// The first reading in the process, on whatever thread, fixes the offset for every later one.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <jack/jack.h>
#include <stdatomic.h>
#include <stdint.h>

// Two seconds at 48 kHz from the first reading to the wrap.
#define LEAD_FRAMES 96000u
#define UNSET UINT64_MAX

// Lets a test make sure it runs with the shim loaded.
int LagvaneFrameClockShim = 1;

static _Atomic uint64_t Offset = UNSET;

static jack_nframes_t Shifted(jack_nframes_t real) {
    uint64_t offset = atomic_load(&Offset);
    if (offset == UNSET) {
        // Unsigned arithmetic: real + offset == 2^32 - LEAD_FRAMES.
        const uint64_t wanted = (uint32_t)(0u - LEAD_FRAMES - real);
        if (atomic_compare_exchange_strong(&Offset, &offset, wanted))
            offset = wanted;
    }
    return (jack_nframes_t)(real + (uint32_t)offset);
}

// Looked up once at load time: dlsym takes a lock, which the process thread must not.
static jack_nframes_t (*RealLastFrameTime)(const jack_client_t*);
static jack_nframes_t (*RealFrameTime)(const jack_client_t*);
static int (*RealGetCycleTimes)(const jack_client_t*, jack_nframes_t*, jack_time_t*, jack_time_t*,
                                float*);

__attribute__((constructor)) static void FindRealFunctions(void) {
    RealLastFrameTime = (__typeof__(RealLastFrameTime))dlsym(RTLD_NEXT, "jack_last_frame_time");
    RealFrameTime = (__typeof__(RealFrameTime))dlsym(RTLD_NEXT, "jack_frame_time");
    RealGetCycleTimes = (__typeof__(RealGetCycleTimes))dlsym(RTLD_NEXT, "jack_get_cycle_times");
}

jack_nframes_t jack_last_frame_time(const jack_client_t* client) {
    return Shifted(RealLastFrameTime(client));
}

jack_nframes_t jack_frame_time(const jack_client_t* client) {
    return Shifted(RealFrameTime(client));
}

int jack_get_cycle_times(const jack_client_t* client, jack_nframes_t* current_frames,
                         jack_time_t* current_usecs, jack_time_t* next_usecs, float* period_usecs) {
    const int result =
        RealGetCycleTimes(client, current_frames, current_usecs, next_usecs, period_usecs);
    if (result == 0 && current_frames)
        *current_frames = Shifted(*current_frames);
    return result;
}
