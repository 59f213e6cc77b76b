#pragma once

// The exception by which the C++ runtime unwinds a thread that ends while it
// runs (pthread_exit, or the interpreter ending a thread that takes the
// interpreter lock back during finalisation). It must pass through every
// handler: `catch (const ThreadUnwinding&) { throw; }` comes before any
// `catch (...)` that does not rethrow. Where the runtime has no such
// exception the type is never thrown.
#if defined(__GLIBCXX__) && __has_include(<cxxabi.h>)
#include <cxxabi.h>

namespace zarn::python {
using ThreadUnwinding = abi::__forced_unwind;
}  // namespace zarn::python
#else
namespace zarn::python {
struct ThreadUnwinding {};
}  // namespace zarn::python
#endif
