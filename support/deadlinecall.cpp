#include "support/deadlinecall.h"

#include "support/log.h"

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

TDispatcher& Dispatcher() {
    // Never destroyed: devices closed by static destructors at exit still call through it.
    static auto* dispatcher = new TDispatcher;
    return *dispatcher;
}

} // namespace

bool CallWithDeadline(const char* what, std::function<void()> call,
                      std::chrono::milliseconds deadline) {
    TDispatcher& dispatcher = Dispatcher();
    std::lock_guard serial(dispatcher.Serial);
    if (!dispatcher.Worker) {
        dispatcher.Worker = std::make_shared<TWorker>();
        std::thread(&TWorker::Run, dispatcher.Worker).detach();
    }
    TWorker& worker = *dispatcher.Worker;
    std::unique_lock lock(worker.Mutex);
    worker.Call = std::move(call);
    worker.Busy = true;
    worker.Handed.notify_one();
    if (!worker.Returned.wait_for(lock, deadline, [&] { return !worker.Busy; })) {
        worker.Abandoned = true;
        lock.unlock();
        dispatcher.Worker.reset();
        Log(std::string(what) + " did not return within " + std::to_string(deadline.count()) +
                " ms: abandoned",
            TLogLevel::Warning);
        return false;
    }
    if (const std::exception_ptr failure = std::exchange(worker.Failure, nullptr))
        std::rethrow_exception(failure);
    return true;
}
