#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "lib/limiter.hpp"
#include "lib/limiter_settings.hpp"

namespace zarn::python {

// Converts a float argument with the interpreter's own float conversion;
// `absent` is the value of an argument that was not passed (null). On
// failure the interpreter's exception stays pending, with the note "while
// processing '{name}'" attached.
std::optional<double> convert_float(PyObject* value, const char* name, double absent);

// Converts threshold_dBFS, attack_ms, hold_ms and release_ms in this order
// with convert_float; absent ones (null) keep the defaults of
// LimiterSettings. The first failure ends the conversion with its exception
// pending.
std::optional<LimiterSettings> convert_settings(PyObject* threshold_dBFS, PyObject* attack_ms,
                                                PyObject* hold_ms, PyObject* release_ms);

// Converts the `sample_rate` argument (last, after the settings) and builds
// a limiter from it and `settings`. A bad sample rate or a configuration
// error ends in ValueError, with std::nullopt returned.
std::optional<zarn::Limiter> build_limiter(PyObject* sample_rate,
                                           const LimiterSettings& settings);

// Converts the `axis` argument to a signed 64-bit integer, -1 when it was
// not passed (null). Failures keep the interpreter's exception, with the
// note "while processing 'axis'".
std::optional<std::int64_t> convert_axis(PyObject* value);

// Accepts an integer (or an object with __index__) from 1 to 4294967295.
// Every failure becomes ValueError "sample_rate must be a positive 32-bit
// integer", whatever the conversion raised.
std::optional<std::uint32_t> parse_sample_rate(PyObject* value);

}  // namespace zarn::python
