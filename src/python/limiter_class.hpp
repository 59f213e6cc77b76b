#pragma once

#include <Python.h>

#include "lib/limiter.hpp"
#include "python/borrow_guard.hpp"

namespace zarn::python {

// The Python ZarnLimiter object: it owns one limiter state by value and
// guards it with its access counter.
struct PyZarnLimiter {
    PyObject_HEAD
    zarn::Limiter limiter;
    BorrowFlag borrow_flag;
};

// The object behind a `self` that the interpreter guarantees to be a
// ZarnLimiter instance.
inline PyZarnLimiter& as_limiter(PyObject* self) noexcept {
    return *reinterpret_cast<PyZarnLimiter*>(self);
}

// The process-wide ZarnLimiter type object, created on first need: a
// borrowed reference, or null with the exception of the failed creation.
PyTypeObject* limiter_type();

}  // namespace zarn::python
