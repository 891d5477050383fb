#include "support/deadlinecall.h"

#include "support/log.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace {

// A worker thread and the call handed to it. The thread owns a share of it, so that an
// abandoned worker keeps what it uses for as long as its call runs, and lets go once it returns.
struct TWorker {
    std::mutex Mutex;
    std::condition_variable Handed;
    std::condition_variable Returned;
    std::function<void()> Call;
    std::exception_ptr Failure;
    bool Busy = false;
    bool Abandoned = false;

    static void Run(std::shared_ptr<TWorker> self) {
        std::unique_lock lock(self->Mutex);
        for (;;) {
            self->Handed.wait(lock, [&] { return self->Busy; });
            std::exception_ptr failure;
            {
                // Gone before the caller hears of the return: what it holds is the caller's.
                const std::function<void()> call = std::move(self->Call);
                lock.unlock();
                try {
                    call();
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            lock.lock();
            self->Failure = failure;
            self->Busy = false;
            if (self->Abandoned)
                return;
            self->Returned.notify_one();
        }
    }
};

struct TDispatcher {
    // One call at a time, so that a worker never holds two.
    std::mutex Serial;
    std::shared_ptr<TWorker> Worker;
};

// The action whose calls wait now, if any.
thread_local TDeadlineAction* CurrentAction = nullptr;

TDispatcher& Dispatcher() {
    // Never destroyed: devices closed by static destructors at exit still call through it.
    static auto* dispatcher = new TDispatcher;
    return *dispatcher;
}

} // namespace

TDeadlineAction::TDeadlineAction(std::chrono::milliseconds budget)
    : End(std::chrono::steady_clock::now() + budget), Outer(CurrentAction == nullptr) {
    if (Outer)
        CurrentAction = this;
}

TDeadlineAction::~TDeadlineAction() {
    if (Outer)
        CurrentAction = nullptr;
}

std::chrono::milliseconds TDeadlineAction::Left(std::chrono::milliseconds deadline) {
    if (!CurrentAction)
        return deadline;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        CurrentAction->End - std::chrono::steady_clock::now());
    return std::clamp(left, std::chrono::milliseconds{0}, deadline);
}

void TDeadlineAction::Overran() {
    if (CurrentAction)
        CurrentAction->End = std::chrono::steady_clock::now();
}

bool CallWithDeadline(const char* what, std::function<void()> call,
                      std::chrono::milliseconds deadline) {
    TDispatcher& dispatcher = Dispatcher();
    std::lock_guard serial(dispatcher.Serial);
    if (!dispatcher.Worker) {
        dispatcher.Worker = std::make_shared<TWorker>();
        std::thread(&TWorker::Run, dispatcher.Worker).detach();
    }
    const std::chrono::milliseconds wait = TDeadlineAction::Left(deadline);
    TWorker& worker = *dispatcher.Worker;
    std::unique_lock lock(worker.Mutex);
    worker.Call = std::move(call);
    worker.Busy = true;
    worker.Handed.notify_one();
    if (!worker.Returned.wait_for(lock, wait, [&] { return !worker.Busy; })) {
        worker.Abandoned = true;
        lock.unlock();
        dispatcher.Worker.reset();
        TDeadlineAction::Overran();
        Log(std::string(what) +
                (wait.count() > 0
                     ? " did not return within " + std::to_string(wait.count()) + " ms: abandoned"
                     : " was not waited for: the server did not answer within this action's "
                       "deadline"),
            TLogLevel::Warning);
        return false;
    }
    if (const std::exception_ptr failure = std::exchange(worker.Failure, nullptr))
        std::rethrow_exception(failure);
    return true;
}
