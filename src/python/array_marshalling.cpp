#include "python/array_marshalling.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "lib/expected.hpp"
#include "lib/limiter_error.hpp"
#include "lib/sample_buffer.hpp"
#include "python/channel_major_copy.hpp"
#include "python/exception_note.hpp"
#include "python/numpy_api.hpp"
#include "python/sample_array.hpp"
#include "python/value_error.hpp"

namespace zarn::python {

namespace {

// --- Conversion of the audio argument ---

bool is_native_float32(const NumpyApi& numpy, PyObject* descriptor) {
    const PyRef float32 = float32_descriptor(numpy);
    return descriptor == float32.get() || numpy.equiv_types(descriptor, float32.get());
}

// A sequence's reported length is only a hint: the items decide. It sizes
// the first allocation up to this many samples (4 MiB), so that a wrong or
// hostile __len__ cannot demand an absurd allocation; longer sequences grow.
constexpr std::size_t max_reserved_samples = std::size_t{1} << 20;

// The items of a sequence, each converted to a double and rounded to the
// nearest float32 (magnitudes beyond the float32 range become infinities).
// Nothing, with the exception set, when iterating or converting an item fails.
std::optional<std::vector<float>> sequence_samples(PyObject* sequence) {
    Py_ssize_t hint = PyObject_Size(sequence);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    std::vector<float> samples;
    samples.reserve(std::min(static_cast<std::size_t>(hint), max_reserved_samples));
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) {
        return std::nullopt;
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return std::nullopt;
        }
        samples.push_back(static_cast<float>(value));
    }
    if (PyErr_Occurred() != nullptr) {
        return std::nullopt;
    }
    return samples;
}

PyRef one_dimensional_array(const NumpyApi& numpy, const std::vector<float>& samples) {
    const npy_intp extent = static_cast<npy_intp>(samples.size());
    PyRef array = PyRef::steal(numpy.new_from_descr(numpy.array_type(),
                                                    float32_descriptor(numpy).release(), 1,
                                                    &extent, nullptr, nullptr, 0, nullptr));
    if (array && !samples.empty()) {
        std::memcpy(array_fields(array.get()).data, samples.data(), samples.size() * sizeof(float));
    }
    return array;
}

// NumPy's own conversion to float32: any rank, any dtype it can cast, lossy
// casts included.
PyRef numpy_conversion(const NumpyApi& numpy, PyObject* audio) {
    return PyRef::steal(numpy.from_any(audio, float32_descriptor(numpy).release(), 0, 0,
                                       NPY_ARRAY_FORCECAST, nullptr));
}

// Casts a one- or two-dimensional array of another dtype to float32 with
// the same casting as NumPy's conversion, but into a buffer of the call's
// own, in C order, so that the cast copy can be the buffer the pass works
// on rather than one more copy.
AudioInput cast_into_samples(const NumpyApi& numpy, PyObject* source) {
    const PyArrayObject& fields = array_fields(source);
    const std::span<const npy_intp> shape(fields.dimensions, static_cast<std::size_t>(fields.nd));
    std::size_t count = 1;
    for (const npy_intp extent : shape) {
        count *= static_cast<std::size_t>(extent);
    }
    AudioInput input{SampleBuffer(count), PyRef()};
    PyRef view = view_samples(numpy, input.samples, shape);
    if (!view || numpy.cast_into(view.get(), source) != 0) {
        return {};
    }
    input.array = std::move(view);
    return input;
}

AudioInput convert_audio(const NumpyApi& numpy, PyObject* audio) {
    if (PyObject_TypeCheck(audio, numpy.array_type())) {
        const PyArrayObject& fields = array_fields(audio);
        if (is_native_float32(numpy, fields.descr)) {
            return {SampleBuffer(), PyRef::borrow(audio)};
        }
        // An array of another dtype is cast as a whole, so it keeps its shape.
        if (fields.nd == 1 || fields.nd == 2) {
            return cast_into_samples(numpy, audio);
        }
        return {SampleBuffer(), numpy_conversion(numpy, audio)};
    }
    if (!PyUnicode_Check(audio) && PySequence_Check(audio)) {
        if (const std::optional<std::vector<float>> samples = sequence_samples(audio)) {
            return {SampleBuffer(), one_dimensional_array(numpy, *samples)};
        }
        // Not a flat sequence of numbers (a nested list, say): NumPy decides.
        PyErr_Clear();
    }
    return {SampleBuffer(), numpy_conversion(numpy, audio)};
}

// --- Layout of one call ---

// How the input array maps onto the channel-major buffer.
struct Layout {
    unsigned rank;
    unsigned frame_axis;
    std::size_t channels;
    std::size_t frames;
    std::ptrdiff_t channel_stride;  // bytes between channels in the input
    std::ptrdiff_t frame_stride;    // bytes between frames in the input

    // A two-dimensional input read as (frames, channels).
    bool frames_first() const { return rank == 2 && frame_axis == 0; }
    // Whether the input's row-major order differs from channel-major order.
    bool interleaved() const { return frames_first() && channels > 1 && frames > 1; }
};

