#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "lib/limiter.hpp"
#include "python/py_ref.hpp"

namespace zarn::python {

// The `audio` argument as a float32 NumPy array in native byte order. When
// converting it meant casting a one- or two-dimensional NumPy array, the
// cast samples live in `samples`, which the call owns, and `array` is a
// C-contiguous view of them; otherwise `samples` is empty. The view is
// declared last so that it goes before the memory it shows.
struct AudioInput {
    zarn::SampleBuffer samples;
    PyRef array;
};

// Converts the `audio` argument; `array` is null on failure, with the
// exception set (carrying the note "while processing 'audio'"). Loads
// NumPy's array API on first use.
AudioInput extract_audio(PyObject* audio);

// Normalises `axis` for an array of `rank` dimensions and returns the frame axis
// (less than `rank`), or std::nullopt with ValueError set.
std::optional<unsigned> normalize_axis(std::int64_t axis, unsigned rank);

struct ProcessedAudio {
    PyRef audio;
    PyRef frame_gains;
};

// Limits `input` (from extract_audio) with `limiter`, which the caller
// holds exclusively; the processing pass runs with the interpreter lock
// released. Cast samples that already are in channel-major order become
// the pass's buffer instead of being copied again. Returns both new arrays,
// or std::nullopt with the exception set. The caller's array is never
// written.
std::optional<ProcessedAudio> process_numpy(zarn::Limiter& limiter, AudioInput& input,
                                            std::int64_t axis);

}  // namespace zarn::python
