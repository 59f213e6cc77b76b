#include "binding/sample_rate_argument.hpp"

#include <limits>

#include "binding/error_texts.hpp"
#include "binding/python_exception.hpp"

namespace zarn::python {

std::optional<std::uint32_t> convert_sample_rate(PyObject* value) {
    const long long converted = PyLong_AsLongLong(value);
    const bool failed = converted == -1 && PyErr_Occurred() != nullptr;
    if (failed && !ordinary_error_pending()) {
        return std::nullopt;
    }
    if (failed || converted < 1 || converted > std::numeric_limits<std::uint32_t>::max()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, error_texts::invalid_sample_rate);
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(converted);
}

}  // namespace zarn::python
