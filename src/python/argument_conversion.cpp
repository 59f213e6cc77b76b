#include "python/argument_conversion.hpp"

#include <limits>
#include <utility>

#include "python/exception_note.hpp"
#include "python/value_error.hpp"

namespace zarn::python {

std::optional<double> convert_float(PyObject* value, const char* name, double absent) {
    if (value == nullptr) {
        return absent;
    }
    const double converted = PyFloat_AsDouble(value);
    // -1.0 is also a valid value; only a pending exception marks a failure.
    if (converted == -1.0 && PyErr_Occurred() != nullptr) {
        add_argument_note(name);
        return std::nullopt;
    }
    return converted;
}

std::optional<LimiterSettings> convert_settings(PyObject* threshold_dBFS, PyObject* attack_ms,
                                                PyObject* hold_ms, PyObject* release_ms) {
    LimiterSettings settings;
    const std::optional<double> threshold =
        convert_float(threshold_dBFS, "threshold_dBFS", settings.threshold_dBFS);
    if (!threshold) {
        return std::nullopt;
    }
    settings.threshold_dBFS = *threshold;
    const std::optional<double> attack = convert_float(attack_ms, "attack_ms", settings.attack_ms);
    if (!attack) {
        return std::nullopt;
    }
    settings.attack_ms = *attack;
    const std::optional<double> hold = convert_float(hold_ms, "hold_ms", settings.hold_ms);
    if (!hold) {
        return std::nullopt;
    }
    settings.hold_ms = *hold;
    const std::optional<double> release =
        convert_float(release_ms, "release_ms", settings.release_ms);
    if (!release) {
        return std::nullopt;
    }
    settings.release_ms = *release;
    return settings;
}

std::optional<zarn::Limiter> build_limiter(PyObject* sample_rate,
                                           const LimiterSettings& settings) {
    const std::optional<std::uint32_t> rate = parse_sample_rate(sample_rate);
    if (!rate) {
        return std::nullopt;
    }
    auto limiter = zarn::Limiter::create(*rate, settings);
    if (!limiter) {
        value_error(limiter.error());
        return std::nullopt;
    }
    return std::move(*limiter);
}

std::optional<std::int64_t> convert_axis(PyObject* value) {
    if (value == nullptr) {
        return -1;
    }
    static_assert(sizeof(long long) == sizeof(std::int64_t));
    const long long converted = PyLong_AsLongLong(value);
    if (converted == -1 && PyErr_Occurred() != nullptr) {
        add_argument_note("axis");
        return std::nullopt;
    }
    return converted;
}

std::optional<std::uint32_t> parse_sample_rate(PyObject* value) {
    const long long converted = PyLong_AsLongLong(value);
    const bool failed = converted == -1 && PyErr_Occurred() != nullptr;
    if (failed || converted < 1 || converted > std::numeric_limits<std::uint32_t>::max()) {
        // The conversion's own exception is replaced, not chained: the one
        // message says everything the caller needs.
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "sample_rate must be a positive 32-bit integer");
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(converted);
}

}  // namespace zarn::python
