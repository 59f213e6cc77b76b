#pragma once

#include <Python.h>

#include <optional>

#include "binding/once_cell.hpp"

namespace zarn::python {

// The process-wide type object that `create` makes (a new reference, or
// null with the exception set), made once on first need and held for the
// life of the process: never released, not even by the static destructors
// that run after the interpreter has finalised. A borrowed reference, or
// null with the exception of the failed creation (tried again next time).
template <class Create>
PyTypeObject* process_wide_type(OnceCell<PyTypeObject*>& cell, Create&& create) {
    PyTypeObject** created = cell.get_or_init([&]() -> std::optional<PyTypeObject*> {
        PyTypeObject* type = create();
        return type ? std::optional(type) : std::nullopt;
    });
    return created ? *created : nullptr;
}

// The same for a heap type made from its `definition`.
inline PyTypeObject* process_wide_type(OnceCell<PyTypeObject*>& cell, PyType_Spec& definition) {
    return process_wide_type(cell, [&] {
        return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&definition));
    });
}

}  // namespace zarn::python
