#pragma once

#include <Python.h>

namespace zarn::python {

// The process-wide StreamLimiter type object, created on first need: a
// borrowed reference, or null with the exception of the failed creation.
PyTypeObject* stream_limiter_type();

}  // namespace zarn::python
