#include "binding/python_exception.hpp"

#include <optional>

namespace zarn::python {

namespace {

// The text of a string object, or nothing with an exception set.
std::optional<std::string> utf8_text(const PyRef& text) {
    Py_ssize_t size = 0;
    const char* bytes = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (bytes == nullptr) {
        return std::nullopt;
    }
    return std::string(bytes, static_cast<std::size_t>(size));
}

}  // namespace

PythonException PythonException::take() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    PythonException taken;
    taken.type_ = PyRef::steal(type);
    taken.value_ = PyRef::steal(value);
    taken.traceback_ = PyRef::steal(traceback);
    return taken;
}

void PythonException::restore() && {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

std::string PythonException::describe() const {
    if (!type_) {
        return "no Python exception was set";
    }
    const PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
    const PyRef lines = PyRef::steal(
        module ? PyObject_CallMethod(module.get(), "format_exception", "OOO", type_.get(),
                                     value_ ? value_.get() : Py_None,
                                     traceback_ ? traceback_.get() : Py_None)
               : nullptr);
    const PyRef separator = PyRef::steal(lines ? PyUnicode_FromString("") : nullptr);
    std::optional<std::string> text = utf8_text(
        PyRef::steal(separator ? PyUnicode_Join(separator.get(), lines.get()) : nullptr));
    while (text && !text->empty() && text->back() == '\n') {
        text->pop_back();
    }
    if (!text && value_) {
        PyErr_Clear();
        text = utf8_text(PyRef::steal(PyObject_Str(value_.get())));
    }
    PyErr_Clear();
    return text ? *text : "the exception could not be rendered";
}

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
    PythonException error = PythonException::take();
    if (!PyRef::steal(PyObject_CallMethod(error.value(), "add_note", "s", note.c_str()))) {
        PyErr_Clear();
    }
    std::move(error).restore();
}

void raise_caused_by(PyObject* type, const char* text, PythonException cause) {
    PyErr_SetString(type, text);
    PythonException error = PythonException::take();
    if (error && cause) {
        PyException_SetCause(error.value(), PyRef::borrow(cause.value()).release());
    }
    std::move(error).restore();
}

}  // namespace zarn::python
