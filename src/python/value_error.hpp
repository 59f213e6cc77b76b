#pragma once

#include <Python.h>

#include "lib/limiter_error.hpp"

namespace zarn::python {

// Raises ValueError with the error's text as its only argument; returns null.
PyObject* value_error(const zarn::LimiterError& error);

}  // namespace zarn::python
