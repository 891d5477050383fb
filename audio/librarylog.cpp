#include "audio/librarylog.h"

#include "support/log.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>
#include <string>

// Exported by PortAudio's static library; its public headers do not declare it.
extern "C" void PaUtil_SetDebugPrintFunction(void (*function)(const char* text));

namespace {

// ALSA complains this way about every PCM its configuration names that the machine lacks,
// each time a program lists the devices.
void LogAlsaError(const char* file, int line, const char* function, int error, const char* format,
                  ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    // The shape of ALSA's own lines, which engineers know.
    std::string message = "ALSA lib " + std::string(file) + ':' + std::to_string(line) + ":(" +
                          function + ") " + text;
    if (error != 0)
        message += std::string(": ") + snd_strerror(error);
    LogDebug(message);
}

// PortAudio's ALSA stream thread reports a failed call on every turn of its loop, and spins
// once the server is gone.
void LogPortAudioMessage(const char* text) {
    LogDebug(std::string("PortAudio: ") + text);
}

} // namespace

void RouteLibraryMessages() {
    snd_lib_error_set_handler(&LogAlsaError);
    PaUtil_SetDebugPrintFunction(&LogPortAudioMessage);
}

void LogJackMessage(const char* text) {
    LogDebug(std::string("JACK: ") + text);
}
