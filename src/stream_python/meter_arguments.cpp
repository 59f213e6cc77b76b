#include "stream_python/meter_arguments.hpp"

#include <limits>

#include "binding/call_boundary.hpp"
#include "binding/py_ref.hpp"
#include "binding/python_exception.hpp"
#include "binding/channels_argument.hpp"
#include "binding/sample_rate_argument.hpp"

namespace zarn::python {

namespace {

// The items of an iterable of numbers, each by the interpreter's float
// conversion; none for None. The meter checks their count and values.
std::optional<std::vector<double>> convert_weights(PyObject* value) {
    std::vector<double> weights;
    if (value == nullptr || value == Py_None) {
        return weights;
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(value));
    while (PyRef item = PyRef::steal(iterator ? PyIter_Next(iterator.get()) : nullptr)) {
        const double weight = PyFloat_AsDouble(item.get());
        if (weight == -1.0 && PyErr_Occurred() != nullptr) {
            break;
        }
        // A caller's enormous iterable is refused by the count check after;
        // stop collecting well before it costs memory.
        if (weights.size() > static_cast<std::size_t>(most_channels)) {
            return weights;
        }
        weights.push_back(weight);
    }
    if (PyErr_Occurred() != nullptr) {
        add_argument_note("weights");
        return std::nullopt;
    }
    return weights;
}

std::optional<bool> convert_flag(PyObject* value, const char* name) {
    if (value == nullptr) {
        return false;
    }
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        add_argument_note(name);
        return std::nullopt;
    }
    return truth == 1;
}

}  // namespace

std::optional<zarn::meter::LoudnessMeter> build_meter(PyObject* sample_rate, PyObject* channels,
                                                      PyObject* weights,
                                                      PyObject* reconstructed) {
    const std::optional<std::uint32_t> rate = convert_sample_rate(sample_rate);
    const std::optional<std::size_t> count = rate ? convert_channels(channels) : std::nullopt;
    const std::optional<std::vector<double>> given =
        count ? convert_weights(weights) : std::nullopt;
    const std::optional<bool> peak = given ? convert_flag(reconstructed, "reconstructed")
                                           : std::nullopt;
    if (!peak) {
        return std::nullopt;
    }
    auto meter = zarn::meter::LoudnessMeter::create(*rate, *count, *given, *peak);
    if (!meter) {
        raise_meter_error(meter.error());
        return std::nullopt;
    }
    return std::move(*meter);
}

void raise_meter_error(const zarn::meter::MeterError& error) {
    const PyRef message = PyRef::steal(PyUnicode_FromString(error.message().c_str()));
    const PyRef exception = PyRef::steal(
        message ? PyObject_CallFunctionObjArgs(PyExc_ValueError, message.get(), nullptr)
                : nullptr);
    if (!exception) {
        return;
    }
    if (const auto* position = std::get_if<zarn::meter::NonFiniteSample>(&error.kind)) {
        const PyRef frame = PyRef::steal(PyLong_FromUnsignedLongLong(position->frame));
        const PyRef channel = PyRef::steal(PyLong_FromUnsignedLongLong(position->channel));
        if (!frame || !channel ||
            PyObject_SetAttrString(exception.get(), "frame", frame.get()) < 0 ||
            PyObject_SetAttrString(exception.get(), "channel", channel.get()) < 0) {
            return;
        }
    }
    PyErr_SetObject(PyExc_ValueError, exception.get());
}

}  // namespace zarn::python
