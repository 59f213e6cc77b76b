#include <Python.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "python/call_boundary.hpp"
#include "python/entry_points.hpp"
#include "python/limiter_class.hpp"
#include "python/py_ref.hpp"

namespace zarn::python {
namespace {

constexpr const char* module_doc =
    "Python bindings for the zarn-limiter look-ahead brick-wall audio limiter.";

// The module's functions, added by the exec step in this order.
PyMethodDef module_functions[] = {
    {"limit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&limit)),
     METH_FASTCALL | METH_KEYWORDS, limit_doc},
    {nullptr, nullptr, 0, nullptr},
};

// The pending exception, normalised to an instance that carries its
// traceback; the exception is cleared.
PyRef take_exception() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const PyRef owned_type = PyRef::steal(type);
    const PyRef owned_traceback = PyRef::steal(traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    return PyRef::steal(value);
}

// The module's __all__ list, created empty when the module has none yet: a
// new reference, or null with the exception set.
PyRef module_all(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return PyRef();
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return PyRef();
        }
        return all;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "the module's __all__ must be a list");
        return PyRef();
    }
    return all;
}

// str() of the pending exception, which is cleared; for failure texts.
std::string take_exception_text() {
    const PyRef error = take_exception();
    const PyRef text = PyRef::steal(error ? PyObject_Str(error.get()) : nullptr);
    const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "unknown error";
    }
    return utf8;
}

// Lists `name` in __all__ and sets the module attribute `name` to `value`.
bool add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    const PyRef all = module_all(module);
    if (!all) {
        return false;
    }
    if (PyList_Append(all.get(), name) < 0) {
        throw std::runtime_error("could not append __name__ to __all__: " +
                                 take_exception_text());
    }
    return PyObject_SetAttr(module, name, value) == 0;
}

// The class, created once per process; a failure is reported as a
// RuntimeError caused by the exception of the failed creation.
PyTypeObject* class_for_module() {
    PyTypeObject* type = limiter_type();
    if (type != nullptr) {
        return type;
    }
    PyRef cause = take_exception();
    PyErr_Format(PyExc_RuntimeError, "An error occurred while initializing class %s",
                 "ZarnLimiter");
    const PyRef error = take_exception();
    if (!error) {
        return nullptr;
    }
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExceptionInstance_Class(error.get()), error.get());
    return nullptr;
}

bool add_class(PyObject* module) {
    PyTypeObject* type = class_for_module();
    if (type == nullptr) {
        return false;
    }
    const PyRef name = PyRef::steal(PyUnicode_FromString("ZarnLimiter"));
    return name && add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type));
}

bool add_function(PyObject* module, PyMethodDef* definition) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return false;
    }
    const PyRef function =
        PyRef::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) {
        return false;
    }
    const PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) {
        return false;
    }
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "a function's __name__ must be a str");
        return false;
    }
    return add_to_module(module, name.get(), function.get());
}

// The main interpreter has the identifier 0.
constexpr std::int64_t main_interpreter = 0;

// The class and the exception type are process-wide objects; objects of one
// interpreter must not be used by another, so they belong to the main
// interpreter and every other interpreter is refused. Whichever imports
// first, the main interpreter can always load the module.
bool check_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return false;
    }
    if (current != main_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "zarn_limiter can be loaded by only one interpreter per process");
        return false;
    }
    return true;
}

int fill_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "zarn_limiter can only initialise a module object");
        return -1;
    }
    if (!check_interpreter()) {
        return -1;
    }
    if (!add_class(module)) {
        return -1;
    }
    for (PyMethodDef* definition = module_functions; definition->ml_name != nullptr;
         ++definition) {
        if (!add_function(module, definition)) {
            return -1;
        }
    }
    return 0;
}

// Py_mod_exec: fills a fresh module object with the class and the function.
int module_exec(PyObject* module) {
    return call_boundary<int>(-1, [&] { return fill_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zarn_limiter",
    module_doc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zarn::python

PyMODINIT_FUNC PyInit_zarn_limiter(void) {
    return PyModuleDef_Init(&zarn::python::module_definition);
}
