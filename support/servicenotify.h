#pragma once

// systemd's notify protocol, spoken directly: a datagram to the socket NOTIFY_SOCKET names.
// A program started without a service manager has none, and every call does nothing.

#include <chrono>
#include <optional>
#include <string_view>

// Sends state ("READY=1", "WATCHDOG=1", "STOPPING=1"); never waits. Whether it was sent.
bool NotifyServiceManager(std::string_view state);

// How often the manager wants WATCHDOG=1: half the WATCHDOG_USEC it set, so that one late beat
// is no miss; nothing when it wants none, or wants them from another process (WATCHDOG_PID).
std::optional<std::chrono::milliseconds> WatchdogInterval();

// Long work on the main thread (committing hours of delay): tells the manager the program still
// lives, so that neither its watchdog nor, before READY=1, its start timeout ends it meanwhile.
// Call it at least every few seconds of the work.
void TellServiceManagerStillWorking();
