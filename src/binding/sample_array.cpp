#include "binding/sample_array.hpp"

#include <array>

namespace zarn::python {

namespace {

// Name of the capsules that own the memory of returned arrays.
constexpr const char* owner_name = "zarn_limiter.samples";

// Capsule destructor: frees the buffer when NumPy drops the array's base.
void free_owned_samples(PyObject* owner) {
    SampleBuffer::free_samples(static_cast<float*>(PyCapsule_GetPointer(owner, owner_name)));
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
    // Row-major byte strides; all zero for an array without elements.
    std::array<npy_intp, 2> strides{};
    npy_intp stride = element_count(shape) == 0 ? 0 : sizeof(float);
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        strides[axis] = stride;
        stride *= shape[axis];
    }
    return PyRef::steal(numpy.new_from_descr(
        numpy.array_type(), float32_descriptor(numpy).release(), static_cast<int>(shape.size()),
        shape.data(), strides.data(), samples.data(), NPY_ARRAY_WRITEABLE, nullptr));
}

PyRef wrap_samples(const NumpyApi& numpy, SampleBuffer samples, std::span<const npy_intp> shape) {
    PyRef array = view_samples(numpy, samples, shape);
    PyRef owner = PyRef::steal(array ? PyCapsule_New(samples.data(), owner_name, free_owned_samples)
                                     : nullptr);
    if (!owner) {
        return {};
    }
    samples.release();
    if (numpy.set_base_object(array.get(), owner.release()) != 0) {
        return {};
    }
    return array;
}

}  // namespace zarn::python
