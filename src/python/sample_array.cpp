#include "python/sample_array.hpp"

#include <array>
#include <cstddef>

#include "lib/limiter_error.hpp"

namespace zarn::python {

namespace {

// Name of the capsules that own the memory of returned arrays.
constexpr const char* owner_name = "zarn_limiter.samples";

// Capsule destructor: frees the buffer when NumPy drops the array's base.
void free_owned_samples(PyObject* owner) {
    SampleBuffer::free_samples(static_cast<float*>(PyCapsule_GetPointer(owner, owner_name)));
}

// A capsule that owns the buffer's memory from now on; null with the
// exception set (and the buffer still owned by `samples`) on failure.
PyRef take_ownership(SampleBuffer& samples) {
    PyRef owner = PyRef::steal(PyCapsule_New(samples.data(), owner_name, free_owned_samples));
    if (owner) {
        samples.release();
    }
    return owner;
}

// Row-major byte strides; all zero for an array without elements.
std::array<npy_intp, 2> row_major_strides(std::span<const npy_intp> shape) {
    std::array<npy_intp, 2> strides{};
    if (element_count(shape) == 0) {
        return strides;
    }
    npy_intp stride = sizeof(float);
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        strides[axis] = stride;
        stride *= shape[axis];
    }
    return strides;
}

void check_shape(const SampleBuffer& samples, std::span<const npy_intp> shape) {
    if (shape.empty() || shape.size() > 2 || samples.data() == nullptr ||
        element_count(shape) != samples.size()) {
        throw zarn::InternalError("a sample buffer does not match the shape of its array");
    }
}

// A C-contiguous float32 array over `data`, which it does not own.
PyRef array_over(const NumpyApi& numpy, float* data, std::span<const npy_intp> shape) {
    const std::array<npy_intp, 2> strides = row_major_strides(shape);
    return PyRef::steal(numpy.new_from_descr(
        numpy.array_type(), float32_descriptor(numpy).release(), static_cast<int>(shape.size()),
        shape.data(), strides.data(), data, NPY_ARRAY_WRITEABLE, nullptr));
}

}  // namespace

std::size_t element_count(std::span<const npy_intp> shape) {
    std::size_t count = 1;
    for (const npy_intp extent : shape) {
        count *= static_cast<std::size_t>(extent);
    }
    return count;
}

PyRef view_samples(const NumpyApi& numpy, SampleBuffer& samples, std::span<const npy_intp> shape) {
    check_shape(samples, shape);
    return array_over(numpy, samples.data(), shape);
}

PyRef wrap_samples(const NumpyApi& numpy, SampleBuffer samples, std::span<const npy_intp> shape) {
    check_shape(samples, shape);
    float* data = samples.data();
    PyRef owner = take_ownership(samples);
    if (!owner) {
        return {};
    }
    PyRef array = array_over(numpy, data, shape);
    if (!array) {
        return {};
    }
    if (numpy.set_base_object(array.get(), owner.release()) != 0) {
        return {};
    }
    return array;
}

}  // namespace zarn::python
