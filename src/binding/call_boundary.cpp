#include "binding/call_boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string_view>

#include "binding/error_texts.hpp"
#include "binding/once_cell.hpp"
#include "binding/py_ref.hpp"

namespace zarn::python {

namespace {

// The text of an internal failure that carries none of its own.
constexpr const char* unknown_failure_text =
    "zarn_limiter: an internal failure without a description occurred";

// The type lives in the extension's runtime support, not in the module's
// namespace, so that no module attribute has to be kept in step with it.
constexpr const char* panic_exception_name = "zarn_limiter_runtime.PanicException";

constexpr const char* panic_exception_doc =
    "\n"
    "The exception raised when the native code of zarn_limiter, called from Python, panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

// Holds its reference for the life of the process: it is never released,
// not even by the static destructors that run after the interpreter has
// finalised.
OnceCell<PyObject*> panic_exception_type;

std::optional<PyObject*> create_panic_exception_type() {
    PyObject* type = PyErr_NewExceptionWithDoc(panic_exception_name, panic_exception_doc,
                                               PyExc_BaseException, nullptr);
    return type ? std::optional(type) : std::nullopt;
}

[[noreturn]] void abort_uncaught_panic(std::string_view text) noexcept {
    std::fprintf(stderr, "zarn_limiter: uncaught panic at ffi boundary: %.*s\n",
                 static_cast<int>(text.size()), text.data());
    std::fflush(stderr);
    std::abort();
}

// Sets a PanicException carrying `text` (its only argument) as the current
// Python exception, creating the exception type on first need. If that
// itself fails there is no way to report the failure to Python: a
// diagnostic that contains "uncaught panic at ffi boundary" goes to standard
// error and the process aborts.
void raise_panic(std::string_view text) {
    try {
        PyObject** type = panic_exception_type.get_or_init(create_panic_exception_type);
        if (type == nullptr) {
            abort_uncaught_panic(text);
        }
        // Failure texts may come from anywhere; undecodable bytes must not
        // turn one failure into another.
        const PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(
            text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!message) {
            abort_uncaught_panic(text);
        }
        PyErr_SetObject(*type, message.get());
    } catch (...) {
        if (ending_thread_unwinds()) {
            throw;
        }
        abort_uncaught_panic(text);
    }
}

}  // namespace

void raise_current_exception() {
    try {
        throw;
    } catch (const MemoryShortage& shortage) {
        PyErr_SetString(PyExc_MemoryError, shortage.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, error_texts::memory_exhausted);
    } catch (const InitialisationUnavailable& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (const std::exception& error) {
        const char* text = error.what();
        raise_panic(text != nullptr && *text != '\0' ? text : unknown_failure_text);
    } catch (...) {
        raise_panic(unknown_failure_text);
    }
}

}  // namespace zarn::python
