#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "python/error_texts.hpp"
#include "python/once_cell.hpp"
#include "python/panic_exception.hpp"
#include "python/thread_unwinding.hpp"

namespace zarn::python {

// The text of an internal failure that carries none of its own.
inline constexpr const char* unknown_failure_text =
    "zarn_limiter: an internal failure without a description occurred";

// Storage that could not be obtained, with the text that says what it was
// for; the boundary raises MemoryError with it.
class MemoryShortage : public std::bad_alloc {
public:
    explicit MemoryShortage(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string text_;
};

// Runs `allocate`; a failure to allocate becomes a MemoryShortage whose text
// `describe()` gives.
template <class Allocate, class Describe>
auto describing_shortage(Allocate&& allocate, Describe&& describe) {
    try {
        return std::forward<Allocate>(allocate)();
    } catch (const std::bad_alloc&) {
        throw MemoryShortage(describe());
    }
}

// Sets the Python exception for the C++ exception being handled: MemoryError
// for storage that could not be obtained, RuntimeError for a one-time
// initialisation that cannot run, PanicException for every other internal
// failure. The unwinding of an ending thread passes on.
inline void raise_current_exception() {
    try {
        throw;
    } catch (const ThreadUnwinding&) {
        throw;
    } catch (const MemoryShortage& shortage) {
        PyErr_SetString(PyExc_MemoryError, shortage.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, error_texts::memory_exhausted);
    } catch (const InitialisationUnavailable& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const std::exception& error) {
        const char* text = error.what();
        raise_panic(text != nullptr && *text != '\0' ? text : unknown_failure_text);
    } catch (...) {
        raise_panic(unknown_failure_text);
    }
}

// Runs `body`, an entry point called by the interpreter, so that no C++
// exception crosses into the interpreter. The body returns its result, or
// `failure` with a Python exception set; a C++ exception escaping it is
// converted into a Python exception and the entry returns `failure`. State
// the body holds (references, the borrow flag) is given back by its guards
// as the exception unwinds, before the conversion. Only the unwinding of an
// ending thread passes through, to end the thread.
template <class Result, class Body>
Result call_boundary(Result failure, Body&& body) {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return failure;
    }
}

// The boundary for deallocation, which cannot report a failure to its
// caller: the exception is written as unraisable and the entry returns. An
// exception that was already pending when deallocation started (objects
// are often released while one propagates) is kept.
template <class Body>
void call_boundary_unraisable(Body&& body) {
    try {
        body();
    } catch (...) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        raise_current_exception();
        PyErr_WriteUnraisable(nullptr);
        PyErr_Restore(type, value, traceback);
    }
}

}  // namespace zarn::python
