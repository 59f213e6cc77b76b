#pragma once

#include <Python.h>

#include <utility>

namespace zarn::python {

// Owning handle for one strong reference to a Python object. The reference
// is released when the handle goes out of scope; release() hands it over.
class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (which may be null).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a new reference to a borrowed object (which may be null).
    static PyRef borrow(PyObject* object) noexcept {
        if (object != nullptr) {
            _Py_IncRef(object);
        }
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) {
        PyRef old(std::exchange(object_, std::exchange(other.object_, nullptr)));
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    // Releasing a reference can run Python code that gives up the
    // interpreter lock and, at interpreter exit, ends the thread when it
    // takes the lock back: that unwinding must pass, so this destructor may
    // throw.
    ~PyRef() noexcept(false) {
        if (object_ != nullptr) {
            _Py_DecRef(object_);
        }
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Gives up ownership of the reference and returns it.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace zarn::python
