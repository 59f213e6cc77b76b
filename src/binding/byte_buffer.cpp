#include "binding/byte_buffer.hpp"

namespace zarn::python {

ByteBuffer::ByteBuffer(PyObject* object, const char* name, bool writable) {
    const int flags = (writable ? PyBUF_WRITABLE : PyBUF_SIMPLE) | PyBUF_C_CONTIGUOUS;
    if (PyObject_GetBuffer(object, &view_, flags) < 0) {
        if (PyErr_ExceptionMatches(PyExc_BufferError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Format(PyExc_TypeError, "%s must be a %sC-contiguous bytes-like object, got %R",
                         name, writable ? "writable, " : "",
                         reinterpret_cast<PyObject*>(Py_TYPE(object)));
        }
        return;
    }
    held_ = true;
}

ByteBuffer::~ByteBuffer() {
    if (held_) {
        PyBuffer_Release(&view_);
    }
}

}  // namespace zarn::python
