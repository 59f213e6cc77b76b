#pragma once

#include <Python.h>

#include "meter/loudness_meter.hpp"

namespace zarn::python {

// Adds the `block` argument to `meter`: converts it as audio is converted
// (any dtype NumPy casts to float32), reads a 1-D array as one channel and
// a 2-D one as (frames, channels), and runs the meter with the interpreter
// lock released. Returns None, or null with the exception set: ValueError
// for a block of another rank or channel count, or with a non-finite
// sample (the meter then is as it was).
PyObject* add_block(zarn::meter::LoudnessMeter& meter, PyObject* block);

}  // namespace zarn::python
