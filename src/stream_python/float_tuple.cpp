#include "stream_python/float_tuple.hpp"

#include "binding/py_ref.hpp"

namespace zarn::python {

PyObject* float_tuple(const std::vector<double>& values) {
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; tuple && i < values.size(); ++i) {
        // PyTuple_SetItem takes the item over, even when it fails.
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item) < 0) {
            return nullptr;
        }
    }
    return tuple.release();
}

}  // namespace zarn::python
