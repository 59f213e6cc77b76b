#pragma once

#include <Python.h>

#include "lib/sample_buffer.hpp"
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

// Converts the audio argument `name`; `array` is null on failure, with the
// exception set (carrying the note "while processing '{name}'"). Loads
// NumPy's array API on first use.
AudioInput extract_audio(PyObject* audio, const char* name = "audio");

}  // namespace zarn::python
