#include "stream_python/meter_block.hpp"

#include <optional>
#include <string>

#include "binding/audio_conversion.hpp"
#include "binding/lock_release.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "stream_python/meter_arguments.hpp"

namespace zarn::python {

namespace {

// The converted block's samples in the core's terms, or nothing with
// ValueError set when it is not one- or two-dimensional.
std::optional<zarn::meter::StridedBlock> block_layout(const PyArrayObject& array) {
    if (array.nd != 1 && array.nd != 2) {
        const std::string text =
            "block must be a 1D or 2D array, got " + std::to_string(array.nd) + " dimensions";
        PyErr_SetString(PyExc_ValueError, text.c_str());
        return std::nullopt;
    }
    const bool has_channels = array.nd == 2;
    return zarn::meter::StridedBlock{
        array.data, static_cast<std::size_t>(array.dimensions[0]),
        has_channels ? static_cast<std::size_t>(array.dimensions[1]) : 1, array.strides[0],
        has_channels ? array.strides[1] : 0};
}

}  // namespace

PyObject* add_block(zarn::meter::LoudnessMeter& meter, PyObject* block) {
    const AudioInput input = extract_audio(block, "block");
    if (!input.array) {
        return nullptr;
    }
    const std::optional<zarn::meter::StridedBlock> layout =
        block_layout(array_fields(input.array.get()));
    if (!layout) {
        return nullptr;
    }
    // The call holds its reference to the array, so its memory stays while
    // the meter reads it without the lock.
    const std::optional<zarn::meter::MeterError> error =
        without_interpreter_lock([&] { return meter.add(*layout); });
    if (error) {
        raise_meter_error(*error);
        return nullptr;
    }
    return PyRef::borrow(Py_None).release();
}

}  // namespace zarn::python
