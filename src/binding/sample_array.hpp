#pragma once

#include <cstddef>
#include <span>

#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "lib/sample_buffer.hpp"

namespace zarn::python {

// The number of elements of an array of `shape`.
std::size_t element_count(std::span<const npy_intp> shape);

// A new writeable, C-contiguous float32 array of the base ndarray type and
// of `shape` (one or two extents) whose memory is `samples` itself, without
// a copy: the array's base object takes the buffer over and frees it when
// NumPy releases the array. Returns null with the exception set on failure,
// the buffer being freed then too. `samples` must hold exactly the number
// of elements of `shape`.
PyRef wrap_samples(const NumpyApi& numpy, zarn::SampleBuffer samples,
                   std::span<const npy_intp> shape);

// A new writeable, C-contiguous float32 array of `shape` (one or two
// extents) over the memory of `samples`, which keeps owning it: the array
// must be released before the buffer is. Null with the exception set on
// failure.
PyRef view_samples(const NumpyApi& numpy, zarn::SampleBuffer& samples,
                   std::span<const npy_intp> shape);

}  // namespace zarn::python
