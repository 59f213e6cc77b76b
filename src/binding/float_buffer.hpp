#pragma once

#include <Python.h>

#include <cstddef>

namespace zarn::python {

// A C-contiguous buffer of native float32 values that a caller lends, for
// the results (`out=`, writable) or to be read, held through the buffer
// protocol for the life of the guard. `ok()` is false, with TypeError or
// ValueError set, when `object` does not offer such a buffer of one or two
// dimensions.
class FloatBuffer {
public:
    FloatBuffer(PyObject* object, const char* name, bool writable = true);
    ~FloatBuffer();
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;

    bool ok() const noexcept { return held_; }
    float* data() const noexcept { return static_cast<float*>(view_.buf); }
    int rank() const noexcept { return view_.ndim; }
    // Extent of dimension `axis` (< rank()).
    std::size_t extent(int axis) const noexcept {
        return static_cast<std::size_t>(view_.shape[axis]);
    }
    std::size_t samples() const noexcept {
        return static_cast<std::size_t>(view_.len) / sizeof(float);
    }
    // Whether the two buffers have a byte of memory in common.
    bool shares_memory_with(const FloatBuffer& other) const noexcept;
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Whether two C-contiguous buffers have a byte of memory in common.
bool buffers_overlap(const Py_buffer& first, const Py_buffer& second) noexcept;

}  // namespace zarn::python
