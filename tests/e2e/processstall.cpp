#include "tests/e2e/processstall.h"

#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <thread>

namespace {

std::atomic<unsigned> StallMs{0};
JackProcessCallback LagvaneCallback = nullptr;

int StallingProcess(jack_nframes_t frames, void* argument) {
    if (const unsigned ms = StallMs.exchange(0))
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return LagvaneCallback(frames, argument);
}

} // namespace

void StallLagvaneProcessThread(unsigned ms) {
    StallMs.store(ms);
}

// Defined in the executable, it takes the place of libjack's for every caller in the process.
extern "C" int jack_set_process_callback(jack_client_t* client, JackProcessCallback callback,
                                         void* argument) {
    using TSetProcessCallback = int (*)(jack_client_t*, JackProcessCallback, void*);
    static const auto real =
        reinterpret_cast<TSetProcessCallback>(dlsym(RTLD_NEXT, "jack_set_process_callback"));
    // The test's own clients keep their callbacks as they are.
    if (std::strncmp(jack_get_client_name(client), "Lagvane", 7) != 0)
        return real(client, callback, argument);
    LagvaneCallback = callback;
    return real(client, &StallingProcess, argument);
}
