#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace zarn::python {

// Converts a float argument with the interpreter's own float conversion;
// `absent` is the value of an argument that was not passed (null). On
// failure the interpreter's exception stays pending, with the note "while
// processing '{name}'" attached.
std::optional<double> convert_float(PyObject* value, const char* name, double absent);

// Converts the `axis` argument to a signed 64-bit integer, -1 when it was
// not passed (null). Failures keep the interpreter's exception, with the
// note "while processing 'axis'".
std::optional<std::int64_t> convert_axis(PyObject* value);

// Accepts an integer (or an object with __index__) from 1 to 4294967295.
// Every failure becomes ValueError "sample_rate must be a positive 32-bit
// integer", whatever the conversion raised.
std::optional<std::uint32_t> parse_sample_rate(PyObject* value);

}  // namespace zarn::python
