#include "python/value_error.hpp"

#include <string>

namespace zarn::python {

PyObject* value_error(const zarn::LimiterError& error) {
    const std::string message = error.message();
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

}  // namespace zarn::python
