#pragma once

#include <Python.h>

#include "meter/loudness.hpp"

namespace zarn::python {

// The process-wide Loudness type object (a struct sequence: a named,
// immutable tuple), created on first need: a borrowed reference, or null
// with the exception of the failed creation.
PyTypeObject* loudness_type();

// A new Loudness object holding `loudness`, or null with the exception set.
PyObject* new_loudness(const zarn::meter::Loudness& loudness);

}  // namespace zarn::python
