#include "python/entry_points.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "lib/limiter.hpp"
#include "python/argument_binder.hpp"
#include "python/argument_conversion.hpp"
#include "python/array_marshalling.hpp"
#include "python/borrow_guard.hpp"
#include "python/call_boundary.hpp"
#include "python/limiter_class.hpp"
#include "python/py_ref.hpp"

namespace zarn::python {

// The leading signature lines give both functions their __text_signature__;
// the default of `axis` shows as "...".
const char process_doc[] =
    "process($self, audio, axis=...)\n"
    "--\n"
    "\n"
    "Process mono or multichannel audio.\n"
    "\n"
    "Args:\n"
    "    audio: A one-dimensional mono array or a two-dimensional\n"
    "        multichannel array. Values are converted to ``numpy.float32``;\n"
    "        the input is not modified.\n"
    "    axis: Frame axis. The default of ``-1`` expects\n"
    "        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``.\n"
    "        For mono input, ``0`` and ``-1`` are\n"
    "        equivalent.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32``\n"
    "    array with the same shape as the input. ``frame_gains`` is a\n"
    "    one-dimensional ``numpy.float32`` array containing one linked gain\n"
    "    value per frame.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If the input is not one- or two-dimensional, the\n"
    "        frame axis is invalid, the channel dimension is empty, or an\n"
    "        input sample is not finite.";

const char limit_doc[] =
    "limit(audio, sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, "
    "release_ms=40.0, axis=...)\n"
    "--\n"
    "\n"
    "Limit mono or multichannel audio in one call.\n"
    "\n"
    "Args:\n"
    "    audio: A one-dimensional mono array or a two-dimensional multichannel\n"
    "        array. Values are converted to ``numpy.float32``; the input is not\n"
    "        modified.\n"
    "    sample_rate: Sample rate in hertz. Must be a positive 32-bit integer.\n"
    "    threshold_dBFS: Output ceiling in dBFS. Must be finite and at most ``0.0``;\n"
    "        ``0.0`` is full scale and approximately ``-6.02`` is half scale.\n"
    "    attack_ms: Look-ahead attack time in milliseconds. It must round to at\n"
    "        least one sample at ``sample_rate``.\n"
    "    hold_ms: Hold time in milliseconds. May be zero.\n"
    "    release_ms: Release time in milliseconds. May be zero.\n"
    "    axis: Frame axis. The default of ``-1`` expects\n"
    "        ``(channels, frames)``. Use ``0`` for ``(frames, channels)``. For\n"
    "        mono input, ``0`` and ``-1`` are\n"
    "        equivalent.\n"
    "\n"
    "Returns:\n"
    "    A tuple ``(audio, frame_gains)``. ``audio`` is a new ``numpy.float32`` array\n"
    "    with the same shape as the input. ``frame_gains`` is a one-dimensional\n"
    "    ``numpy.float32`` array containing one linked gain value per frame.\n"
    "\n"
    "Raises:\n"
    "    ValueError: If a configuration value or input is invalid, or an input\n"
    "        sample is not finite.";

namespace {

constexpr std::array<const char*, 2> process_parameters = {"audio", "axis"};
const FunctionDescription process_description = {"process", "ZarnLimiter", process_parameters,
                                                 1};

constexpr std::array<const char*, 7> limit_parameters = {
    "audio", "sample_rate", "threshold_dBFS", "attack_ms", "hold_ms", "release_ms", "axis"};
const FunctionDescription limit_description = {"limit", nullptr, limit_parameters, 2};

// The tuple (audio, frame_gains); it takes over both references.
PyObject* result_tuple(ProcessedAudio&& processed) {
    PyRef tuple = PyRef::steal(PyTuple_New(2));
    if (!tuple) {
        return nullptr;
    }
    PyTuple_SetItem(tuple.get(), 0, processed.audio.release());
    PyTuple_SetItem(tuple.get(), 1, processed.frame_gains.release());
    return tuple.release();
}

// Everything of one processing call after the input has been converted:
// the array work, then the result tuple. The input array is released
// before the tuple is built.
PyObject* process_input(zarn::Limiter& limiter, AudioInput input, std::int64_t axis) {
    std::optional<ProcessedAudio> processed = process_numpy(limiter, input, axis);
    input = AudioInput();
    if (!processed) {
        return nullptr;
    }
    return result_tuple(std::move(*processed));
}

PyObject* run_process(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    std::array<PyRef, process_parameters.size()> slots;
    if (!bind_arguments(process_description, args, nargs, kwnames, slots)) {
        return nullptr;
    }
    PyZarnLimiter& object = as_limiter(self);
    // Held until the result exists; converting `audio` can run Python code
    // that reaches this object again, and it is refused while held.
    const ExclusiveBorrow borrow(object.borrow_flag);
    if (!borrow) {
        return nullptr;
    }
    AudioInput input = extract_audio(slots[0].get());
    if (!input.array) {
        return nullptr;
    }
    const std::optional<std::int64_t> axis = convert_axis(slots[1].get());
    if (!axis) {
        return nullptr;
    }
    return process_input(object.limiter, std::move(input), *axis);
}

PyObject* run_limit(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyRef, limit_parameters.size()> slots;
    if (!bind_arguments(limit_description, args, nargs, kwnames, slots)) {
        return nullptr;
    }
    AudioInput input = extract_audio(slots[0].get());
    if (!input.array) {
        return nullptr;
    }
    const std::optional<LimiterSettings> settings =
        convert_settings(slots[2].get(), slots[3].get(), slots[4].get(), slots[5].get());
    if (!settings) {
        return nullptr;
    }
    const std::optional<std::int64_t> axis = convert_axis(slots[6].get());
    if (!axis) {
        return nullptr;
    }
    // sample_rate last, although it is the second parameter.
    std::optional<zarn::Limiter> limiter = build_limiter(slots[1].get(), *settings);
    if (!limiter) {
        return nullptr;
    }
    return process_input(*limiter, std::move(input), *axis);
}

}  // namespace

PyObject* process(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary<PyObject*>(
        nullptr, [&]() -> PyObject* { return run_process(self, args, nargs, kwnames); });
}

PyObject* limit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary<PyObject*>(
        nullptr, [&]() -> PyObject* { return run_limit(args, nargs, kwnames); });
}

}  // namespace zarn::python
