#pragma once

#include <Python.h>

#include <cstddef>

namespace zarn::python {

// The bytes of a C-contiguous buffer that a caller lends (bytes, bytearray,
// memoryview, a NumPy array of any type), held through the buffer protocol
// for the life of the guard; writable where asked. `ok()` is false, with
// TypeError set, when `object` does not offer such a buffer.
class ByteBuffer {
public:
    ByteBuffer(PyObject* object, const char* name, bool writable);
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    bool ok() const noexcept { return held_; }
    unsigned char* data() const noexcept { return static_cast<unsigned char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace zarn::python
