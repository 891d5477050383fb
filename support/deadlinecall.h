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

// One action of the operator's (a press of Play, a Keep On Air try) that may make several calls
// into a server: all of them together wait at most one deadline. Once it is spent, by one call
// that overran or by several slow ones, the action's further calls are still handed to the
// worker but not waited for: they count as abandoned at once. Main thread; an action opened
// inside another is part of the outer one.
class TDeadlineAction {
public:
    explicit TDeadlineAction(std::chrono::milliseconds budget = DefaultDeadline);
    ~TDeadlineAction();
    TDeadlineAction(const TDeadlineAction&) = delete;
    TDeadlineAction& operator=(const TDeadlineAction&) = delete;

    // What is left of the action's deadline for a call that would wait up to deadline.
    static std::chrono::milliseconds Left(std::chrono::milliseconds deadline);
    // A call of the current action overran: nothing more of it is waited for.
    static void Overran();

private:
    std::chrono::steady_clock::time_point End;
    bool Outer = false;
};

// Runs call and waits up to deadline (less within an action whose deadline is partly spent); true
// when it returned in time (an exception it threw is rethrown here). Otherwise logs once that
// `what` was abandoned and returns false at the deadline; the next call gets a new worker.
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
