#include "binding/audio_conversion.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "binding/call_boundary.hpp"
#include "binding/error_texts.hpp"
#include "binding/numpy_api.hpp"
#include "binding/python_exception.hpp"
#include "binding/sample_array.hpp"

namespace zarn::python {

namespace {

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
        if (!ordinary_error_pending()) {
            return std::nullopt;
        }
        PyErr_Clear();
        hint = 0;
    }
    std::vector<float> samples;
    const auto store = [&](auto&& operation) {
        describing_shortage(operation,
                            [&] { return error_texts::sequence_samples(samples.size()); });
    };
    store([&] { samples.reserve(std::min(static_cast<std::size_t>(hint), max_reserved_samples)); });
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) {
        return std::nullopt;
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return std::nullopt;
        }
        store([&] { samples.push_back(static_cast<float>(value)); });
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
    AudioInput input{describing_shortage([&] { return SampleBuffer(element_count(shape)); },
                                         [&] { return error_texts::cast_samples(shape); }),
                     PyRef()};
    PyRef view = view_samples(numpy, input.samples, shape);
    if (!view || numpy.cast_into(view.get(), source) != 0) {
        return {};
    }
    input.array = std::move(view);
    return input;
}

// Whether `audio` offers one of NumPy's array protocols (DataFrames, Series,
// tensors do): NumPy's conversion then gives its array, whereas iterating it
// could give something else entirely (a DataFrame's column labels). Looked
// up where NumPy looks: __array__ on the type, the others on the object.
// Nothing, with the exception set, when a lookup fails otherwise than with
// AttributeError.
std::optional<bool> offers_array_protocol(PyObject* audio) {
    const std::pair<PyObject*, const char*> lookups[] = {
        {reinterpret_cast<PyObject*>(Py_TYPE(audio)), "__array__"},
        {audio, "__array_interface__"},
        {audio, "__array_struct__"},
    };
    for (const auto& [owner, name] : lookups) {
        if (PyRef::steal(PyObject_GetAttrString(owner, name))) {
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return std::nullopt;
        }
        PyErr_Clear();
    }
    return false;
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
    const std::optional<bool> array_like = offers_array_protocol(audio);
    if (!array_like) {
        return {};
    }
    if (!*array_like && !PyUnicode_Check(audio) && PySequence_Check(audio)) {
        if (const std::optional<std::vector<float>> samples = sequence_samples(audio)) {
            return {SampleBuffer(), one_dimensional_array(numpy, *samples)};
        }
        // Not a flat sequence of numbers (a nested list, say): NumPy decides,
        // unless the failure was an interrupt or an exit.
        if (!ordinary_error_pending()) {
            return {};
        }
        PyErr_Clear();
    }
    return {SampleBuffer(), numpy_conversion(numpy, audio)};
}

}  // namespace

AudioInput extract_audio(PyObject* audio, const char* argument) {
    AudioInput input = convert_audio(numpy_api(), audio);
    if (!input.array) {
        add_argument_note(argument);
    }
    return input;
}

}  // namespace zarn::python
