#pragma once

#include <Python.h>

#include <span>

namespace zarn::python {

// A class of a module: its name there and the function that gives its
// process-wide type object (a borrowed reference, or null with the
// exception of the failed creation).
struct ModuleType {
    const char* name;
    PyTypeObject* (*type)();
};

// The add operation: lists `name` in the module's __all__ (a list, created
// empty when the module has none yet), then sets the attribute `name`.
bool add_to_module(PyObject* module, const char* name, PyObject* value);

// Adds each class in order; a class that cannot be created is reported as a
// RuntimeError caused by the exception of the failed creation.
bool add_types(PyObject* module, std::span<const ModuleType> types);

// Adds each function of a table that ends with a null entry, in order,
// each created anew for this module object.
bool add_functions(PyObject* module, PyMethodDef* functions);

// The classes are process-wide objects; objects of one interpreter must not
// be used by another, so they belong to the main interpreter (identifier 0)
// and every other interpreter is refused with ImportError naming
// `module_name`. Whichever imports first, the main interpreter can always
// load the module.
bool check_interpreter(const char* module_name);

}  // namespace zarn::python
