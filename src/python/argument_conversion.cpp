#include "python/argument_conversion.hpp"

#include <limits>

#include "python/exception_note.hpp"

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
