#include "python/array_marshalling.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <utility>
#include <variant>

#include "binding/call_boundary.hpp"
#include "binding/channel_major_copy.hpp"
#include "binding/error_texts.hpp"
#include "binding/numpy_api.hpp"
#include "binding/sample_array.hpp"
#include "binding/lock_release.hpp"
#include "lib/expected.hpp"
#include "lib/limiter_error.hpp"
#include "lib/sample_buffer.hpp"

namespace zarn::python {

namespace {

// How the input array maps onto the channel-major buffer.
struct Layout {
    unsigned rank;
    bool frames_first;  // a two-dimensional input read as (frames, channels)
    std::size_t channels;
    std::size_t frames;
    std::ptrdiff_t channel_stride;  // bytes between channels in the input
    std::ptrdiff_t frame_stride;    // bytes between frames in the input

    // Whether the input's row-major order differs from channel-major order.
    bool interleaved() const { return frames_first && channels > 1 && frames > 1; }
};

// The layout of `array` with its frames along `axis`, or nothing with
// ValueError set.
std::optional<Layout> read_layout(const PyArrayObject& array, std::int64_t axis) {
    if (array.nd != 1 && array.nd != 2) {
        PyErr_SetString(PyExc_ValueError, error_texts::invalid_rank(array.nd).c_str());
        return std::nullopt;
    }
    const auto rank = static_cast<unsigned>(array.nd);
    // Adding the rank to a negative axis cannot overflow.
    const std::int64_t frame_axis = axis < 0 ? axis + rank : axis;
    if (frame_axis < 0 || frame_axis >= rank) {
        PyErr_SetString(PyExc_ValueError, error_texts::invalid_axis(axis, rank).c_str());
        return std::nullopt;
    }
    const std::int64_t channel_axis = rank - 1 - frame_axis;
    const bool has_channels = rank == 2;
    const Layout layout{rank, has_channels && frame_axis == 0,
                        has_channels ? static_cast<std::size_t>(array.dimensions[channel_axis]) : 1,
                        static_cast<std::size_t>(array.dimensions[frame_axis]),
                        has_channels ? array.strides[channel_axis] : 0, array.strides[frame_axis]};
    if (layout.channels == 0) {
        PyErr_SetString(PyExc_ValueError, error_texts::empty_channel_dimension);
        return std::nullopt;
    }
    return layout;
}

// Runs the pass with the interpreter lock released: it touches only the
// call's buffer and the limiter.
Expected<SampleBuffer, LimiterError> run_pass(Limiter& limiter, SampleBuffer& samples,
                                              const Layout& layout) {
    return without_interpreter_lock([&] {
        return describing_shortage(
            [&] { return limiter.process(samples.span(), layout.channels); },
            [&] { return error_texts::frame_gains(layout.frames); });
    });
}

// Raises the ValueError of a failed pass. The position of a non-finite
// sample becomes NumPy's flat index of that element in the array as passed.
void raise_pass_error(LimiterError error, const Layout& layout) {
    auto* non_finite = std::get_if<NonFiniteSample>(&error.kind);
    if (non_finite != nullptr && layout.frames_first) {
        const std::uint64_t channel = non_finite->index / layout.frames;
        const std::uint64_t frame = non_finite->index % layout.frames;
        non_finite->index = frame * layout.channels + channel;
    }
    PyErr_SetString(PyExc_ValueError, error.message().c_str());
}

// A buffer of the call for all samples of `layout`.
SampleBuffer buffer_for(const Layout& layout) {
    return describing_shortage(
        [&] { return SampleBuffer(layout.channels * layout.frames); },
        [&] { return error_texts::buffer_samples(layout.channels, layout.frames); });
}

// The buffer the pass works on. Cast samples of the call's own, in C order,
// already are in channel-major order unless the input is interleaved; then
// they are taken over as they are. Otherwise the input is gathered.
SampleBuffer channel_major_samples(AudioInput& input, const PyArrayObject& array,
                                   const Layout& layout) {
    if (input.samples.data() != nullptr && !layout.interleaved()) {
        return std::move(input.samples);
    }
    SampleBuffer samples = buffer_for(layout);
    gather_channel_major(array.data, layout.channels, layout.frames, layout.channel_stride,
                         layout.frame_stride, samples.data(), layout.frames);
    return samples;
}

// The limited samples in the input's row-major order.
SampleBuffer row_major_samples(SampleBuffer channel_major, const Layout& layout) {
    if (!layout.interleaved()) {
        return channel_major;
    }
    SampleBuffer frames_first = buffer_for(layout);
    interleave_channels(channel_major.data(), layout.frames, layout.channels, layout.frames,
                        frames_first.data());
    return frames_first;
}

}  // namespace

PyObject* limit_array(zarn::Limiter& limiter, AudioInput input, std::int64_t axis) {
    const NumpyApi& numpy = numpy_api();
    const PyArrayObject& array = array_fields(input.array.get());
    // The conversions after `audio` ran Python code, which can have changed
    // the array in place; its shape and strides are read from here on, and
    // its dtype must still be the float32 its memory is read as.
    if (!is_native_float32(numpy, array.descr)) {
        PyErr_SetString(PyExc_RuntimeError, error_texts::audio_changed_during_call);
        return nullptr;
    }
    const std::optional<Layout> layout = read_layout(array, axis);
    if (!layout) {
        return nullptr;
    }
    std::array<npy_intp, 2> shape{};
    std::copy_n(array.dimensions, layout->rank, shape.begin());
    SampleBuffer samples = channel_major_samples(input, array, *layout);
    input = AudioInput();

    Expected<SampleBuffer, LimiterError> frame_gains = run_pass(limiter, samples, *layout);
    if (!frame_gains) {
        raise_pass_error(std::move(frame_gains.error()), *layout);
        return nullptr;
    }
    const npy_intp frames = static_cast<npy_intp>(layout->frames);
    PyRef audio = wrap_samples(numpy, row_major_samples(std::move(samples), *layout),
                               std::span(shape.data(), layout->rank));
    PyRef gains =
        audio ? wrap_samples(numpy, std::move(*frame_gains), std::span(&frames, 1)) : PyRef();
    if (!gains) {
        return nullptr;
    }
    return PyTuple_Pack(2, audio.get(), gains.get());
}

}  // namespace zarn::python
