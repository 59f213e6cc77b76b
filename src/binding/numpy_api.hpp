#pragma once

#include <Python.h>

#include "binding/py_ref.hpp"

namespace zarn::python {

// The few pieces of NumPy's C interface this module uses, declared here
// instead of taken from NumPy's headers so that the module builds without
// NumPy and reaches every NumPy function through the table that the running
// NumPy exports. The values are those of NumPy 1.15 to 2.x alike.

using npy_intp = Py_ssize_t;

// The leading fields of an ndarray object; this prefix is the same in
// NumPy 1.x and 2.x. Only read, never written, by this module.
struct PyArrayObject {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;  // in bytes; may be zero or negative
    PyObject* base;
    PyObject* descr;  // the dtype descriptor
    int flags;
    PyObject* weakreflist;
};

// Array flags.
inline constexpr int NPY_ARRAY_FORCECAST = 0x0010;
inline constexpr int NPY_ARRAY_WRITEABLE = 0x0400;

// Type number of float32.
inline constexpr int NPY_FLOAT = 11;

// Byte order reported by PyArray_GetEndianness.
inline constexpr int NPY_CPU_LITTLE = 1;

// NumPy's array API table with typed access to the slots this module calls.
// Descriptors are plain Python objects here; functions that "steal" a
// descriptor take over the reference passed to them, also when they fail.
class NumpyApi {
public:
    explicit NumpyApi(void** table) noexcept : table_(table) {}

    // Slot 0: the ABI version of the running NumPy.
    unsigned get_ndarray_c_version() const { return slot<unsigned (*)()>(0)(); }

    // Slot 2: the ndarray type object.
    PyTypeObject* array_type() const { return static_cast<PyTypeObject*>(table_[2]); }

    // Slot 45: a new reference to the descriptor of a built-in type number.
    PyObject* descr_from_type(int type_number) const {
        return slot<PyObject* (*)(int)>(45)(type_number);
    }

    // Slot 50: casts the elements of `source` into the existing array
    // `destination` of the same shape, with unsafe casting (PyArray_CastTo
    // in NumPy 1.x, PyArray_CopyInto in 2.x; both assign the array with
    // the casting of NPY_ARRAY_FORCECAST). Returns 0, or -1 with the
    // exception set.
    int cast_into(PyObject* destination, PyObject* source) const {
        return slot<int (*)(PyObject*, PyObject*)>(50)(destination, source);
    }

    // Slot 69: converts any object to an array of `descr` (stolen).
    PyObject* from_any(PyObject* object, PyObject* descr, int min_depth, int max_depth,
                       int requirements, PyObject* context) const {
        return slot<PyObject* (*)(PyObject*, PyObject*, int, int, int, PyObject*)>(69)(
            object, descr, min_depth, max_depth, requirements, context);
    }

    // Slot 94: a new array of `subtype` and `descr` (stolen); over `data`
    // when that is not null.
    PyObject* new_from_descr(PyTypeObject* subtype, PyObject* descr, int nd,
                             const npy_intp* dimensions, const npy_intp* strides, void* data,
                             int flags, PyObject* object) const {
        return slot<PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*,
                                  const npy_intp*, void*, int, PyObject*)>(94)(
            subtype, descr, nd, dimensions, strides, data, flags, object);
    }

    // Slot 182: whether two descriptors describe the same data.
    bool equiv_types(PyObject* first, PyObject* second) const {
        return slot<unsigned char (*)(PyObject*, PyObject*)>(182)(first, second) != 0;
    }

    // Slot 210: the byte order of the running NumPy.
    int get_endianness() const { return slot<int (*)()>(210)(); }

    // Slot 211: the C-API feature version of the running NumPy.
    unsigned get_ndarray_c_feature_version() const { return slot<unsigned (*)()>(211)(); }

    // Slot 282: makes `base` (stolen, also on failure) the base object of
    // `array`. Returns 0, or -1 with the exception set.
    int set_base_object(PyObject* array, PyObject* base) const {
        return slot<int (*)(PyObject*, PyObject*)>(282)(array, base);
    }

private:
    template <class Function>
    Function slot(int index) const {
        return reinterpret_cast<Function>(table_[index]);
    }

    void** table_;
};

// NumPy's array API table, loaded on first need and kept for the life of the
// process. Throws zarn::InternalError, whose text begins "Failed to access
// NumPy array API capsule: " and renders the Python exception that made the
// load fail, when NumPy cannot be imported or is not a release this module
// works with; nothing is remembered then, so the next call tries again.
const NumpyApi& numpy_api();

// A new reference to the descriptor of native float32. Throws
// zarn::InternalError if NumPy cannot give it, which it always can.
PyRef float32_descriptor(const NumpyApi& numpy);

// Whether `descriptor` describes float32 in native byte order.
bool is_native_float32(const NumpyApi& numpy, PyObject* descriptor);

// The array fields of an object known to be an ndarray.
inline const PyArrayObject& array_fields(PyObject* array) noexcept {
    return *reinterpret_cast<const PyArrayObject*>(array);
}

}  // namespace zarn::python
