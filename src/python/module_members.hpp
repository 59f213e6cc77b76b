#pragma once

#include <Python.h>

namespace zarn::python {

// The add operation of a module's exec step: lists `name` in the module's
// __all__ (a list, created empty when the module has none yet), then sets
// the attribute `name`. False with the exception set on failure.
bool add_to_module(PyObject* module, const char* name, PyObject* value);

// Adds a process-wide type, `type` being null with the exception of its
// failed creation pending; that failure is reported as a RuntimeError
// caused by it.
bool add_type(PyObject* module, const char* name, PyTypeObject* type);

// The types of an extension are process-wide objects; objects of one
// interpreter must not be used by another, so they belong to the main
// interpreter (identifier 0) and every other interpreter is refused with
// ImportError naming `module_name`. Whichever imports first, the main
// interpreter can always load the module.
bool check_interpreter(const char* module_name);

}  // namespace zarn::python
