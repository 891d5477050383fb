#include "audio/devices/librarylog.h"

#include "support/log.h"

#include <alsa/asoundlib.h>

#include <cstdarg>
#include <cstdio>

// Exported by PortAudio's static library; its public headers do not declare it.
extern "C" void PaUtil_SetDebugPrintFunction(void (*function)(const char* text));

namespace {

// These hooks run on the libraries' own threads, real-time ones among them: nothing is
// formatted before the level says the line is wanted, and then only on the stack.
constexpr size_t LineRoom = 1024;

// ALSA complains this way about every PCM its configuration names that the machine lacks,
// each time a program lists the devices.
void LogAlsaError(const char* file, int line, const char* function, int error, const char* format,
                  ...) {
    if (!DebugLogWanted())
        return;
    char text[LineRoom];
    // The shape of ALSA's own lines, which engineers know.
    int length = std::snprintf(text, sizeof text, "ALSA lib %s:%d:(%s) ", file, line, function);
    if (length >= 0 && size_t(length) < sizeof text) {
        va_list arguments;
        va_start(arguments, format);
        const int written =
            std::vsnprintf(text + length, sizeof text - size_t(length), format, arguments);
        va_end(arguments);
        length = written < 0 ? length : length + written;
    }
    if (error != 0 && length >= 0 && size_t(length) < sizeof text)
        std::snprintf(text + length, sizeof text - size_t(length), ": %s", snd_strerror(error));
    LogDebug(text);
}

void LogWithPrefix(const char* prefix, const char* message) {
    if (!DebugLogWanted())
        return;
    char text[LineRoom];
    std::snprintf(text, sizeof text, "%s%s", prefix, message);
    LogDebug(text);
}

// PortAudio's ALSA stream thread reports a failed call on every turn of its loop, and spins
// once the server is gone.
void LogPortAudioMessage(const char* text) {
    LogWithPrefix("PortAudio: ", text);
}

} // namespace

void RouteLibraryMessages() {
    snd_lib_error_set_handler(&LogAlsaError);
    PaUtil_SetDebugPrintFunction(&LogPortAudioMessage);
}

void LogJackMessage(const char* text) {
    LogWithPrefix("JACK: ", text);
}
