#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "lib/zarn_limiter.hpp"
#include "python/py_ref.hpp"

namespace zarn::python {

// Converts the `audio` argument into a float32 NumPy array in native byte
// order: a new reference, or null with the exception set (carrying the note
// "while processing 'audio'"). Loads NumPy's array API on first use.
PyRef extract_audio(PyObject* audio);

// Normalises `axis` for an array of `rank` dimensions and returns the frame axis
// (less than `rank`), or std::nullopt with ValueError set.
std::optional<unsigned> normalize_axis(std::int64_t axis, unsigned rank);

struct ProcessedAudio {
    PyRef audio;
    PyRef frame_gains;
};

// Limits `input` (a float32 array from extract_audio) with `limiter`, which
// the caller holds exclusively; the processing pass runs with the
// interpreter lock released. Returns both new arrays, or std::nullopt with
// the exception set. The caller's array is never written.
std::optional<ProcessedAudio> process_numpy(zarn::ZarnLimiter& limiter, PyObject* input,
                                            std::int64_t axis);

}  // namespace zarn::python
