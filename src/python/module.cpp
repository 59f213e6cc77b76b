#include <Python.h>

#include <array>

#include "binding/argument_binder.hpp"
#include "binding/call_boundary.hpp"
#include "binding/module_namespace.hpp"
#include "binding/py_ref.hpp"
#include "python/audio_call.hpp"
#include "python/limiter_class.hpp"
#include "python/settings_doc.hpp"

namespace zarn::python {
namespace {

constexpr const char* module_doc =
    "Python bindings for the zarn-limiter look-ahead brick-wall audio limiter.";

// The leading signature lines give the function its __text_signature__; the
// default of `axis` shows as "...".
constexpr const char* limit_doc =
    "limit(audio, " ZARN_SETTINGS_SIGNATURE ", axis=...)\n"
    "--\n"
    "\n"
    "Limit mono or multichannel audio in one call.\n"
    "\n"
    "Args:\n"
    "    audio: A one-dimensional mono array or a two-dimensional multichannel\n"
    "        array. Values are converted to ``numpy.float32``; the input is not\n"
    "        modified.\n"
    ZARN_SETTINGS_ARGUMENTS
    "    axis: Frame axis. The default of ``-1`` expects\n"
    "        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``. For\n"
    "        mono input, ``0`` and ``-1`` are\n"
    "        equivalent.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32`` array\n"
    "    with the same shape as the input. ``frame_gains`` is a one-dimensional\n"
    "    ``numpy.float32`` array containing one linked gain value per frame.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If a configuration value or input is invalid, or an input\n"
    "        sample is not finite.";

constexpr std::array<const char*, 7> limit_parameters = {
    "audio", "sample_rate", "threshold_dBFS", "attack_ms", "hold_ms", "release_ms", "axis"};
const FunctionDescription limit_description = {"limit()", limit_parameters, 2};

// limit(audio, sample_rate, ...): limits one buffer with a limiter built for
// the call. `module` is not used.
PyObject* limit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return limit_audio(limit_description, {}, args, nargs, kwnames);
    });
}

// The module's functions, added by the exec step in this order.
PyMethodDef module_functions[] = {
    {"limit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&limit)),
     METH_FASTCALL | METH_KEYWORDS, limit_doc},
    {nullptr, nullptr, 0, nullptr},
};

// The module's classes, added by the exec step in this order.
constexpr ModuleType module_types[] = {
    {"ZarnLimiter", limiter_type},
};

// Py_mod_exec: fills a fresh module object with the class and the function.
int module_exec(PyObject* module) {
    return call_boundary<int>(-1, [&] {
        const bool filled = check_interpreter("zarn_limiter") &&
                            add_types(module, module_types) &&
                            add_functions(module, module_functions);
        return filled ? 0 : -1;
    });
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
