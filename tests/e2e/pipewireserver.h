#pragma once

#include <QString>
#include <QStringList>
#include <chrono>

// The end-to-end tests' headless PipeWire (pipewire, wireplumber and pipewire-pulse with a null
// source and a null sink at 48 kHz), started by the e2e fixture and stopped after the last test.

// Starts it unless it runs; true once it answers. False, after printing the server's log, when
// it cannot start on this machine.
bool StartPipeWire();
// What its daemons have logged since it last started: where a client is turned away, the
// server's side of it.
QString PipeWireLog();
// Kills the pipewire daemon under its clients, as a crash would.
void KillPipeWire();
// Stops the pipewire daemon for a moment (SIGSTOP, then SIGCONT), as a server starved of the
// processor: every client loses the periods it missed. False when it does not run.
bool PausePipeWire(std::chrono::milliseconds pause);
// Points this process's PipeWire and PulseAudio clients at it, and ALSA's default PCM at the
// plug-in named ("pipewire" or "pulse"). Call before ALSA is first used.
void UsePipeWire(const char* alsaPlugin);
// The null source's inputs and the null sink's monitor outputs, one per channel: what a test
// client plays into the first is what the default input records, and what the default output
// plays comes out of the second.
QStringList PipeWireSourceInputs();
QStringList PipeWireSinkMonitors();
// The control sink's monitor outputs: what the ALSA device "lagvanecontrol" plays. It records
// as the default input does.
QStringList PipeWireControlMonitors();
