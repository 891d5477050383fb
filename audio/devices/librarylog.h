#pragma once

// What the sound libraries print goes to our log at the debug level (support/log.h), each
// message at most once a second, instead of straight to stderr.

// ALSA's error handler and PortAudio's diagnostics: call once, before either is first used.
void RouteLibraryMessages();
// For jack_set_error_function and jack_set_info_function. libjack reports every failed
// connection attempt; without a server, that is every look for one.
void LogJackMessage(const char* text);
