#include "binding/float_buffer.hpp"

#include <cstdint>
#include <cstring>

namespace zarn::python {

FloatBuffer::FloatBuffer(PyObject* object, const char* name, bool writable) {
    const int flags = (writable ? PyBUF_WRITABLE : 0) | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS;
    if (PyObject_GetBuffer(object, &view_, flags) < 0) {
        if (PyErr_ExceptionMatches(PyExc_BufferError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "%s must be a %sC-contiguous float32 array, got %R",
                         name, writable ? "writable, " : "",
                         reinterpret_cast<PyObject*>(Py_TYPE(object)));
        }
        return;
    }
    held_ = true;
    // "f" or "=f" is a native float32; "<f" or ">f" only when it is native.
    const char* format = view_.format;
    const bool little = PY_LITTLE_ENDIAN != 0;
    const bool native = std::strcmp(format, "f") == 0 || std::strcmp(format, "=f") == 0 ||
                        std::strcmp(format, "@f") == 0 ||
                        std::strcmp(format, little ? "<f" : ">f") == 0;
    if (!native || view_.itemsize != sizeof(float) || view_.ndim < 1 || view_.ndim > 2) {
        PyErr_Format(PyExc_ValueError,
                     "%s must be a one- or two-dimensional float32 array in native byte order",
                     name);
        PyBuffer_Release(&view_);
        held_ = false;
    }
}

bool FloatBuffer::shares_memory_with(const FloatBuffer& other) const noexcept {
    return buffers_overlap(view_, other.view_);
}

bool buffers_overlap(const Py_buffer& first, const Py_buffer& second) noexcept {
    // Both are C-contiguous: each covers the bytes [buf, buf + len).
    const auto start = reinterpret_cast<std::uintptr_t>(first.buf);
    const auto other_start = reinterpret_cast<std::uintptr_t>(second.buf);
    const auto length = static_cast<std::uintptr_t>(first.len);
    const auto other_length = static_cast<std::uintptr_t>(second.len);
    return length > 0 && other_length > 0 && start < other_start + other_length &&
           other_start < start + length;
}

FloatBuffer::~FloatBuffer() {
    if (held_) {
        PyBuffer_Release(&view_);
    }
}

}  // namespace zarn::python
