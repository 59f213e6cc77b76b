#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>

namespace zarn::python {

// A one-time initialisation that cannot be run here: re-entered by the
// thread that is running it, or interrupted by fork() in another thread of
// the parent process. The call boundary reports it as RuntimeError.
class InitialisationUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The synchronisation of one once-cell, apart from its value. Every flag is
// known to a handler that runs in the child after fork(): there only the
// forking thread survives, so a flag whose initialisation another thread was
// running can never complete, and a lock that a lost thread held is free.
class OnceFlag {
public:
    OnceFlag() noexcept;
    OnceFlag(const OnceFlag&) = delete;
    OnceFlag& operator=(const OnceFlag&) = delete;

    // The child's side of fork(): forgets the lost threads' locks and marks
    // the initialisations they were running as unavailable.
    static void reset_after_fork_in_child() noexcept;

protected:
    // Takes the flag's lock, waiting for it with the interpreter lock
    // released. Throws InitialisationUnavailable, without waiting, when this
    // thread is the one running the initialisation or when it was lost to a
    // fork().
    std::unique_lock<std::mutex> lock();

    // Runs `init` as the owner of the flag (the lock must be held).
    template <class Init>
    auto run_as_owner(Init&& init) {
        owner_.store(std::this_thread::get_id());
        const std::unique_ptr<OnceFlag, void (*)(OnceFlag*)> disown(
            this, [](OnceFlag* flag) { flag->owner_.store(std::thread::id()); });
        return std::forward<Init>(init)();
    }

    std::atomic<bool> ready_{false};

private:
    std::mutex mutex_;
    std::atomic<bool> lost_to_fork_{false};
    std::atomic<std::thread::id> owner_{};
    OnceFlag* next_ = nullptr;
};

// A process-wide value created on first need, at most once. The thread that
// creates it holds the interpreter lock while it does; a thread arriving in
// the meantime waits for the result with the interpreter lock released, so
// that an initialiser which itself releases the lock (an import can) cannot
// deadlock with it. A failed initialisation is not remembered: the next need
// tries again.
template <class T>
class OnceCell : private OnceFlag {
public:
    // `init` returns std::optional<T>: empty (with a Python exception set)
    // on failure, in which case get_or_init returns nullptr. Exceptions
    // thrown by `init` propagate and leave the cell empty.
    template <class Init>
    T* get_or_init(Init&& init) {
        if (ready_.load(std::memory_order_acquire)) {
            return &*value_;
        }
        const std::unique_lock<std::mutex> held = lock();
        if (!ready_.load(std::memory_order_acquire)) {
            std::optional<T> created = run_as_owner(std::forward<Init>(init));
            if (!created) {
                return nullptr;
            }
            value_.emplace(std::move(*created));
            ready_.store(true, std::memory_order_release);
        }
        return &*value_;
    }

private:
    std::optional<T> value_;
};

}  // namespace zarn::python
