#include <Python.h>

#include "binding/call_boundary.hpp"
#include "binding/module_namespace.hpp"
#include "stream_python/loudness_meter_class.hpp"
#include "stream_python/loudness_result.hpp"
#include "stream_python/sample_coding_functions.hpp"
#include "stream_python/stream_limiter_class.hpp"

namespace zarn::python {
namespace {

constexpr const char* module_doc =
    "Block-by-block processing of zarn-limiter: the limiter over a stream, with the\n"
    "whole buffer's results, loudness and true-peak metering, and the coding of\n"
    "samples as files store them.";

// The module's classes, added by the exec step in this order.
constexpr ModuleType module_types[] = {
    {"StreamLimiter", stream_limiter_type},
    {"LoudnessMeter", loudness_meter_type},
    {"Loudness", loudness_type},
};

// Py_mod_exec: fills a fresh module object with the classes and the functions.
int module_exec(PyObject* module) {
    return call_boundary<int>(-1, [&] {
        const bool filled =
            check_interpreter("zarn_limiter_stream") && add_types(module, module_types) &&
            add_functions(module, sample_coding_functions);
        return filled ? 0 : -1;
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
