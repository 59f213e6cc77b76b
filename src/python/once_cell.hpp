#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <utility>

namespace zarn::python {

// A process-wide value created on first need, at most once. The thread that
// creates it holds the interpreter lock while it does; a thread arriving in
// the meantime waits for the result with the interpreter lock released, so
// that an initialiser which itself releases the lock (an import can) cannot
// deadlock with it. A failed initialisation is not remembered: the next need
// tries again.
template <class T>
class OnceCell {
public:
    // `init` returns std::optional<T>: empty (with a Python exception set)
    // on failure, in which case get_or_init returns nullptr. Exceptions
    // thrown by `init` propagate and leave the cell empty.
    template <class Init>
    T* get_or_init(Init&& init) {
        if (ready_.load(std::memory_order_acquire)) {
            return &*value_;
        }
        PyThreadState* thread_state = PyEval_SaveThread();
        mutex_.lock();
        PyEval_RestoreThread(thread_state);
        std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
        if (!ready_.load(std::memory_order_relaxed)) {
            std::optional<T> created = std::forward<Init>(init)();
            if (!created) {
                return nullptr;
            }
            value_.emplace(std::move(*created));
            ready_.store(true, std::memory_order_release);
        }
        return &*value_;
    }

private:
    std::mutex mutex_;
    std::atomic<bool> ready_{false};
    std::optional<T> value_;
};

}  // namespace zarn::python
