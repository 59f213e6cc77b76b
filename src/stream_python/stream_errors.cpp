#include "stream_python/stream_errors.hpp"

#include <Python.h>

#include <variant>

#include "lib/number_text.hpp"
#include "binding/py_ref.hpp"

namespace zarn::python {

namespace stream_errors {

std::string block_rank(int rank) {
    return "block must be a 1D or 2D array, got " + zarn::render_unsigned(static_cast<unsigned>(rank)) +
           " dimensions";
}

std::string block_channels(int rank, std::size_t given, std::size_t channels) {
    const std::string stream = "the stream has " + zarn::render_unsigned(channels) +
                               (channels == 1 ? " channel" : " channels");
    if (rank == 1) {
        return "a 1D block holds one channel, but " + stream;
    }
    return "block has " + zarn::render_unsigned(given) + (given == 1 ? " channel" : " channels") +
           " (its shape must be (frames, channels)), but " + stream;
}

std::string out_too_small(int rank, std::size_t channels, std::size_t frames) {
    const std::string count = zarn::render_unsigned(frames);
    const std::string audio = rank == 1 ? "(" + count + ",)"
                                        : "(" + count + ", " + zarn::render_unsigned(channels) + ")";
    return "out must hold the " + count + " frames this call returns: audio of shape at least " +
           audio + " and gains of shape at least (" + count + ",)";
}

}  // namespace stream_errors

namespace {

// Sets `name` on `error` to `value`; false with the exception set.
bool set_count(PyObject* error, const char* name, std::uint64_t value) {
    const PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(value));
    return number && PyObject_SetAttrString(error, name, number.get()) == 0;
}

}  // namespace

void raise_stream_error(const zarn::LimiterError& error) {
    const std::string text = error.message();
    const auto* non_finite = std::get_if<zarn::NonFiniteStreamSample>(&error.kind);
    if (non_finite == nullptr) {
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return;
    }
    const PyRef exception = PyRef::steal(PyObject_CallFunction(PyExc_ValueError, "s", text.c_str()));
    if (exception && set_count(exception.get(), "frame", non_finite->frame) &&
        set_count(exception.get(), "channel", non_finite->channel)) {
        PyErr_SetObject(PyExc_ValueError, exception.get());
    }
}

}  // namespace zarn::python