std::optional<Layout> read_layout(const PyArrayObject& array, std::int64_t axis) {
    if (array.nd != 1 && array.nd != 2) {
        PyErr_Format(PyExc_ValueError, "audio must be a 1D or 2D array, got %d dimensions",
                     array.nd);
        return std::nullopt;
    }
    const auto rank = static_cast<unsigned>(array.nd);
    const std::optional<unsigned> frame_axis = normalize_axis(axis, rank);
    if (!frame_axis) {
        return std::nullopt;
    }
    Layout layout{rank, *frame_axis, 1, static_cast<std::size_t>(array.dimensions[*frame_axis]),
                  0, array.strides[*frame_axis]};
    if (rank == 2) {
        const unsigned channel_axis = 1 - *frame_axis;
        layout.channels = static_cast<std::size_t>(array.dimensions[channel_axis]);
        layout.channel_stride = array.strides[channel_axis];
        if (layout.channels == 0) {
            PyErr_SetString(PyExc_ValueError, "the channel dimension must not be empty");
            return std::nullopt;
        }
    }
    return layout;
}

// --- The processing pass ---

// Releases the interpreter lock for its lifetime and takes it back on every
// way out, exceptions included.
class InterpreterLockRelease {
public:
    InterpreterLockRelease() : thread_state_(PyEval_SaveThread()) {}
    ~InterpreterLockRelease() { PyEval_RestoreThread(thread_state_); }
    InterpreterLockRelease(const InterpreterLockRelease&) = delete;
    InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

private:
    PyThreadState* thread_state_;
};

// The pass touches only the call's buffer and the limiter, so other Python
// threads run meanwhile.
Expected<SampleBuffer, LimiterError> run_pass(Limiter& limiter, SampleBuffer& samples,
                                                   std::size_t channels) {
    const InterpreterLockRelease released;
    return limiter.process(samples.span(), channels);
}

// Raises the ValueError of a failed pass. The position of a non-finite
// sample becomes NumPy's flat index of that element in the array as passed.
void raise_pass_error(LimiterError error, const Layout& layout) {
    auto* non_finite = std::get_if<NonFiniteSample>(&error.kind);
    if (non_finite != nullptr && layout.frames_first()) {
        const std::uint64_t channel = non_finite->index / layout.frames;
        const std::uint64_t frame = non_finite->index % layout.frames;
        non_finite->index = frame * layout.channels + channel;
    }
    value_error(error);
}

// The buffer the pass works on. Cast samples of the call's own, in C order,
// already are in channel-major order unless the input is interleaved; then
// they are taken over as they are. Otherwise the input is gathered.
SampleBuffer channel_major_samples(AudioInput& input, const PyArrayObject& array,
                                   const Layout& layout) {
    if (input.samples.data() != nullptr && !layout.interleaved()) {
        return std::move(input.samples);
    }
    SampleBuffer samples(layout.channels * layout.frames);
    gather_channel_major(array.data, layout.channels, layout.frames, layout.channel_stride,
                         layout.frame_stride, samples.data());
    return samples;
}

// The limited samples in the input's row-major order.
SampleBuffer row_major_samples(SampleBuffer channel_major, const Layout& layout) {
    if (!layout.interleaved()) {
        return channel_major;
    }
    SampleBuffer frames_first(channel_major.size());
    interleave_channels(channel_major.data(), layout.channels, layout.frames,
                        frames_first.data());
    return frames_first;
}

}  // namespace

AudioInput extract_audio(PyObject* audio) {
    AudioInput input = convert_audio(numpy_api(), audio);
    if (!input.array) {
        add_argument_note("audio");
    }
    return input;
}

std::optional<unsigned> normalize_axis(std::int64_t axis, unsigned rank) {
    // Adding the rank to a negative axis cannot overflow.
    const std::int64_t normalized = axis < 0 ? axis + rank : axis;
    if (normalized < 0 || normalized >= rank) {
        PyErr_Format(PyExc_ValueError, "axis=%lld is invalid for a %uD array",
                     static_cast<long long>(axis), rank);
        return std::nullopt;
    }
    return static_cast<unsigned>(normalized);
}

std::optional<ProcessedAudio> process_numpy(zarn::Limiter& limiter, AudioInput& input,
                                            std::int64_t axis) {
    const NumpyApi& numpy = numpy_api();
    if (!PyObject_TypeCheck(input.array.get(), numpy.array_type())) {
        throw zarn::InternalError("process_numpy was given an object that is not an array");
    }
    const PyArrayObject& array = array_fields(input.array.get());
    const std::optional<Layout> layout = read_layout(array, axis);
    if (!layout) {
        return std::nullopt;
    }
    SampleBuffer samples = channel_major_samples(input, array, *layout);

    Expected<SampleBuffer, LimiterError> frame_gains =
        run_pass(limiter, samples, layout->channels);
    if (!frame_gains) {
        raise_pass_error(std::move(frame_gains.error()), *layout);
        return std::nullopt;
    }

    std::array<npy_intp, 2> shape{};
    std::copy_n(array.dimensions, layout->rank, shape.begin());
    PyRef audio = wrap_samples(numpy, row_major_samples(std::move(samples), *layout),
                               std::span(shape.data(), layout->rank));
    if (!audio) {
        return std::nullopt;
    }
    const npy_intp frames = static_cast<npy_intp>(layout->frames);
    PyRef gains = wrap_samples(numpy, std::move(*frame_gains), std::span(&frames, 1));
    if (!gains) {
        return std::nullopt;
    }
    return ProcessedAudio{std::move(audio), std::move(gains)};
}

}  // namespace zarn::python
