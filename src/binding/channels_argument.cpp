#include "binding/channels_argument.hpp"

#include "binding/error_texts.hpp"
#include "binding/python_exception.hpp"

namespace zarn::python {

std::optional<std::size_t> convert_channels(PyObject* value) {
    const long long converted = PyLong_AsLongLong(value);
    const bool failed = converted == -1 && PyErr_Occurred() != nullptr;
    if (failed && !ordinary_error_pending()) {
        return std::nullopt;
    }
    if (failed || converted < 1 || converted > static_cast<long long>(most_channels)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, error_texts::invalid_channels);
        return std::nullopt;
    }
    return static_cast<std::size_t>(converted);
}

}  // namespace zarn::python
