#pragma once

#include <Python.h>

#include <string>

#include "binding/py_ref.hpp"

namespace zarn::python {

// The binding's one convention for failures: a function that meets a Python
// exception returns null, false or an empty optional with the exception
// pending; an internal failure is thrown as a C++ exception and turned into
// a Python exception by the call boundary.

// A Python exception taken out of the interpreter's error indicator,
// normalised to an instance that carries its traceback, so that it can be
// examined, described, chained or set again.
class PythonException {
public:
    // Takes the pending exception; empty when none is pending.
    static PythonException take();

    explicit operator bool() const noexcept { return static_cast<bool>(value_); }
    PyObject* value() const noexcept { return value_.get(); }

    // Sets it as the pending exception again (nothing pending when empty).
    void restore() &&;

    // The traceback module's rendering, the traceback then "Type: message",
    // without the final line break; str() of the exception if that fails,
    // then a fixed text. Leaves no exception pending.
    std::string describe() const;

private:
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
};

// Whether the pending exception is an ordinary error, one derived from
// Exception, that a conversion may handle or replace. KeyboardInterrupt,
// SystemExit and GeneratorExit are not: they propagate unchanged.
bool ordinary_error_pending();

// Attaches the note "while processing '{argument}'" to the pending ordinary
// error through its add_note method. A failure to attach the note is
// ignored; the original exception stays pending either way, and an
// exception that is not an ordinary error stays as it is.
void add_argument_note(const char* argument);

// Raises `type` with `text`, its __cause__ being `cause`.
void raise_caused_by(PyObject* type, const char* text, PythonException cause);

}  // namespace zarn::python
