#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace zarn::python {

// Converts a `sample_rate` argument: an integer (or an object with
// __index__) from 1 to 4294967295. Every ordinary error of the conversion,
// None included, becomes ValueError "sample_rate must be a positive 32-bit
// integer", which says everything the caller needs; KeyboardInterrupt,
// SystemExit and GeneratorExit propagate.
std::optional<std::uint32_t> convert_sample_rate(PyObject* value);

}  // namespace zarn::python
