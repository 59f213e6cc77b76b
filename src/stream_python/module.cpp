#include <Python.h>

#include "python/call_boundary.hpp"
#include "python/module_members.hpp"
#include "stream_python/stream_limiter_class.hpp"

namespace zarn::python {
namespace {

constexpr const char* module_doc =
    "Streaming companions of zarn_limiter: the limiter block by block, with the\n"
    "same results as the whole buffer, and a loudness and true-peak meter.";

// The module's types, added by the exec step in this order.
struct ModuleType {
    const char* name;
    PyTypeObject* (*type)();
};
constexpr ModuleType module_types[] = {
    {"StreamLimiter", &stream_limiter_type},
};

// Py_mod_exec: fills a fresh module object with the types.
int module_exec(PyObject* module) {
    return call_boundary<int>(-1, [&] {
        if (!check_interpreter("zarn_limiter_stream")) {
            return -1;
        }
        for (const ModuleType& entry : module_types) {
            if (!add_type(module, entry.name, entry.type())) {
                return -1;
            }
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "zarn_limiter_stream",
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

PyMODINIT_FUNC PyInit_zarn_limiter_stream(void) {
    return PyModuleDef_Init(&zarn::python::module_definition);
}
