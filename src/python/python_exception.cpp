#include "python/python_exception.hpp"

#include <optional>

namespace zarn::python {

namespace {

// The text of a string object, or nothing with an exception set.
std::optional<std::string> utf8_text(PyObject* text) {
    Py_ssize_t size = 0;
    const char* bytes = text == nullptr ? nullptr : PyUnicode_AsUTF8AndSize(text, &size);
    if (bytes == nullptr) {
        return std::nullopt;
    }
    return std::string(bytes, static_cast<std::size_t>(size));
}

std::optional<std::string> format_exception(PyObject* type, PyObject* value,
                                            PyObject* traceback) {
    const PyRef module = PyRef::steal(PyImport_ImportModule("traceback"));
    if (!module) {
        return std::nullopt;
    }
    const PyRef lines = PyRef::steal(PyObject_CallMethod(module.get(), "format_exception", "OOO",
                                                         type, value, traceback));
    const PyRef separator = PyRef::steal(lines ? PyUnicode_FromString("") : nullptr);
    const PyRef joined =
        PyRef::steal(separator ? PyUnicode_Join(separator.get(), lines.get()) : nullptr);
    std::optional<std::string> text = utf8_text(joined.get());
    while (text && !text->empty() && text->back() == '\n') {
        text->pop_back();
    }
    return text;
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
    PyObject* none = Py_None;
    std::optional<std::string> text =
        format_exception(type_.get(), value_ ? value_.get() : none,
                         traceback_ ? traceback_.get() : none);
    if (!text && value_) {
        PyErr_Clear();
        text = utf8_text(PyRef::steal(PyObject_Str(value_.get())).get());
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

void raise_value_error(const std::string& text) {
    PyErr_SetString(PyExc_ValueError, text.c_str());
}

}  // namespace zarn::python
