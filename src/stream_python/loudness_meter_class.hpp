#pragma once

#include <Python.h>

namespace zarn::python {

// The process-wide LoudnessMeter type object, created on first need: a
// borrowed reference, or null with the exception of the failed creation.
PyTypeObject* loudness_meter_type();

}  // namespace zarn::python
