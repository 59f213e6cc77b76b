#pragma once

#include <Python.h>

#include <vector>

namespace zarn::python {

// A new tuple of Python floats, or null with the exception set.
PyObject* float_tuple(const std::vector<double>& values);

}  // namespace zarn::python
