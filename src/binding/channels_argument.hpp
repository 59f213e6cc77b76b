#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>

namespace zarn::python {

// More channels than any production or analysis layout has; the limit
// keeps a mistaken count from asking for gigabytes.
inline constexpr std::size_t most_channels = 65535;

// Converts a `channels` argument: an integer (or an object with __index__)
// from 1 to most_channels. Like the sample rate, every ordinary error of
// the conversion becomes the one ValueError that says what is wanted,
// "channels must be a positive integer no greater than 65535".
std::optional<std::size_t> convert_channels(PyObject* value);

}  // namespace zarn::python
