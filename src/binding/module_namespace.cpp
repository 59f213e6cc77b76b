#include "binding/module_namespace.hpp"

#include <cstdint>
#include <string>

#include "binding/py_ref.hpp"
#include "binding/python_exception.hpp"
#include "lib/limiter_error.hpp"

namespace zarn::python {

bool add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (all && PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return false;
        }
    }
    if (!all) {
        return false;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "the module's __all__ must be a list");
        return false;
    }
    const PyRef listed = PyRef::steal(PyUnicode_FromString(name));
    if (!listed) {
        return false;
    }
    // A list that exists and cannot grow is an internal failure of the step.
    if (PyList_Append(all.get(), listed.get()) < 0) {
        throw zarn::InternalError("could not append __name__ to __all__: " +
                                  PythonException::take().describe());
    }
    return PyObject_SetAttr(module, listed.get(), value) == 0;
}

bool add_types(PyObject* module, std::span<const ModuleType> types) {
    for (const ModuleType& entry : types) {
        PyTypeObject* type = entry.type();
        if (type == nullptr) {
            const std::string text =
                std::string("An error occurred while initializing class ") + entry.name;
            raise_caused_by(PyExc_RuntimeError, text.c_str(), PythonException::take());
            return false;
        }
        if (!add_to_module(module, entry.name, reinterpret_cast<PyObject*>(type))) {
            return false;
        }
    }
    return true;
}

bool add_functions(PyObject* module, PyMethodDef* functions) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return false;
    }
    for (PyMethodDef* definition = functions; definition->ml_name != nullptr; ++definition) {
        const PyRef function =
            PyRef::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
        if (!function || !add_to_module(module, definition->ml_name, function.get())) {
            return false;
        }
    }
    return true;
}

bool check_interpreter(const char* module_name) {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current != 0 && current != -1) {
        PyErr_Format(PyExc_ImportError,
                     "%s can be loaded by only one interpreter per process", module_name);
    }
    return current == 0;
}

}  // namespace zarn::python
