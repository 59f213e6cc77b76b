#pragma once

#include <Python.h>

#include <cstddef>
#include <span>

#include "binding/py_ref.hpp"

namespace zarn::python {

// The static parameter description of one Python-callable entry. Every
// parameter may be passed by position or by keyword; the first `required`
// ones must be passed.
struct FunctionDescription {
    const char* name;  // as the messages name it: "ZarnLimiter.process()", "limit()"
    std::span<const char* const> parameters;
    std::size_t required;
};

// Binds a vectorcall-style call (positional arguments as a vector, keyword
// names as a tuple whose values follow the positional ones) to one slot per
// parameter. A slot of an absent argument stays null; the others borrow the
// argument, which the caller keeps alive for the whole call. Returns false with TypeError set when the call does not
// fit the description.
bool bind_arguments(const FunctionDescription& description, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> slots);

// The same for a call with an argument tuple and a keyword dictionary (null
// when there are no keywords), taken in the dictionary's order.
bool bind_arguments(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> slots);

}  // namespace zarn::python
