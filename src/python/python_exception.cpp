#include "python/python_exception.hpp"

#include <Python.h>

#include <string>

#include "python/py_ref.hpp"

namespace zarn::python {

bool ordinary_error_pending() {
    return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

void add_argument_note(const char* argument) {
    if (!ordinary_error_pending()) {
        return;
    }
    // Built before the exception is taken, so that a failure here leaves
    // the pending exception in place.
    const std::string note = std::string("while processing '") + argument + "'";
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return;
    }
    // add_note is a method of the exception instance, which may not exist
    // yet: a C-level error can be pending as a bare type and value.
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        PyRef added = PyRef::steal(PyObject_CallMethod(value, "add_note", "s", note.c_str()));
        if (!added) {
            PyErr_Clear();
        }
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace zarn::python
