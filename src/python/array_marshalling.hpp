#pragma once

#include <Python.h>

#include <cstdint>

#include "binding/audio_conversion.hpp"
#include "lib/limiter.hpp"

namespace zarn::python {

// Limits the converted `audio` argument with `limiter`, its frames along
// `axis`, and returns the new tuple (audio, frame_gains), or null with the
// exception set. Checks the layout (rank, axis, channels), copies the input
// into a channel-major buffer of the call's own, runs the processing pass
// with the interpreter lock released and hands the buffers over to the new
// float32 arrays. The caller's array is never written, and `input` is
// released before the pass.
PyObject* limit_array(zarn::Limiter& limiter, AudioInput input, std::int64_t axis);

}  // namespace zarn::python
