#include "binding/argument_binder.hpp"

#include <algorithm>
#include <string>
#include <string_view>

namespace zarn::python {
namespace {

bool raise_too_many_positional(const FunctionDescription& description, Py_ssize_t given) {
    const char* name = description.name;
    const std::size_t count = description.parameters.size();
    const char* verb = given == 1 ? "was" : "were";
    if (description.required == count) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     name, count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given",
                     name, description.required, count, given, verb);
    }
    return false;
}

// The first `nargs` slots take the positional arguments, `argument(i)`.
template <class Argument>
bool bind_positional(const FunctionDescription& description, Py_ssize_t nargs,
                     Argument&& argument, std::span<PyObject*> slots) {
    if (static_cast<std::size_t>(nargs) > description.parameters.size()) {
        return raise_too_many_positional(description, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[static_cast<std::size_t>(i)] = argument(i);
    }
    return true;
}

// The index of the parameter spelled exactly `keyword` (as UTF-8 bytes), or
// the parameter count when there is none. A name that cannot be encoded
// (lone surrogates) matches no parameter.
std::size_t find_parameter(const FunctionDescription& description, PyObject* keyword) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &length)
                                                : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return description.parameters.size();
    }
    const std::string_view spelled(utf8, static_cast<std::size_t>(length));
    for (std::size_t i = 0; i < description.parameters.size(); ++i) {
        if (spelled == description.parameters[i]) {
            return i;
        }
    }
    return description.parameters.size();
}

bool bind_keyword(const FunctionDescription& description, PyObject* keyword, PyObject* value,
                  std::span<PyObject*> slots) {
    const std::size_t index = find_parameter(description, keyword);
    if (index == description.parameters.size()) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                     description.name, keyword);
        return false;
    }
    if (slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     description.name, description.parameters[index]);
        return false;
    }
    slots[index] = value;
    return true;
}

// Raises the TypeError that names the missing required parameters: "'a'",
// "'a' and 'b'", "'a', 'b', and 'c'".
bool check_required(const FunctionDescription& description, std::span<PyObject* const> slots) {
    const std::size_t missing =
        static_cast<std::size_t>(std::count(slots.begin(), slots.begin() + description.required,
                                            nullptr));
    std::string list;
    for (std::size_t i = 0, listed = 0; i < description.required && missing > 0; ++i) {
        if (slots[i] == nullptr) {
            if (listed++ > 0) {
                list += missing == 2 ? " and " : (listed == missing ? ", and " : ", ");
            }
            list += std::string("'") + description.parameters[i] + "'";
        }
    }
    if (missing > 0) {
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                     description.name, missing,
                     missing == 1 ? "argument" : "arguments", list.c_str());
    }
    return missing == 0;
}

}  // namespace

bool bind_arguments(const FunctionDescription& description, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots) {
    if (!bind_positional(description, nargs, [&](Py_ssize_t i) { return args[i]; }, slots)) {
        return false;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (!bind_keyword(description, PyTuple_GetItem(kwnames, i), args[nargs + i], slots)) {
            return false;
        }
    }
    return check_required(description, slots);
}

bool bind_arguments(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots) {
    const auto argument = [&](Py_ssize_t i) { return PyTuple_GetItem(args, i); };
    if (!bind_positional(description, PyTuple_Size(args), argument, slots)) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (kwargs != nullptr && PyDict_Next(kwargs, &position, &keyword, &value)) {
        if (!bind_keyword(description, keyword, value, slots)) {
            return false;
        }
    }
    return check_required(description, slots);
}

}  // namespace zarn::python
