#pragma once

#include "audio/wavedevice.h"

#include <QString>
#include <cstdint>
#include <functional>

// The program's one playback queue on the default wave-out device. Buffers are played straight
// from the caller's memory, which must stay alive until StopPlayback returns. Main thread only.

// Closes a device still open from an earlier run, then opens the output with the format.
// Raises Exception "Can't play format" or "Failed to open output device".
void OpenPlayback(const TWaveFormat& format);
// Queues length bytes at data behind those queued before; with wait set, returns only once the
// device has played them. Raises Exception "Unable to prepare header" or PlaybackErrorText of
// the device's result; a failed buffer is neither queued nor counted.
void QueuePlayback(const void* data, int32_t length, bool wait);
void PlayBuffer(const void* data, int32_t length);
// Pumps the main thread's events until every queued buffer has come back (or the application
// is closing down).
void WaitPlayback();
// Stops playback at once, waits for every header, releases them and closes the device.
void StopPlayback();
QString PlaybackErrorText(uint32_t code);
// The device's completion callback; each returned header is released exactly once.
void PlaybackDone(TWaveOutDevice* device, uint32_t message, uintptr_t instance, uintptr_t param1,
                  uintptr_t param2);
// Buffers written and not yet returned.
int32_t PlaybackPending();
// Times the output opened last ran dry while a buffer was due, and xruns its host reported
// (both kept after it closed).
uint64_t PlaybackUnderruns();
uint64_t PlaybackXruns();
// The open output's own latency in frames; 0 when none is open.
uint32_t PlaybackLatencyFrames();
// The open output, for what the queue does not do itself (its dump and build-up); nullptr
// when none is open.
TWaveOutDevice* PlaybackDevice();

// Raised on the main thread when the open output stops on its own (lost, its stream failed);
// code says why. Installs the event and returns the previous one.
using TPlaybackFaultEvent = std::function<void(TWaveResult code)>;
TPlaybackFaultEvent SetPlaybackFaultEvent(TPlaybackFaultEvent event);
// Starts the desktop's sound settings tool without waiting for it; a message tells when none
// is installed.
void OpenSoundControlPanel();
