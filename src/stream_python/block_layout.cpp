#include "stream_python/block_layout.hpp"

#include <array>
#include <span>
#include <utility>

#include "binding/call_boundary.hpp"
#include "binding/error_texts.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/sample_array.hpp"
#include "stream_python/stream_errors.hpp"

namespace zarn::python {

std::optional<BlockLayout> read_block_layout(PyObject* array_object, std::size_t channels) {
    const NumpyApi& numpy = numpy_api();
    const PyArrayObject& array = array_fields(array_object);
    if (!is_native_float32(numpy, array.descr)) {
        PyErr_SetString(PyExc_RuntimeError, error_texts::audio_changed_during_call);
        return std::nullopt;
    }
    if (array.nd != 1 && array.nd != 2) {
        PyErr_SetString(PyExc_ValueError, stream_errors::block_rank(array.nd).c_str());
        return std::nullopt;
    }
    const std::size_t given = array.nd == 2 ? static_cast<std::size_t>(array.dimensions[1]) : 1;
    if (given != channels) {
        PyErr_SetString(PyExc_ValueError,
                        stream_errors::block_channels(array.nd, given, channels).c_str());
        return std::nullopt;
    }
    return BlockLayout{array.nd, static_cast<std::size_t>(array.dimensions[0]), array.data,
                       array.nd == 2 ? array.strides[1] : 0, array.strides[0]};
}

bool check_out_shapes(const FloatBuffer& audio, const FloatBuffer& gains, int rank,
                      std::size_t channels, std::size_t frames) {
    const bool audio_fits = audio.rank() == rank && audio.extent(0) >= frames &&
                            (rank == 1 || audio.extent(1) == channels);
    const bool gains_fit = gains.rank() == 1 && gains.extent(0) >= frames;
    if (!audio_fits || !gains_fit) {
        PyErr_SetString(PyExc_ValueError, stream_errors::out_too_small(rank, channels, frames).c_str());
        return false;
    }
    return true;
}

SampleBuffer output_buffer(std::size_t channels, std::size_t frames) {
    return describing_shortage([&] { return SampleBuffer(channels * frames); },
                               [&] { return error_texts::buffer_samples(channels, frames); });
}

PyObject* new_result_arrays(SampleBuffer audio, SampleBuffer gains, int rank,
                            std::size_t channels) {
    const NumpyApi& numpy = numpy_api();
    const auto frames = static_cast<npy_intp>(gains.size());
    const std::array<npy_intp, 2> shape = {frames, static_cast<npy_intp>(channels)};
    const PyRef audio_array =
        wrap_samples(numpy, std::move(audio), std::span(shape.data(), static_cast<std::size_t>(rank)));
    const PyRef gains_array =
        audio_array ? wrap_samples(numpy, std::move(gains), std::span(&frames, 1)) : PyRef();
    return gains_array ? PyTuple_Pack(2, audio_array.get(), gains_array.get()) : nullptr;
}

}  // namespace zarn::python
