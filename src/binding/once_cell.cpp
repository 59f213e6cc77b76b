#include "binding/once_cell.hpp"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "binding/error_texts.hpp"

namespace zarn::python {

namespace {

// Every flag of the process, newest first; flags are never destroyed
// before the process ends.
std::atomic<OnceFlag*> all_flags{nullptr};

}  // namespace

OnceFlag::OnceFlag() noexcept : next_(all_flags.load()) {
#if !defined(_WIN32)
    // Windows has no fork, so there is nothing to register there.
    static const bool fork_handler_registered =
        pthread_atfork(nullptr, nullptr, &OnceFlag::reset_after_fork_in_child) == 0;
    (void)fork_handler_registered;
#endif
    while (!all_flags.compare_exchange_weak(next_, this)) {
    }
}

std::unique_lock<std::mutex> OnceFlag::lock() {
    if (owner_.load() == std::this_thread::get_id()) {
        throw InitialisationUnavailable(error_texts::initialisation_reentered);
    }
    if (lost_to_fork_.load()) {
        throw InitialisationUnavailable(error_texts::initialisation_interrupted_by_fork);
    }
    PyThreadState* thread_state = PyEval_SaveThread();
    std::unique_lock<std::mutex> lock(mutex_);
    // Taking the interpreter lock back can end this thread at interpreter
    // exit; the lock guard is released as that unwinds.
    PyEval_RestoreThread(thread_state);
    return lock;
}

void OnceFlag::reset_after_fork_in_child() noexcept {
    const std::thread::id survivor = std::this_thread::get_id();
    for (OnceFlag* flag = all_flags.load(); flag != nullptr; flag = flag->next_) {
        const std::thread::id owner = flag->owner_.load();
        if (owner == survivor) {
            continue;
        }
        if (owner != std::thread::id() && !flag->ready_.load()) {
            flag->lost_to_fork_.store(true);
        }
        flag->owner_.store(std::thread::id());
        std::construct_at(&flag->mutex_);
    }
}

}  // namespace zarn::python
