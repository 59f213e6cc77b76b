#pragma once

#include <Python.h>

#include "binding/py_ref.hpp"
#include "lib/sample_buffer.hpp"

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

// Converts an audio argument, named `argument` in the messages; `array` is
// null on failure, with the exception set (carrying the note "while
// processing '{argument}'"). Loads NumPy's array API on first use.
AudioInput extract_audio(PyObject* audio, const char* argument = "audio");

}  // namespace zarn::python
