#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "binding/py_ref.hpp"
#include "lib/limiter.hpp"
#include "lib/limiter_settings.hpp"

namespace zarn::python {

// Converts the arguments threshold_dBFS, attack_ms, hold_ms and release_ms,
// given in this order, with the interpreter's own float conversion; absent
// ones (null) keep the defaults of LimiterSettings. The first failure ends
// the conversion with the interpreter's exception pending and the note
// "while processing '{name}'" attached.
std::optional<LimiterSettings> convert_settings(std::span<PyObject* const> arguments);

// Converts the `sample_rate` argument (last, after the settings) and builds
// a limiter from it and `settings`. A bad sample rate or a configuration
// error ends in ValueError, with std::nullopt returned; storage that cannot
// be had throws MemoryShortage, naming the settings.
std::optional<zarn::Limiter> build_limiter(PyObject* sample_rate,
                                           const LimiterSettings& settings);

// Converts the `axis` argument with the interpreter's PyLong_AsLongLong
// (signed 64 bits everywhere), -1 when it was not passed (null). Failures keep
// the interpreter's exception, with the note "while processing 'axis'".
std::optional<std::int64_t> convert_axis(PyObject* value);

}  // namespace zarn::python
