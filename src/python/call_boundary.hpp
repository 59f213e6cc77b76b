#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "python/panic_exception.hpp"

namespace zarn::python {

// The text of an internal failure that carries none of its own.
inline constexpr const char* unknown_failure_text =
    "zarn_limiter: an internal failure without a description occurred";

// Sets the Python exception for the C++ exception being handled: MemoryError
// for storage that could not be obtained, PanicException for every other
// internal failure.
inline void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
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
// as the exception unwinds, before the conversion.
template <class Result, class Body>
Result call_boundary(Result failure, Body&& body) noexcept {
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
void call_boundary_unraisable(Body&& body) noexcept {
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
