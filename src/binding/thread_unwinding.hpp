#pragma once

#include <exception>

namespace zarn::python {

// Inside a handler: whether the exception being handled is the unwinding of
// a thread that ends while it runs (pthread_exit, or the interpreter ending
// a thread that takes the interpreter lock back during finalisation). That
// unwinding must pass through every handler, so a `catch (...)` that does
// not rethrow asks this first and rethrows when it is true.
//
// The C++ runtimes unwind an ending thread with an exception foreign to
// C++: there is no C++ object behind it, so current_exception() cannot hold
// it and is empty. Catching it by a type (libstdc++'s abi::__forced_unwind)
// instead would bind the handler's reference to that missing object, a
// null reference.
inline bool ending_thread_unwinds() noexcept {
    return std::current_exception() == nullptr;
}

}  // namespace zarn::python
