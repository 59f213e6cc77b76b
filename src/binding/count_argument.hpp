#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace zarn::python {

// More channels than any production or analysis layout has; the limit
// keeps a mistaken count from asking for gigabytes.
inline constexpr std::size_t most_channels = 65535;

// Converts a `sample_rate` argument: an integer (or an object with
// __index__) from 1 to 4294967295. Every ordinary error of the conversion,
// None included, becomes ValueError "sample_rate must be a positive 32-bit
// integer", which says everything the caller needs; KeyboardInterrupt,
// SystemExit and GeneratorExit propagate.
std::optional<std::uint32_t> convert_sample_rate(PyObject* value);

// Converts a `channels` argument, from 1 to most_channels, in the same
// way: "channels must be a positive integer no greater than 65535".
std::optional<std::size_t> convert_channels(PyObject* value);

}  // namespace zarn::python
