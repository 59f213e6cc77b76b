#pragma once

#include <Python.h>

#include "binding/argument_binder.hpp"
#include "binding/borrow_guard.hpp"
#include "lib/limiter.hpp"

namespace zarn::python {

// Whose limiter a call uses: a ZarnLimiter object's own (process), held
// exclusively through its borrow flag for the whole call, or, when both are
// null, one built from the call's own arguments (limit).
struct LimiterOfCall {
    zarn::Limiter* limiter = nullptr;
    BorrowFlag* borrow_flag = nullptr;
};

// One call of process or limit, the path every call takes: bind the
// arguments to `description` (audio first, axis last; limit's sample_rate
// and settings between), take the object, convert audio, the settings and
// axis, build the limiter, limit the audio and return the new tuple
// (audio, frame_gains), or null with the exception set. The whole call runs
// in the default floating-point environment.
PyObject* limit_audio(const FunctionDescription& description, LimiterOfCall target,
                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace zarn::python
