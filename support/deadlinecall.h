#pragma once

// Calls that can block on a sound server (stopping or closing a stream, a JACK port or client
// call) run here: on a worker thread, waited for up to a deadline, so that a server that hangs
// cannot freeze the window. A call that overruns is abandoned, never waited for: its thread
// runs on, detached, and the caller must leak (never free) whatever the call uses, since it may
// still be running. For the same reason a call takes its arguments by value, never by reference
// to the caller's locals. Calls are served one at a time, in the order they come.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

constexpr std::chrono::milliseconds DefaultDeadline{2000};

// Runs call and waits up to deadline; true when it returned in time (an exception it threw is
// rethrown here). Otherwise logs once that `what` was abandoned and returns false at the
// deadline; the next call gets a new worker.
bool CallWithDeadline(const char* what, std::function<void()> call,
                      std::chrono::milliseconds deadline = DefaultDeadline);

// The value call returns, or nothing when it was abandoned. The value is kept where an
// abandoned call can still write it; call itself must hold copies, never references.
template <class T, class TCall>
std::optional<T> ResultWithDeadline(const char* what, TCall call,
                                    std::chrono::milliseconds deadline = DefaultDeadline) {
    auto result = std::make_shared<T>();
    if (!CallWithDeadline(
            what, [result, call] { *result = call(); }, deadline))
        return std::nullopt;
    return *result;
}
