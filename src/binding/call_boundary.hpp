#pragma once

#include <new>
#include <string>
#include <utility>

#include "binding/thread_unwinding.hpp"

namespace zarn::python {

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
// failure. Not for the unwinding of an ending thread, which passes on
// (ending_thread_unwinds).
void raise_current_exception();

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
        if (ending_thread_unwinds()) {
            throw;
        }
        raise_current_exception();
        return failure;
    }
}

}  // namespace zarn::python
