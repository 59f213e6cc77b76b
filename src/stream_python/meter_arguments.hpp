#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "meter/loudness_meter.hpp"
#include "meter/meter_error.hpp"

namespace zarn::python {

// Builds a meter from the arguments of LoudnessMeter(sample_rate, channels,
// weights=None, reconstructed=False); absent ones are null. Each argument is
// converted in order, then the meter checks them together; any failure ends
// in a Python exception (ValueError for a value out of range) and nothing.
std::optional<zarn::meter::LoudnessMeter> build_meter(PyObject* sample_rate, PyObject* channels,
                                                      PyObject* weights,
                                                      PyObject* reconstructed);

// Raises the ValueError of a meter's error; that of a non-finite sample
// carries its position as the attributes `frame` and `channel`.
void raise_meter_error(const zarn::meter::MeterError& error);

}  // namespace zarn::python
