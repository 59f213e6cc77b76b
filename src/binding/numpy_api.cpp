#include "binding/numpy_api.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"
#include "binding/python_exception.hpp"
#include "lib/limiter_error.hpp"

namespace zarn::python {

namespace {

// The newest NumPy ABI this module can run against (NumPy 2), and the oldest
// C-API feature version it needs (0xc, NumPy 1.15).
constexpr unsigned newest_abi_version = 0x02000000;
constexpr unsigned oldest_feature_version = 0xc;

// The module that holds the array API table: NumPy 2 moved the core package
// from numpy.core to numpy._core. The major version is read through
// numpy.lib.NumpyVersion so that development and release-candidate version
// strings parse too.
std::optional<std::string> multiarray_module_name() {
    const PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    const PyRef version =
        PyRef::steal(numpy ? PyObject_GetAttrString(numpy.get(), "__version__") : nullptr);
    const PyRef lib = PyRef::steal(version ? PyImport_ImportModule("numpy.lib") : nullptr);
    const PyRef parsed = PyRef::steal(
        lib ? PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()) : nullptr);
    const PyRef major =
        PyRef::steal(parsed ? PyObject_GetAttrString(parsed.get(), "major") : nullptr);
    if (!major) {
        return std::nullopt;
    }
    const unsigned long value = PyLong_AsUnsignedLong(major.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    if (value > UINT8_MAX) {
        PyErr_SetString(PyExc_OverflowError, "NumPy's major version does not fit in 8 bits");
        return std::nullopt;
    }
    return std::string(value >= 2 ? "numpy._core" : "numpy.core") + ".multiarray";
}

// Refuses a NumPy whose ABI is newer than this module knows, whose C-API
// predates NumPy 1.15, or that runs in the other byte order.
bool check_running_numpy(const NumpyApi& numpy) {
    const unsigned abi_version = numpy.get_ndarray_c_version();
    if (abi_version > newest_abi_version) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     newest_abi_version, abi_version);
        return false;
    }
    const unsigned feature_version = numpy.get_ndarray_c_feature_version();
    if (feature_version < oldest_feature_version) {
        PyErr_Format(PyExc_RuntimeError,
                     "module was compiled against NumPy C-API version 0x%x (NumPy 1.15) but the "
                     "running NumPy has C-API version 0x%x",
                     oldest_feature_version, feature_version);
        return false;
    }
    if (numpy.get_endianness() != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError,
                        "module compiled as little endian, but detected different endianness at "
                        "runtime");
        return false;
    }
    return true;
}

// The table lives in NumPy's multiarray extension, which stays loaded once
// imported, so the pointer outlives the capsule it was read from.
std::optional<NumpyApi> load_numpy_api() {
    const std::optional<std::string> module_name = multiarray_module_name();
    if (!module_name) {
        return std::nullopt;
    }
    PyRef multiarray = PyRef::steal(PyImport_ImportModule(module_name->c_str()));
    if (!multiarray) {
        return std::nullopt;
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) {
        return std::nullopt;
    }
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) {
        PyErr_Format(PyExc_TypeError, "%s._ARRAY_API is not a PyCapsule object",
                     module_name->c_str());
        return std::nullopt;
    }
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) {
        return std::nullopt;
    }
    NumpyApi numpy(static_cast<void**>(table));
    if (!check_running_numpy(numpy)) {
        return std::nullopt;
    }
    return numpy;
}

}  // namespace

const NumpyApi& numpy_api() {
    static OnceCell<NumpyApi> loaded;
    const NumpyApi* numpy = loaded.get_or_init(load_numpy_api);
    if (numpy == nullptr) {
        throw zarn::InternalError("Failed to access NumPy array API capsule: " +
                                  PythonException::take().describe());
    }
    return *numpy;
}

PyRef float32_descriptor(const NumpyApi& numpy) {
    PyRef descriptor = PyRef::steal(numpy.descr_from_type(NPY_FLOAT));
    if (!descriptor) {
        PyErr_Clear();
        throw zarn::InternalError("NumPy did not provide the float32 dtype descriptor");
    }
    return descriptor;
}

bool is_native_float32(const NumpyApi& numpy, PyObject* descriptor) {
    const PyRef float32 = float32_descriptor(numpy);
    return descriptor == float32.get() || numpy.equiv_types(descriptor, float32.get());
}

}  // namespace zarn::python
