#pragma once

#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

#include "binding/thread_unwinding.hpp"

namespace zarn::python {

// Runs `work` with the interpreter lock released (it must touch no Python
// object, so other Python threads run meanwhile) and takes the lock back on
// every way out, a failure of the work included. Taking it back can end
// this thread (at interpreter exit the interpreter unwinds threads that ask
// for it), so that happens outside any destructor or handler, where the
// unwinding can pass.
template <class Work>
auto without_interpreter_lock(Work&& work) {
    PyThreadState* thread_state = PyEval_SaveThread();
    std::exception_ptr failure;
    std::optional<decltype(work())> result;
    try {
        result.emplace(work());
    } catch (...) {
        if (ending_thread_unwinds()) {
            throw;
        }
        failure = std::current_exception();
    }
    PyEval_RestoreThread(thread_state);
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

}  // namespace zarn::python
