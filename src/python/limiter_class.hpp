#pragma once

#include <Python.h>

namespace zarn::python {

// The process-wide ZarnLimiter type object, created on first need: a
// borrowed reference, or null with the exception of the failed creation.
PyTypeObject* limiter_type();

}  // namespace zarn::python
