#pragma once

#include <Python.h>

namespace zarn::python {

// ZarnLimiter.process(audio, axis=-1): limits one buffer with the limiter
// object `self`, which it holds exclusively for the whole call.
PyObject* process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char process_doc[];

// limit(audio, sample_rate, ...): limits one buffer with a limiter built for
// the call. `module` is not used.
PyObject* limit(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char limit_doc[];

}  // namespace zarn::python
