#include "binding/count_argument.hpp"

#include <limits>

#include "binding/error_texts.hpp"
#include "binding/python_exception.hpp"

namespace zarn::python {

namespace {

// An integer from 1 to `largest`, or nothing with the ValueError `text` set
// for every ordinary error of the conversion.
std::optional<long long> convert_count(PyObject* value, long long largest, const char* text) {
    const long long converted = PyLong_AsLongLong(value);
    const bool failed = converted == -1 && PyErr_Occurred() != nullptr;
    if (failed && !ordinary_error_pending()) {
        return std::nullopt;
    }
    if (failed || converted < 1 || converted > largest) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, text);
        return std::nullopt;
    }
    return converted;
}

}  // namespace

std::optional<std::uint32_t> convert_sample_rate(PyObject* value) {
    const auto rate = convert_count(value, std::numeric_limits<std::uint32_t>::max(),
                                    error_texts::invalid_sample_rate);
    return rate ? std::optional(static_cast<std::uint32_t>(*rate)) : std::nullopt;
}

std::optional<std::size_t> convert_channels(PyObject* value) {
    const auto channels = convert_count(value, static_cast<long long>(most_channels),
                                        error_texts::invalid_channels);
    return channels ? std::optional(static_cast<std::size_t>(*channels)) : std::nullopt;
}

}  // namespace zarn::python
